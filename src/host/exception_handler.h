// How errors reach the host where no caller can take them: at the module's C entry points and
// in the handlers that a window system calls.
#pragma once

#include <exception>
#include <functional>

namespace zeb::host {

using ExceptionHandler = std::function<void(std::exception_ptr)>;

// Installs the host's handler and answers the one it replaces (empty for the default). The
// default shows the message in an error dialog through the Application, and nothing for the
// silent abort (EAbort), whose reason has been shown already.
ExceptionHandler setExceptionHandler(ExceptionHandler handler);

// Hands the error to the host's handler; never raises. Call it inside a catch block with
// std::current_exception().
void HandleException(std::exception_ptr error) noexcept;

}  // namespace zeb::host
