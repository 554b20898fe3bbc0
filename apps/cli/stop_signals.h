// Turns the signals that ask a command to stop into stop requests of the console backend, for
// the life of a StopSignals object.
//
// SIGINT, SIGTERM and SIGHUP call backend.requestStop(confirm), with confirm true only for
// SIGINT when stdin and stderr are both terminals (someone is there to answer). A second signal
// while a stop is waiting or being confirmed is not the default action: the backend counts it as
// a stop without confirmation (see ConsoleBackend::requestStop()). SIGPIPE is ignored, so that
// writing to a closed pipe fails with EPIPE and the command can clean up after it.
//
// The handlers are installed with SA_RESTART: interrupted system calls resume, and only calls
// that never resume (poll(), as a terminal dialog uses) see EINTR.
#pragma once

#include <signal.h>

#include "console_backend.h"

namespace zeb::cli {

class StopSignals {
 public:
  // Installs the handlers. Only one StopSignals may live at a time; "backend" must outlive it.
  explicit StopSignals(ConsoleBackend& backend);
  // Puts back the handlers (and the SIGPIPE disposition) that were in place before.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The last stop signal received while installed (SIGINT, SIGTERM or SIGHUP), or 0. A command
  // stopped by one exits with 128 plus its number (130 for SIGINT).
  static int lastSignal();

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
  struct sigaction previousHup_ {};
  struct sigaction previousPipe_ {};
};

}  // namespace zeb::cli
