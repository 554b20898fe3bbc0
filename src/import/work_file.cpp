#include "import/work_file.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>

#include "import/module_state.h"
#include "platform/os/file.h"
#include "platform/os/file_services.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

using platform::os::File;

constexpr std::size_t kBatchSize = kBlockSize * kBlocksPerBatch;
// Longest run of blanks carried over from one batch to the next in memory. A longer run (a log
// with megabytes of nothing but blanks) is written out, and cut off again at the end if nothing
// but blanks follows it, so that memory stays bounded by one batch.
constexpr std::size_t kMaxHeldBack = 64 * 1024;

bool isBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// The line buffer and the work file it is written to.
//
// Blanks are trimmed only at the two ends of the whole work file, never at a batch boundary:
// a cut there may fall between the two blanks of "Dec  5", or right on a line end, and the
// parser must see the same lines whatever the size of the log. So the leading blanks are
// dropped only until the first other byte is written, and the blanks that end a batch are held
// back and written in front of the next batch's text, if any non-blank text follows.
class WorkFile {
 public:
  WorkFile()
      : block_(std::make_unique_for_overwrite<char[]>(kBlockSize)),
        // A batch doubles at most (every byte an LF), after the blanks held back.
        lines_(std::make_unique_for_overwrite<char[]>(kLinesSize)),
        written_(std::make_unique_for_overwrite<char[]>(kLinesSize)) {}

  // The batch being written is waited for, and its failure dropped: a failure on its way out
  // is the one the caller sees.
  ~WorkFile() {
    if (writing_.valid()) writing_.wait();
  }

  void create(const std::string& path) { file_.open(path, File::Mode::kCreate); }

  // Reads one block of "log" and appends its converted text to the line buffer.
  void appendBlock(File& log) {
    std::size_t size = log.read(block_.get(), kBlockSize);
    if (size == 0) return;
    const char* in = block_.get();
    const char* const end = in + size;
    char* out = lines_.get() + used_;
    while (in < end) {
      const auto* lf = static_cast<const char*>(std::memchr(in, '\n', end - in));
      if (lf == nullptr) {
        std::memcpy(out, in, end - in);
        out += end - in;
        break;
      }
      std::memcpy(out, in, lf - in);
      out += lf - in;
      *out++ = '\r';
      *out++ = '\n';
      in = lf + 1;
      ++lineEnds_;
    }
    used_ = out - lines_.get();
    bytesRead_ += size;
    endsWithLineEnd_ = end[-1] == '\n';
  }

  // Writes the line buffer's text up to its last non-blank byte, and keeps the blanks after it.
  void writeBatch() {
    char* const text = lines_.get();
    std::size_t begin = 0;
    if (!started_) {
      while (begin < used_ && isBlank(text[begin])) {
        if (text[begin] == '\n') ++linesDropped_;
        ++begin;
      }
    }
    std::size_t last = used_;
    while (last > begin && isBlank(text[last - 1])) --last;
    if (last > begin) {
      write(begin, last);
      started_ = true;
      contentEnd_ = submitted_;
    } else if (!started_) {
      used_ = 0;
    }
    if (used_ > kMaxHeldBack) write(0, used_);
  }

  // Writes what the line buffer holds and drops the blanks at the end of the work file.
  void finish() {
    writeBatch();
    used_ = 0;
    waitForWrite();
    if (file_.position() > contentEnd_) file_.truncate(contentEnd_);
  }

  // The line count of the text converted so far: its CR LF pairs, plus one for a last line
  // without a line end.
  std::int32_t lineCount() const {
    std::uint64_t lines = lineEnds_ + (bytesRead_ > 0 && !endsWithLineEnd_ ? 1 : 0);
    return static_cast<std::int32_t>(std::min<std::uint64_t>(lines, INT32_MAX));
  }

  void close() {
    waitForWrite();
    file_.close();
  }

  // The log lines dropped whole before the work file's first line.
  std::uint64_t linesDropped() const { return linesDropped_; }

 private:
  static constexpr std::size_t kLinesSize = kMaxHeldBack + 2 * kBatchSize;

  // Hands the line buffer's bytes [from, to) to a thread that writes them while the next batch
  // is read and converted, and goes on in the other buffer, with the bytes after "to". The
  // write before is waited for first: one batch is written at a time, in order, and the
  // buffer it came from is free again.
  void write(std::size_t from, std::size_t to) {
    waitForWrite();
    const char* text = lines_.get() + from;
    std::size_t size = to - from;
    writing_ = std::async(std::launch::async, [this, text, size] { file_.write(text, size); });
    submitted_ += static_cast<std::int64_t>(size);
    std::memcpy(written_.get(), lines_.get() + to, used_ - to);
    used_ -= to;
    std::swap(lines_, written_);
  }

  // Waits for the batch being written; its failure is raised here.
  void waitForWrite() {
    if (writing_.valid()) writing_.get();
  }

  // Destroyed in reverse: the write in flight is waited for (by the destructor), then the work
  // file is closed, and then the buffers are released.
  std::unique_ptr<char[]> block_;
  std::unique_ptr<char[]> lines_;
  std::unique_ptr<char[]> written_;  // the buffer being written, or free
  File file_;
  std::future<void> writing_;
  std::int64_t submitted_ = 0;   // bytes handed to the writes
  std::size_t used_ = 0;         // bytes in lines_
  bool started_ = false;         // a non-blank byte has been written
  std::int64_t contentEnd_ = 0;  // the work file's offset after its last non-blank byte
  std::uint64_t lineEnds_ = 0;   // LFs read so far
  std::uint64_t bytesRead_ = 0;
  bool endsWithLineEnd_ = false;  // the last byte read is an LF
  std::uint64_t linesDropped_ = 0;
};

}  // namespace

std::uint64_t workFileFirstLine = 1;

std::string GetTemporaryFileName() { return platform::os::makeTemporaryFile(); }

void FormatDoc(const std::string& path, const PhaseUi& ui) {
  // Declared in this order so that a failure closes the log, then the work file, and then
  // releases the buffers, as the normal path does.
  WorkFile work;
  // Never leave the caller the name of an earlier run's file, which it would delete again.
  stArqTemp.clear();
  stArqTemp = GetTemporaryFileName();
  work.create(stArqTemp);
  File log(path, File::Mode::kRead);

  std::int64_t fullBlocks = log.size() / static_cast<std::int64_t>(kBlockSize);
  ui.setMax(static_cast<int>(std::min<std::int64_t>(fullBlocks, INT_MAX)));
  ui.setPosition(0);

  int blockCounter = 1;
  inLinhas = 0;
  workFileFirstLine = 1;
  while (!log.eof() && boImport) {
    platform::ui::application().processMessages();
    work.appendBlock(log);
    if (++blockCounter == kBlocksPerBatch + 1) {
      work.writeBatch();
      inLinhas = work.lineCount();
      blockCounter = 1;
    }
    ui.repaint();
    ui.step();
  }
  work.finish();
  inLinhas = work.lineCount();
  workFileFirstLine = 1 + work.linesDropped();
  stAno = platform::os::formatYear(log.modificationTime());
  log.close();
  work.close();
}

}  // namespace zeb::import
