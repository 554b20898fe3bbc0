// Merging accepted batches into the statistics table, in the order accepted, each whole.
//
// The merger works on a thread of its own while batches keep coming: it takes what has queued
// up (the batches of the days that the import has moved past, as a rule), works out their net
// effect (NetChanges) and writes it in one transaction, in key order, together with the
// number of the last batch merged. Many batches to a transaction write each page of the table
// once for all of them, and the net effect stores a row once however often the batches changed
// it.
//
// The batches come to it in their compact form (batch_record.h), as the calls accepted them,
// while their memory stays under a bound; past it, and after a restart, they are read back from
// the pending file instead. Either way a merge decodes them a bounded number at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/net_changes.h"
#include "server/pending_journal.h"
#include "server/table_connection.h"

namespace zeb::server {

// One accepted batch on its way to the table.
struct QueuedBatch {
  std::int64_t seq = 0;
  std::string days;          // the days it replaces: day keys one after another
  std::string lastDate;      // "YYYYMMDD": the latest day of its changes; empty when not known
  std::uint64_t offset = 0;  // of it in the pending file
  std::uint64_t length = 0;
  // Its compact form (AcceptedBatch::text); null: read it back from the file.
  std::unique_ptr<AcceptedBatch> held;
  std::chrono::steady_clock::time_point queuedAt{};
  bool compact = true;  // false: the file holds its delta text (a record of an earlier version)
};

// The buffers of merges, kept from one to the next: the batches decoded for one write, and
// their net effect.
struct MergeScratch {
  NetChanges net;
  std::vector<std::unique_ptr<AcceptedBatch>> decoded;
};

// Applies "batches" to the table in one transaction, whole and in order, skipping those that
// the table records as merged already (another process merged them), and records the last one
// as merged. Batches not held are read back from "journal"; a bounded number are decoded at a
// time. On failure the table is left as it was, and the Exception of the table or of the
// journal says why.
void mergeBatches(TableConnection& table, const PendingJournal& journal,
                  std::vector<QueuedBatch>& batches, MergeScratch& scratch);

class BatchMerger {
 public:
  // Hears of a failure on the merger's thread as it happens: a merge that failed (once, until
  // a merge succeeds or the failure changes) and a pending file that could not be emptied. It
  // runs on that thread and must not call the merger. The library prints nothing itself.
  using FailureReport = std::function<void(const std::exception& failure)>;

  // Starts the thread over "table", a write connection of its own. "merged" is the last batch
  // in the table; "queued" the batches accepted after it and left unmerged by an earlier
  // process, in order. "report" may be empty.
  BatchMerger(PendingJournal& journal, std::unique_ptr<TableConnection> table, std::int64_t merged,
              std::vector<QueuedBatch> queued, FailureReport report = {});
  // Stops the thread (see stop()).
  ~BatchMerger();
  BatchMerger(const BatchMerger&) = delete;
  BatchMerger& operator=(const BatchMerger&) = delete;

  // A batch to hold a compact form of "bytes" bytes in (AcceptedBatch::text); or null when the
  // batches held already take their share of memory and this one must be read back from the
  // pending file instead.
  std::unique_ptr<AcceptedBatch> spare(std::size_t bytes);
  // Queues the batch numbered "batch.seq". The caller holds the journal's mutex, so that the
  // batches queue in the order of their numbers.
  void push(QueuedBatch batch);
  // Waits until every batch queued so far is merged. Throws the merger's last failure itself
  // (the Exception of the table, the EInOutError of the pending file) when merging fails; a
  // failed merge is retried every second meanwhile (at once when a caller waits), the batches
  // staying in the pending file.
  void flush();
  // Merges what is queued, unless merging fails, and ends the thread. Safe to call twice.
  void stop();
  // Whether every batch queued is merged.
  bool allMerged();

  // The time spent merging (in transactions and working out net effects), and the batches
  // merged.
  std::uint64_t nanos() const { return nanos_.load(); }
  std::uint64_t batches() const { return batches_.load(); }

 private:
  void run();
  std::size_t nextRound(std::unique_lock<std::mutex>& lock);
  void release(std::vector<QueuedBatch>& round);
  void clean();
  void tell(const std::exception_ptr& failure);

  PendingJournal& journal_;
  std::unique_ptr<TableConnection> table_;
  MergeScratch scratch_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<QueuedBatch> queue_;
  std::vector<std::unique_ptr<AcceptedBatch>> spares_;
  std::size_t heldBytes_ = 0;   // of the batches held in the queue and in the round
  std::size_t roundBytes_ = 0;  // of those in the round
  std::int64_t accepted_ = 0;   // the last batch queued
  std::int64_t merged_ = 0;     // the last batch merged
  FailureReport report_;
  std::exception_ptr error_;        // why the last merge failed; null when it did not
  std::exception_ptr lastFailure_;  // kept through the retry, for the callers of flush()
  std::string reported_;            // the failure last reported, until a merge succeeds
  std::uint64_t failures_ = 0;      // merges that failed
  bool retryNow_ = false;           // a caller waits: retry a failed merge without the pause
  int waiting_ = 0;                 // callers of flush() waiting
  bool stopping_ = false;
  std::atomic<std::uint64_t> nanos_{0}, batches_{0};
};

}  // namespace zeb::server
