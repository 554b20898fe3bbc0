// A file opened for block reads or block writes, closed when it goes out of scope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace zeb::platform::os {

// Sizes and positions are 64-bit, so files of 2 GiB and more work. Every failure raises
// EInOutError with the OS error (errno) and the path; the destructor closes without raising,
// so that a failure already on its way is the one the caller sees.
class File {
 public:
  enum class Mode {
    kRead,    // an existing file, read only
    kCreate,  // created when missing (mode 0600), emptied when present; write only
  };

  File() = default;
  File(std::string path, Mode mode) { open(std::move(path), mode); }
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Requires !isOpen().
  void open(std::string path, Mode mode);
  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Reads up to "size" bytes into "data"; fewer only at the end of the file. Answers the
  // number of bytes read, 0 at the end.
  std::size_t read(void* data, std::size_t size);
  // Writes all "size" bytes.
  void write(const void* data, std::size_t size);
  // Cuts the file to "size" bytes; the position stays where it was.
  void truncate(std::int64_t size);

  // The position of the next read or write, counted from the start of the file.
  std::int64_t position() const { return position_; }
  // The file's size now, which another process may be changing.
  std::int64_t size() const;
  // True when the position is at or past the file's size now.
  bool eof() const { return position_ >= size(); }
  // The time of the last change of the file's content.
  std::time_t modificationTime() const;
  // True for a regular file, whose size is known before it is read; false for a pipe, a socket
  // or a terminal, which are read until they end.
  bool isRegular() const;

  // Closes the file, raising when the OS reports a failure (a write that could not be
  // completed). Closing a file that is not open does nothing.
  void close();

 private:
  [[noreturn]] void fail(const char* operation) const;
  void requireOpen(const char* operation) const;

  std::string path_;
  int fd_ = -1;
  std::int64_t position_ = 0;
};

}  // namespace zeb::platform::os
