// The error hierarchy shared by every layer. Failures are exceptions; a message always says
// what failed and where (the file, the line number, the offending text).
#pragma once

#include <stdexcept>
#include <string>

namespace zeb::platform {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// The silent abort: raised after the user has already been shown why the operation ends.
// Hosts report nothing more for it.
// It may carry a detail that the text shown did not give (which line, what was missing), for
// hosts that log or print more than a dialog shows.
class EAbort : public Exception {
 public:
  explicit EAbort(std::string detail = {})
      : Exception("Operation aborted"), detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// A text that does not convert to the number or date it should hold.
class EConvertError : public Exception {
 public:
  explicit EConvertError(const std::string& message) : Exception(message) {}
};

// A file operation failed. Carries the operating system's error code (errno) and the path.
// The message reads "OPERATION 'PATH' failed: REASON", the reason being the OS error's text, or
// "reason" when one is given (damaged content that the OS read without complaint).
class EInOutError : public Exception {
 public:
  EInOutError(int osError, std::string path, const std::string& operation);
  EInOutError(int osError, std::string path, const std::string& operation,
              const std::string& reason);
  int osError() const { return osError_; }
  const std::string& path() const { return path_; }

 private:
  int osError_;
  std::string path_;
};

// The application server answered with a failure, or could not be reached.
class EServerError : public Exception {
 public:
  EServerError(int code, const std::string& message) : Exception(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace zeb::platform
