#include "server/batch_merger.h"

#include <algorithm>

#include "platform/core/exceptions.h"
#include "server/batch_record.h"

namespace zeb::server {

namespace {

using Clock = std::chrono::steady_clock;

// A round takes the batches that end before the day that the newest batch has reached: an
// import sends its rows day after day, so their days are complete. A round then writes whole
// days: each at once, in key order, at the end of the table on a first import; and a day
// replaced by the same rows again is compared with what is stored rather than rewritten (see
// NetChanges::outcomeOf()).
// A round waits for kRoundBatchesMin such batches, or for the first of them to have waited
// kGatherTime; it takes kRoundBatchesMax at most, and whatever has queued once the first batch
// has waited kHoldTime or the batches held take half their memory. Nothing waits when a caller
// waits for the merge.
constexpr std::size_t kRoundBatchesMin = 16;
constexpr std::size_t kRoundBatchesMax = 256;
constexpr auto kGatherTime = std::chrono::milliseconds(100);
constexpr auto kHoldTime = std::chrono::seconds(1);
// The memory that batches held may take (a batch of 1000 rows takes about 0.1 MB in its compact
// form), and that batches decoded for one write may take (about 0.5 MB such a batch). A day of a
// busy log is about 50 batches. Past the first cap batches are read back from the pending file;
// a larger cap on decoded batches grew the peak of an import in one process by up to 80 MiB.
constexpr std::size_t kHeldBytesMax = std::size_t{16} << 20;
constexpr std::size_t kDecodedBytesMax = std::size_t{16} << 20;
constexpr std::size_t kSparesMax = 16;

}  // namespace

void mergeBatches(TableConnection& table, const PendingJournal& journal,
                  std::vector<QueuedBatch>& batches, MergeScratch& scratch) {
  NetChanges& net = scratch.net;
  std::size_t used = 0;  // of scratch.decoded
  std::size_t decodedBytes = 0;
  auto write = [&] {
    net.settle();
    table.write(net);
    net.clear();
    used = 0;
    decodedBytes = 0;
  };
  net.clear();
  table.begin();
  try {
    // Read inside the transaction: a batch that another process merged meanwhile is skipped.
    std::int64_t through = table.mergedThrough();
    std::int64_t last = through;
    for (QueuedBatch& queued : batches) {
      if (queued.seq <= through) continue;
      // Writing part of the run and going on in the same transaction comes to the same.
      if (decodedBytes >= kDecodedBytesMax) write();
      if (used == scratch.decoded.size()) {
        scratch.decoded.push_back(std::make_unique<AcceptedBatch>());
      }
      AcceptedBatch& into = *scratch.decoded[used++];
      if (queued.held) {
        decodeBatchRecord(queued.held->text, into.batch);
        into.text.clear();
      } else {
        journal.load(queued.seq, queued.offset, queued.length, queued.compact, into);
      }
      decodedBytes += into.bytes();
      net.add(queued.days, into.batch);
      last = queued.seq;
    }
    write();
    if (last > through) table.setMergedThrough(last);
    table.commit("committing merged batches");
  } catch (...) {
    net.clear();
    table.rollBack();
    throw;
  }
}

BatchMerger::BatchMerger(PendingJournal& journal, std::unique_ptr<TableConnection> table,
                         std::int64_t merged, std::vector<QueuedBatch> queued, FailureReport report)
    : journal_(journal),
      table_(std::move(table)),
      accepted_(merged),
      merged_(merged),
      report_(std::move(report)) {
  for (QueuedBatch& batch : queued) {
    accepted_ = batch.seq;
    queue_.push_back(std::move(batch));
  }
  thread_ = std::thread([this] { run(); });
}

BatchMerger::~BatchMerger() { stop(); }

std::unique_ptr<AcceptedBatch> BatchMerger::spare(std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    if (heldBytes_ + bytes > kHeldBytesMax) return nullptr;
    if (!spares_.empty()) {
      std::unique_ptr<AcceptedBatch> spare = std::move(spares_.back());
      spares_.pop_back();
      return spare;
    }
  }
  return std::make_unique<AcceptedBatch>();
}

void BatchMerger::push(QueuedBatch batch) {
  {
    std::lock_guard lock(mutex_);
    if (batch.held) heldBytes_ += batch.held->bytes();
    batch.queuedAt = Clock::now();
    accepted_ = batch.seq;
    queue_.push_back(std::move(batch));
  }
  changed_.notify_all();
}

bool BatchMerger::allMerged() {
  std::lock_guard lock(mutex_);
  return merged_ == accepted_;
}

