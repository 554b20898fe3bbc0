#include "import/pumped_call.h"

#include <chrono>
#include <utility>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {
// How often the waiting thread looks in on the window messages; the pump itself hands over to
// the backend at its own pace.
constexpr std::chrono::milliseconds kPumpPeriod{5};
}  // namespace

void pumpWhileWaiting() {
  platform::ui::Application& application = platform::ui::application();
  if (application.backend() != nullptr && !application.backend()->seesEveryPump()) {
    application.processMessagesSeldom();
  }
}

void waitPumping(std::future<void>& work) {
  while (work.wait_for(kPumpPeriod) == std::future_status::timeout) pumpWhileWaiting();
  work.get();
}

PumpedCall::~PumpedCall() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PumpedCall::start(const std::function<void()>& work) {
  std::unique_lock lock(mutex_);
  if (busy_) throw platform::Exception("a server call is already under way");
  if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
  busy_ = true;
  done_ = false;
  error_ = nullptr;
  work_ = &work;
  changed_.notify_all();
}

void PumpedCall::finish() {
  std::unique_lock lock(mutex_);
  if (!busy_) return;
  while (!changed_.wait_for(lock, kPumpPeriod, [this] { return done_; })) {
    lock.unlock();
    try {
      pumpWhileWaiting();
    } catch (...) {
      // A handler's failure must not leave the thread with work whose caller is gone: the
      // call is waited for first.
      lock.lock();
      changed_.wait(lock, [this] { return done_; });
      busy_ = false;
      throw;
    }
    lock.lock();
  }
  busy_ = false;
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void PumpedCall::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || work_ != nullptr; });
    if (work_ == nullptr) return;
    const std::function<void()>* work = std::exchange(work_, nullptr);
    lock.unlock();
    std::exception_ptr error;
    try {
      (*work)();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    error_ = error;
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace zeb::import
