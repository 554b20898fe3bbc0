// Reads a text file line by line, as bytes, in large blocks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zeb::platform::os {

// A line ends at LF; the LF and any CRs right before it are not part of the line. A last line
// without a line end is a line too; a file that ends with a line end has no empty line after
// it. Failures raise EInOutError with the OS error and the path.
class LineReader {
 public:
  explicit LineReader(std::string path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line into "line", which stays valid until the next call. Answers false at
  // the end of the file.
  bool readLine(std::string_view& line);
  // True when no line is left.
  bool eof();
  // The number of the line last read, counting from 1.
  std::uint64_t lineNumber() const { return lineNumber_; }
  const std::string& path() const { return path_; }
  void close();

 private:
  bool fill();  // reads more bytes; false at the end of the file

  std::string path_;
  int fd_ = -1;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // one past the last byte read
  bool atFileEnd_ = false;
  std::uint64_t lineNumber_ = 0;
};

}  // namespace zeb::platform::os
