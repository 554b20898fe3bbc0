// One mail log as the import reads it: the text of a plain file, of a gzip file (inflated while
// it is read, never whole in memory), or of a stream such as a pipe or standard input, whose
// size is not known until it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "platform/os/file.h"

namespace zeb::import {

// The mail log is read in blocks of kBlockSize bytes (compressed bytes for gzip), and the
// import's progress moves one step per block.
inline constexpr std::size_t kBlockSize = 102400;

class LogInput {
 public:
  // Opens "path" for reading. Raises EInOutError as platform::os::File does.
  explicit LogInput(std::string path);
  ~LogInput();
  LogInput(const LogInput&) = delete;
  LogInput& operator=(const LogInput&) = delete;

  const std::string& path() const { return file_.path(); }

  // Reads up to "size" bytes of the log's text into "data" and answers how many; 0 only at the
  // end of the text, which for a stream is when the writer has closed it. The text is the
  // file's bytes, or, when the file begins with the gzip magic (1f 8b), what they inflate to:
  // every member, one after the other (zero bytes after a member are padding).
  //
  // A plain file's text is read straight from the file, one read of "size" bytes per call.
  //
  // Raises EInOutError naming the file when a read fails, and ("Decompressing 'PATH' failed:
  // REASON") when the gzip data are damaged or the file ends inside a member: the text answered
  // before is then not the log's whole text and must not be used.
  std::size_t read(char* data, std::size_t size);

  // The first bytes of the text, at most "size" (at most kBlockSize), without taking them:
  // read() answers them again. Raises as read() does.
  std::string_view peek(std::size_t size);

  // The file's size in bytes (compressed) when it is a regular file; -1 for a stream.
  std::int64_t size() const { return size_; }
  // What read() has taken from the file so far, in bytes and in reads (compressed, for gzip).
  std::int64_t bytesRead() const { return bytesRead_; }
  std::uint64_t readsDone() const { return readsDone_; }
  // Whether the file holds gzip data; known after the first read() or peek().
  bool compressed() const { return gzip_; }

  // The time of the last change of the file's content. A pipe's is the time of its last
  // write, which is about now.
  std::time_t modificationTime() const { return file_.modificationTime(); }

  void close() { file_.close(); }

 private:
  struct Inflater;

  std::size_t readText(char* data, std::size_t size);
  // Throws when the file ends before the size it had when it was opened.
  void checkWhole() const;
  void sniff();
  bool fillRaw();
  std::size_t inflateInto(char* data, std::size_t size);
  [[noreturn]] void damaged(const std::string& reason) const;

  platform::os::File file_;
  std::int64_t size_ = -1;
  std::int64_t bytesRead_ = 0;
  std::uint64_t readsDone_ = 0;
  bool sniffed_ = false;
  bool gzip_ = false;
  bool fileEnded_ = false;
  // The file's bytes read ahead and not yet taken: the first read (which tells gzip from
  // plain text), then the compressed input of the inflater.
  std::unique_ptr<char[]> raw_;
  std::size_t rawBegin_ = 0;
  std::size_t rawEnd_ = 0;
  std::unique_ptr<Inflater> inflater_;
  // Text that peek() took and read() has not yet answered.
  std::string peeked_;
  std::size_t peekedAt_ = 0;
};

}  // namespace zeb::import
