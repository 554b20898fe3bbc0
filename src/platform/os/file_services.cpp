#include "platform/os/file_services.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::platform::os {

std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') return "/tmp";
  return dir;
}

std::string makeTemporaryFile() {
  std::string dir = temporaryDirectory();
  std::string pattern = dir;
  if (pattern.back() != '/') pattern += '/';
  pattern += "tmpXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp creates the file with O_EXCL and mode 0600, which is what makes the name safe to
  // hand out: nobody can have placed a file or a link there first, nor read what we write.
  int fd = ::mkstemp(name.data());
  if (fd < 0) throw EInOutError(errno, dir, "Creating a temporary file in");
  ::close(fd);
  return std::string(name.data());
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::int64_t fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw EInOutError(errno, path, "Taking the size of");
  return static_cast<std::int64_t>(st.st_size);
}

std::string fileYear(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    throw EInOutError(errno, path, "Taking the modification time of");
  }
  return formatYear(st.st_mtime);
}

std::string formatYear(std::time_t time) {
  struct tm local;
  if (::localtime_r(&time, &local) == nullptr) {
    throw EConvertError("The time " + std::to_string(time) + " has no local date");
  }
  char text[16];
  std::snprintf(text, sizeof text, "%04d", local.tm_year + 1900);
  return text;
}

bool deleteFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  throw EInOutError(errno, path, "Deleting");
}

}  // namespace zeb::platform::os
