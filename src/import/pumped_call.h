// A blocking call made on a thread of its own while the user-interface thread pumps the window
// messages: a server call can take seconds (a server that is busy merging, a slow disk), and the
// screen must answer the stop command all the while.
//
// While the call runs, the operator's handlers run nested in run(), as they do in any other
// pump of the import; the only one that can act during an import is the stop, which clears a
// flag. The work must not touch the user interface: it runs on the other thread. The wait
// pumps as pumpWhileWaiting() does.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace zeb::import {

// The pump for the user-interface thread while it waits for another thread, called every few
// milliseconds meanwhile. A backend that sees every pump (a test script, which places the
// operator's actions by counting pumps) is not pumped here: how many such pumps there are
// depends on how long the other thread takes.
void pumpWhileWaiting();

// Waits for the work of "work" (on another thread), pumping as pumpWhileWaiting() does every few
// milliseconds meanwhile, and raises what it raised.
void waitPumping(std::future<void>& work);

class PumpedCall {
 public:
  PumpedCall() = default;
  // Waits for the thread to end; there is no call under way then, as run() returns only when
  // its call has ended.
  ~PumpedCall();
  PumpedCall(const PumpedCall&) = delete;
  PumpedCall& operator=(const PumpedCall&) = delete;

  // Runs "work" on the thread (started at the first call) and pumps the window messages until
  // it ends; answers when it has ended, raising what it raised. A call made from a handler
  // while another is under way raises Exception("a server call is already under way"): the
  // thread serves one call at a time, and the work of one object is not meant to interleave.
  void run(const std::function<void()>& work) {
    start(work);
    finish();
  }

  // run() in two halves, so that the caller works on while the call runs: start() hands
  // "work" (which must stay live until finish() returns) to the thread and returns at once;
  // finish() pumps until it has ended and raises what it raised. Between the two, the call
  // is under way: run() and start() raise as above.
  void start(const std::function<void()>& work);
  void finish();
  // Whether a call was started and not yet finished.
  bool started() const { return busy_; }

 private:
  void serve();

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* work_ = nullptr;  // the call waiting for the thread
  bool busy_ = false;                            // between run()'s start and its return
  bool done_ = false;                            // the call has ended
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace zeb::import
