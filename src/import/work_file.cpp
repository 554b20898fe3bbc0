#include "import/work_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <optional>

#include "import/log_order.h"
#include "import/module_state.h"
#include "import/pumped_call.h"
#include "platform/core/exceptions.h"
#include "platform/os/file.h"
#include "platform/os/file_services.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

using platform::os::File;

// Longest run of blanks carried over from one batch to the next in memory. A longer run (a log
// with megabytes of nothing but blanks) is written out, and cut off again at the end if nothing
// but blanks follows it, so that memory stays bounded by one batch.
constexpr std::size_t kMaxHeldBack = WorkFileSizes{}.maxHeldBack;

WorkFileSizes sizes;

bool isBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// A log with text, and the log line of its first line.
struct LogSegment {
  std::string path;
  std::uint64_t firstLine;
};

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
      : block_(std::make_unique_for_overwrite<char[]>(sizes.block)),
        // A batch doubles at most (every byte an LF), after the blanks held back, with a line end
        // added in front of each block that begins a log.
        lines_(std::make_unique_for_overwrite<char[]>(linesSize())),
        written_(std::make_unique_for_overwrite<char[]>(linesSize())) {}

  // The batch being written is waited for, and its failure dropped: a failure on its way out
  // is the one the caller sees.
  ~WorkFile() {
    if (writing_.valid()) writing_.wait();
  }

  void create(const std::string& path) { file_.open(path, File::Mode::kCreate); }

  // Where the next block is read to: a block's size (kBlockSize unless tests set another).
  char* block() { return block_.get(); }

  // The next block appended begins the log at "path", which must stay alive until then.
  void startLog(const std::string& path) { startingLog_ = &path; }

  // Appends the converted text of the block's first "size" bytes (at most kBlockSize) to the
  // line buffer.
  void appendBlock(std::size_t size) {
    if (size == 0) return;
    char* out = lines_.get() + used_;
    if (startingLog_ != nullptr) {
      // Two logs never share a line: the parser must see each line as its log wrote it.
      if (bytesRead_ > 0 && !endsWithLineEnd_) {
        *out++ = '\r';
        *out++ = '\n';
        ++lineEnds_;
      }
      segments_.push_back({*startingLog_, lineEnds_ + 1});
      startingLog_ = nullptr;
    }
    const char* in = block_.get();
    const char* const end = in + size;
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
    if (used_ > sizes.maxHeldBack) write(0, used_);
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
  // Where each log with any text begins, in reading order.
  const std::vector<LogSegment>& segments() const { return segments_; }

 private:
  static std::size_t linesSize() {
    std::size_t batch = sizes.block * static_cast<std::size_t>(sizes.blocksPerBatch);
    return sizes.maxHeldBack + 2 * batch + 2 * static_cast<std::size_t>(sizes.blocksPerBatch);
  }

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

  // Waits for the batch being written, pumping the window messages meanwhile (a write can wait
  // a while for the disk); its failure is raised here.
  void waitForWrite() {
    if (writing_.valid()) waitPumping(writing_);
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
  const std::string* startingLog_ = nullptr;
  std::vector<LogSegment> segments_;
};

// The logs in reading order, opened one at a time.
class LogInputs {
 public:
  explicit LogInputs(const std::vector<std::string>& paths) : paths_(paths) {
    inputs_.resize(paths.size());
    modified_.resize(paths.size());
    order_.resize(paths.size());
    std::vector<std::optional<LogStamp>> stamps(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      auto input = std::make_unique<LogInput>(paths[i]);
      if (input->size() < 0) {
        sizeKnown_ = false;
      } else {
        fullBlocks_ += input->size() / static_cast<std::int64_t>(kBlockSize);
      }
      modified_[i] = input->modificationTime();
      if (paths.size() > 1) {
        stamps[i] = firstStamp(input->peek(kStampSearchBytes), modified_[i]);
      }
      // A stream can be read once only, and keeps what was peeked; a file of a list is opened
      // again at its turn, so that a long list holds one file open at a time.
      if (input->size() < 0 || paths.size() == 1) inputs_[i] = std::move(input);
    }
    order_ = readingOrder(stamps);
  }

  std::size_t count() const { return paths_.size(); }
  const std::string& path(std::size_t k) const { return paths_[order_[k]]; }
  std::time_t modified(std::size_t k) const { return modified_[order_[k]]; }
  bool sizeKnown() const { return sizeKnown_; }
  std::int64_t fullBlocks() const { return fullBlocks_; }

  LogInput& open(std::size_t k) {
    std::unique_ptr<LogInput>& input = inputs_[order_[k]];
    if (input == nullptr) input = std::make_unique<LogInput>(paths_[order_[k]]);
    return *input;
  }
  void close(std::size_t k) {
    std::unique_ptr<LogInput>& input = inputs_[order_[k]];
    if (input != nullptr) input->close();
    input.reset();
  }

 private:
  const std::vector<std::string>& paths_;
  std::vector<std::unique_ptr<LogInput>> inputs_;
  std::vector<std::time_t> modified_;
  std::vector<std::size_t> order_;
  bool sizeKnown_ = true;
  std::int64_t fullBlocks_ = 0;
};

std::vector<LogSegment> workFileSegments;

}  // namespace

