#include "platform/os/file_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::platform::os {

std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') return "/tmp";
  return dir;
}

namespace {

// A temporary file's name carries the pid of the process that made it, and that process holds
// an advisory lock on it until it deletes it. A process killed outright (SIGKILL, a power cut
// of a container) leaves its file behind; a later one may delete it once both prove it
// abandoned: no process has that pid, and nobody holds the lock (which also covers a pid of
// another pid namespace sharing the directory).
constexpr std::string_view kOwnedPrefix = "tmpzeb-";

// The locked descriptors of the files this process made, by path, until they are deleted.
std::mutex heldMutex;
std::map<std::string, int>& held() {
  static std::map<std::string, int> files;
  return files;
}

// The pid in "name" when it is one of our temporary files' names, else 0.
pid_t ownerOf(std::string_view name) {
  if (!name.starts_with(kOwnedPrefix)) return 0;
  name.remove_prefix(kOwnedPrefix.size());
  std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || name.size() - dash - 1 != 6) return 0;
  long pid = 0;
  for (char c : name.substr(0, dash)) {
    if (c < '0' || c > '9' || pid > 99999999) return 0;
    pid = pid * 10 + (c - '0');
  }
  return static_cast<pid_t>(pid);
}

void removeIfAbandoned(const std::string& dir, const std::string& name, pid_t owner) {
  if (owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH) return;
  std::string path = dir + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened {
  }, named{};
  if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
      ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
      named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
    (void)::unlink(path.c_str());
  }
  ::close(fd);
}

}  // namespace

void removeAbandonedTemporaryFiles() {
  std::string dir = temporaryDirectory();
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return;
  std::vector<std::pair<std::string, pid_t>> found;
  while (const dirent* entry = ::readdir(listing)) {
    if (pid_t owner = ownerOf(entry->d_name)) found.emplace_back(entry->d_name, owner);
  }
  ::closedir(listing);
  for (const auto& [name, owner] : found) removeIfAbandoned(dir, name, owner);
}

std::string makeTemporaryFile() {
  std::string dir = temporaryDirectory();
  std::string pattern = dir;
  if (pattern.back() != '/') pattern += '/';
  pattern += std::string(kOwnedPrefix) + std::to_string(::getpid()) + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp creates the file with O_EXCL and mode 0600, which is what makes the name safe to
  // hand out: nobody can have placed a file or a link there first, nor read what we write.
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) throw EInOutError(errno, dir, "Creating a temporary file in");
  std::string path(name.data());
  // The lock is taken before anyone could take the file for abandoned: its pid is alive.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
  }
  if (fd >= 0) {
    std::lock_guard lock(heldMutex);
    held()[path] = fd;
  }
  return path;
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
  bool deleted = ::unlink(path.c_str()) == 0;
  int error = errno;
  if (deleted || error == ENOENT) {
    // The lock goes only with the name, so that nobody takes a file still named for abandoned.
    std::lock_guard lock(heldMutex);
    auto it = held().find(path);
    if (it != held().end()) {
      ::close(it->second);
      held().erase(it);
    }
  }
  if (deleted) return true;
  if (error == ENOENT) return false;
  throw EInOutError(error, path, "Deleting");
}

}  // namespace zeb::platform::os
