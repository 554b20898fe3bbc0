#include "platform/os/line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/exceptions.h"

namespace zeb::platform::os {

namespace {
constexpr std::size_t kBlock = 1 << 20;
}

LineReader::LineReader(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw EInOutError(errno, path_, "Opening");
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  buffer_.resize(kBlock);
}

LineReader::~LineReader() { close(); }

void LineReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool LineReader::fill() {
  if (atFileEnd_) return false;
  if (fd_ < 0) throw EInOutError(EBADF, path_, "Reading");
  // Keep the unfinished line at the front; grow when it fills the whole buffer.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  for (;;) {
    ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(errno, path_, "Reading");
    }
    if (n == 0) {
      atFileEnd_ = true;
      return false;
    }
    end_ += static_cast<std::size_t>(n);
    return true;
  }
}

bool LineReader::eof() {
  while (begin_ == end_) {
    if (!fill()) return true;
  }
  return false;
}

bool LineReader::readLine(std::string_view& line) {
  std::size_t scanned = begin_;
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const void* lf = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned);
    if (lf != nullptr) {
      std::size_t len = static_cast<const char*>(lf) - start;
      begin_ += len + 1;
      while (len > 0 && start[len - 1] == '\r') --len;
      line = std::string_view(start, len);
      ++lineNumber_;
      return true;
    }
    std::size_t pending = end_ - begin_;
    if (!fill()) {
      if (pending == 0) return false;
      start = buffer_.data() + begin_;
      std::size_t len = pending;
      begin_ = end_;
      while (len > 0 && start[len - 1] == '\r') --len;
      line = std::string_view(start, len);
      ++lineNumber_;
      return true;
    }
    scanned = begin_ + pending;  // fill() moved the pending bytes to the front
  }
}

}  // namespace zeb::platform::os
