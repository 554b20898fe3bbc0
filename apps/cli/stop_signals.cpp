#include "stop_signals.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/core/exceptions.h"

namespace zeb::cli {

namespace {

// A signal handler reaches the backend only through these, which are lock-free.
std::atomic<ConsoleBackend*> theBackend{nullptr};
std::atomic<bool> confirmInterrupt{false};
std::atomic<int> theLastSignal{0};
static_assert(std::atomic<ConsoleBackend*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signal) {
  theLastSignal.store(signal);
  if (ConsoleBackend* backend = theBackend.load()) {
    backend->requestStop(signal == SIGINT && confirmInterrupt.load());
  }
}

void install(int signal, struct sigaction& previous) {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  // One handler at a time: a second signal waits until the first has been recorded.
  sigemptyset(&action.sa_mask);
  for (int other : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, other);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, &previous);
}

}  // namespace

StopSignals::StopSignals(ConsoleBackend& backend) {
  ConsoleBackend* none = nullptr;
  if (!theBackend.compare_exchange_strong(none, &backend)) {
    throw platform::Exception("stop signals are already taken by another command");
  }
  confirmInterrupt.store(::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0);
  theLastSignal.store(0);
  install(SIGINT, previousInt_);
  install(SIGTERM, previousTerm_);
  install(SIGHUP, previousHup_);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previousPipe_);
}

StopSignals::~StopSignals() {
  sigaction(SIGPIPE, &previousPipe_, nullptr);
  sigaction(SIGHUP, &previousHup_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
  sigaction(SIGINT, &previousInt_, nullptr);
  theBackend.store(nullptr);
}

int StopSignals::lastSignal() { return theLastSignal.load(); }

}  // namespace zeb::cli
