#include "import/parse_phase.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/brenmor.h"
#include "import/line_parser.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/os/file.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

// Reading, finding the line ends and cutting take about as long as storing the records: done
// on a second core, they leave the caller's thread little but the stores.
constexpr std::size_t kBlock = 1 << 20;
// Blocks cut ahead of the stores: enough to ride over a slow read, few enough that memory
// stays a few MiB whatever the file's size.
constexpr std::size_t kDepth = 4;

struct CutRecord {
  std::uint32_t index;  // the line's place in its batch
  LineCut cut;
  std::string_view line;
};

// Whole lines of the file, with the records cut from them. The views point into "bytes",
// whose buffer a move keeps in place.
struct Batch {
  std::unique_ptr<char[]> bytes;
  std::size_t capacity = 0;  // of bytes
  std::uint32_t lines = 0;
  std::vector<CutRecord> records;
  std::exception_ptr error;  // raised once the lines above are stored
  bool last = false;
};

// The thread that reads and cuts; destroyed, it is stopped and joined.
class CutAhead {
 public:
  explicit CutAhead(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}
  ~CutAhead() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    spaceLeft_.notify_all();
    thread_.join();
  }
  CutAhead(const CutAhead&) = delete;
  CutAhead& operator=(const CutAhead&) = delete;

  // The next batch in file order. While none is ready, the window messages are pumped every
  // few milliseconds, so that the screen answers however slow the read.
  Batch next() {
    std::unique_lock lock(mutex_);
    while (ready_.empty()) {
      if (batchReady_.wait_for(lock, std::chrono::milliseconds(20)) == std::cv_status::timeout &&
          ready_.empty()) {
        lock.unlock();
        platform::ui::application().processMessagesSeldom();
        lock.lock();
      }
    }
    Batch batch = std::move(ready_.front());
    ready_.pop_front();
    lock.unlock();
    spaceLeft_.notify_one();
    return batch;
  }

  // Hands back a batch whose records are stored, so that its memory is used again rather than
  // freed and mapped anew for every block.
  void recycle(Batch batch) {
    std::lock_guard lock(mutex_);
    if (spare_.size() < kDepth) spare_.push_back(std::move(batch));
  }

 private:
  void run() {
    try {
      readAll();
    } catch (...) {
      Batch failed;
      failed.error = std::current_exception();
      failed.last = true;
      push(std::move(failed));
    }
  }

  void readAll() {
    platform::os::File file(path_, platform::os::File::Mode::kRead);
    std::vector<char> carry;  // the unfinished line at the end of the last block
    for (;;) {
      Batch batch = spare();
      if (batch.capacity < carry.size() + kBlock) {
        batch.capacity = carry.size() + kBlock;
        batch.bytes = std::make_unique_for_overwrite<char[]>(batch.capacity);
      }
      char* bytes = batch.bytes.get();
      // An empty carry may have no storage at all, and memcpy must not be given a null pointer.
      if (!carry.empty()) std::memcpy(bytes, carry.data(), carry.size());
      std::size_t read = file.read(bytes + carry.size(), kBlock);
      std::size_t size = carry.size() + read;
      std::size_t end = cutLines(bytes, size, batch);
      if (read == 0) {
        // The last line may have no line end.
        if (end < size) addLine(batch, bytes + end, size - end);
        batch.last = true;
      } else {
        carry.assign(bytes + end, bytes + size);
      }
      if (!push(std::move(batch)) || read == 0) return;
    }
  }

  // Cuts every line that ends in the "size" bytes at "data"; answers the offset after the
  // last line end.
  static std::size_t cutLines(const char* data, std::size_t size, Batch& batch) {
    std::size_t begin = 0;
    for (;;) {
      const auto* lf = static_cast<const char*>(std::memchr(data + begin, '\n', size - begin));
      if (lf == nullptr) return begin;
      addLine(batch, data + begin, static_cast<std::size_t>(lf - (data + begin)));
      begin = static_cast<std::size_t>(lf - data) + 1;
    }
  }

  static void addLine(Batch& batch, const char* start, std::size_t length) {
    while (length > 0 && start[length - 1] == '\r') --length;
    std::string_view line(start, length);
    LineCut cut = cutLine(line);
    if (cut.kind != RecordKind::None) batch.records.push_back({batch.lines, cut, line});
    ++batch.lines;
  }

  // An empty batch, with the memory of one already stored when there is one.
  Batch spare() {
    Batch batch;
    {
      std::lock_guard lock(mutex_);
      if (!spare_.empty()) {
        batch = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    batch.lines = 0;
    batch.records.clear();
    return batch;
  }

  // Queues a batch, waiting while kDepth are queued; answers false once stopped.
  bool push(Batch batch) {
    std::unique_lock lock(mutex_);
    spaceLeft_.wait(lock, [this] { return stop_ || ready_.size() < kDepth; });
    if (stop_) return false;
    ready_.push_back(std::move(batch));
    lock.unlock();
    batchReady_.notify_one();
    return true;
  }

  std::string path_;
  std::mutex mutex_;
  std::condition_variable batchReady_;
  std::condition_variable spaceLeft_;
  std::deque<Batch> ready_;
  std::vector<Batch> spare_;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once the members above exist
};

}  // namespace

void parsePhase(const std::string& workFile, TrafficTables& tables, const PhaseUi& ui,
                std::string_view logName, std::uint64_t firstLine) {
  // Read at every run: a host may change its settings between two runs.
  LineParser parser(tables, ContentFilters(host::hostSettings().contentFilters));
  CutAhead reader(workFile);
  std::uint64_t lineNumber = firstLine - 1;
  while (boImport) {
    Batch batch = reader.next();
    std::size_t record = 0;
    for (std::uint32_t i = 0; i < batch.lines; ++i) {
      if (!boImport) return;
      platform::ui::application().processMessages();
      ++lineNumber;
      if (record < batch.records.size() && batch.records[record].index == i) {
        const CutRecord& r = batch.records[record++];
        try {
          parser.store(r.cut, r.line, lineNumber);
        } catch (const platform::EConvertError& e) {
          if (logName.empty()) throw;
          throw platform::EConvertError(std::string(logName) + ", " + e.what());
        }
      }
      ui.step();
    }
    if (batch.error) std::rethrow_exception(batch.error);
    if (batch.last) return;
    reader.recycle(std::move(batch));
  }
}

}  // namespace zeb::import