std::uint64_t workFileFirstLine = 1;

std::string describeLine(std::uint64_t logLine) {
  auto after = std::upper_bound(
      workFileSegments.begin(), workFileSegments.end(), logLine,
      [](std::uint64_t line, const LogSegment& segment) { return line < segment.firstLine; });
  if (after == workFileSegments.begin()) return "line " + std::to_string(logLine);
  const LogSegment& segment = *(after - 1);
  return segment.path + ", line " + std::to_string(logLine - segment.firstLine + 1);
}

std::string nameLogLine(std::string_view message) {
  constexpr std::string_view kLine = "line ";
  if (!message.starts_with(kLine)) return std::string(message);
  std::size_t end = kLine.size();
  std::uint64_t line = 0;
  while (end < message.size() && message[end] >= '0' && message[end] <= '9' && end < 25) {
    line = line * 10 + static_cast<std::uint64_t>(message[end] - '0');
    ++end;
  }
  if (end == kLine.size() || end >= message.size() || message[end] != ':') {
    return std::string(message);
  }
  return describeLine(line) + std::string(message.substr(end));
}

void setWorkFileSizes(const WorkFileSizes& wanted) {
  if (wanted.block == 0 || wanted.block > kBlockSize || wanted.blocksPerBatch <= 0 ||
      wanted.blocksPerBatch > kBlocksPerBatch || wanted.maxHeldBack > kMaxHeldBack) {
    throw platform::Exception("work file sizes out of range");
  }
  sizes = wanted;
}

std::string GetTemporaryFileName() {
  // An import killed outright leaves its work file; the next one clears such files away.
  platform::os::removeAbandonedTemporaryFiles();
  return platform::os::makeTemporaryFile();
}

void FormatDoc(const std::string& path, const PhaseUi& ui) {
  FormatDoc(std::vector<std::string>{path}, ui);
}

void FormatDoc(const std::vector<std::string>& paths, const PhaseUi& ui) {
  // As opening an empty path fails, so that no caller takes an empty choice for an empty log.
  if (paths.empty()) throw platform::EInOutError(ENOENT, "", "Opening");
  // Declared in this order so that a failure closes the logs, then the work file, and then
  // releases the buffers, as the normal path does.
  WorkFile work;
  // Never leave the caller the name of an earlier run's file, which it would delete again.
  stArqTemp.clear();
  stArqTemp = GetTemporaryFileName();
  work.create(stArqTemp);
  LogInputs logs(paths);

  if (logs.sizeKnown()) {
    ui.setMax(static_cast<int>(std::min<std::int64_t>(logs.fullBlocks(), INT_MAX)));
  } else {
    ui.setUnknownMax();
  }
  ui.setPosition(0);

  int blockCounter = 1;
  inLinhas = 0;
  workFileFirstLine = 1;
  std::uint64_t blocksBefore = 0;  // blocks of the logs read before this one
  std::int64_t bytesBefore = 0;
  std::uint64_t steps = 0;
  for (std::size_t k = 0; k < logs.count() && boImport; ++k) {
    LogInput& log = logs.open(k);
    auto showProgress = [&] {
      if (logs.sizeKnown()) {
        // A gzip block may inflate to many blocks of text, or to none.
        for (std::uint64_t read = blocksBefore + log.readsDone(); steps < read; ++steps) {
          ui.step();
        }
      } else {
        ui.setPosition(static_cast<int>(
            std::min<std::int64_t>((bytesBefore + log.bytesRead()) / 1024, INT_MAX)));
      }
    };
    work.startLog(logs.path(k));
    while (boImport) {
      std::size_t size = log.read(work.block(), sizes.block);
      if (size == 0) break;
      platform::ui::application().processMessages();
      work.appendBlock(size);
      if (++blockCounter == sizes.blocksPerBatch + 1) {
        work.writeBatch();
        inLinhas = work.lineCount();
        blockCounter = 1;
      }
      ui.repaint();
      showProgress();
    }
    showProgress();
    blocksBefore += log.readsDone();
    bytesBefore += log.bytesRead();
    logs.close(k);
  }
  work.finish();
  inLinhas = work.lineCount();
  workFileFirstLine = 1 + work.linesDropped();
  workFileSegments = work.segments();
  stAno = platform::os::formatYear(logs.modified(logs.count() - 1));
  work.close();
}

}  // namespace zeb::import