// Waits, holding "lock", until a round is due; answers the batches it takes from the front.
std::size_t BatchMerger::nextRound(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    if (stopping_ || waiting_ > 0 || queue_.size() >= kRoundBatchesMax) {
      return std::min(queue_.size(), kRoundBatchesMax);
    }
    const std::string& reached = queue_.back().lastDate;
    std::size_t complete = 0;
    while (complete < queue_.size() && queue_[complete].lastDate < reached) ++complete;
    if (reached.empty()) complete = queue_.size();  // read back after a restart: no days known
    if (heldBytes_ - roundBytes_ >= kHeldBytesMax / 2) {
      return std::min(queue_.size(), kRoundBatchesMax);
    }
    auto now = Clock::now();
    auto first = queue_.front().queuedAt;
    if (complete >= kRoundBatchesMin || (complete > 0 && now >= first + kGatherTime)) {
      return complete;
    }
    if (now >= first + kHoldTime) return queue_.size();
    changed_.wait_until(lock, first + (complete > 0 ? kGatherTime : kHoldTime));
  }
}

// Gives the memory of a merged round back: a few of its batches are kept as spares.
void BatchMerger::release(std::vector<QueuedBatch>& round) {
  for (QueuedBatch& batch : round) {
    if (!batch.held) continue;
    heldBytes_ -= batch.held->bytes();
    if (spares_.size() < kSparesMax) spares_.push_back(std::move(batch.held));
  }
  round.clear();
  roundBytes_ = 0;
}

void BatchMerger::run() {
  std::vector<QueuedBatch> round;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || (!error_ && !queue_.empty()); });
    // At a stop the batches already queued are merged first, unless merging fails.
    if (queue_.empty() || (stopping_ && error_)) return;
    for (std::size_t n = nextRound(lock); n > 0 && !queue_.empty(); --n) {
      if (queue_.front().held) roundBytes_ += queue_.front().held->bytes();
      round.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    lock.unlock();
    std::exception_ptr failure;
    auto started = Clock::now();
    try {
      mergeBatches(*table_, journal_, round, scratch_);
    } catch (...) {
      failure = std::current_exception();
    }
    nanos_ += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count());
    lock.lock();
    if (failure) {
      // Back to the front, to be tried again in a while; callers of flush() hear why.
      for (auto it = round.rbegin(); it != round.rend(); ++it) queue_.push_front(std::move(*it));
      round.clear();
      roundBytes_ = 0;
      error_ = failure;
      lastFailure_ = failure;
      ++failures_;
      changed_.notify_all();
      lock.unlock();
      tell(failure);
      lock.lock();
      // At a stop they stay in the pending file, merged when the database is next opened.
      if (stopping_) return;
      changed_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_ || retryNow_; });
      retryNow_ = false;
      if (stopping_) return;
      error_ = nullptr;
      continue;
    }
    reported_.clear();
    batches_ += round.size();
    merged_ = round.back().seq;
    release(round);
    changed_.notify_all();
    if (queue_.empty()) {
      lock.unlock();
      clean();
      lock.lock();
    }
  }
}

// Empties the pending file once every batch in it is merged, holding accepting off meanwhile
// so that no batch is appended in between. Never waits for a call that is accepting: that call
// may be waiting for this thread's merge (a full pending file), and empties it itself.
void BatchMerger::clean() {
  std::unique_lock accepting(journal_.mutex(), std::try_to_lock);
  if (!accepting.owns_lock()) return;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.empty() || merged_ != accepted_ || journal_.size() == 0) return;
  }
  try {
    journal_.empty();
  } catch (...) {
    // Merged batches left in the pending file are skipped when met again; nothing is lost,
    // but a file that keeps growing is worth hearing of.
    tell(std::current_exception());
  }
}

// A merge retried every second that keeps failing the same way is reported once.
void BatchMerger::tell(const std::exception_ptr& failure) {
  if (!report_) return;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    if (e.what() == reported_) return;
    reported_ = e.what();
    try {
      report_(e);
    } catch (...) {
      // A report that fails must not end the merger: the failure stays for flush() to raise.
    }
  } catch (...) {
  }
}

void BatchMerger::flush() {
  std::unique_lock lock(mutex_);
  std::int64_t target = accepted_;
  std::uint64_t failed = failures_;
  if (merged_ >= target) return;
  if (error_) retryNow_ = true;
  ++waiting_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return merged_ >= target || failures_ > failed; });
  --waiting_;
  if (merged_ < target) std::rethrow_exception(lastFailure_);
}

void BatchMerger::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace zeb::server
