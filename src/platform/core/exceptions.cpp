#include "platform/core/exceptions.h"

#include <cstring>

namespace zeb::platform {

namespace {
std::string describe(int osError, const std::string& path, const std::string& operation) {
  std::string text = operation + " '" + path + "' failed";
  if (osError != 0) text += ": " + std::string(std::strerror(osError));
  return text;
}
}  // namespace

EInOutError::EInOutError(int osError, std::string path, const std::string& operation)
    : Exception(describe(osError, path, operation)), osError_(osError), path_(std::move(path)) {}

EInOutError::EInOutError(int osError, std::string path, const std::string& operation,
                         const std::string& reason)
    : Exception(operation + " '" + path + "' failed: " + reason),
      osError_(osError),
      path_(std::move(path)) {}

}  // namespace zeb::platform
