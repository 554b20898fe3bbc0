// The statistics that the server keeps: the table estatistica_email (table_connection.h says
// its layout) in a SQLite database in WAL mode.
//
// Batches are taken in two steps, so that a caller never waits for the keyed table:
//  1. accept() writes the batch as the rules leave it (in its compact form, with the days it
//     replaces) to the pending file "<path>-pending" (pending_journal.h), numbered in the order
//     of acceptance.
//     From then on the batch survives a crash of the process.
//  2. A merger thread (batch_merger.h) applies the accepted batches to the table in that order
//     while more keep coming, a few dozen batches to a transaction (each batch whole), and
//     records in the same transaction the number of the last batch merged. Whatever was
//     accepted and not merged when the process ended is merged when the database is next
//     opened, by whichever process opens it.
// Readers see every accepted batch: forEach() waits for the merger first.
//
// Thread-safe: calls may come from several threads; the database is never held locked between
// calls. One server process per database: two would number their batches independently.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/import_rules.h"
#include "server/statistics_backend.h"
#include "server/net_changes.h"

struct sqlite3;

namespace zeb::server {

class BatchMerger;
class PendingJournal;
class TableConnection;

class StatisticsStore {
 public:
  enum class Mode { kReadWrite, kReadOnly };

  // Hears of the merger's failures as they happen, on its thread (BatchMerger::FailureReport).
  using FailureReport = std::function<void(const std::exception& failure)>;

  // Opens the database at "path". kReadWrite creates the file and the table when missing, puts
  // the database into WAL mode and starts the merger, which first merges what an earlier
  // process accepted and left unmerged. kReadOnly needs both to exist, and merges such batches
  // itself before it answers (which needs the right to write the database; Exception else).
  // Throws Exception naming the path and the reason (EInOutError for the pending file).
  // "pendingBytesMax" bounds the pending file: a batch that finds it larger waits until
  // everything in it is merged, and the file is emptied first. "report" (kReadWrite) hears of
  // the merger's failures while it retries; the store prints nothing itself.
  static constexpr std::uint64_t kPendingBytesMax = std::uint64_t{256} << 20;
  StatisticsStore(std::string path, Mode mode, std::uint64_t pendingBytesMax = kPendingBytesMax,
                  FailureReport report = {});
  ~StatisticsStore();
  StatisticsStore(const StatisticsStore&) = delete;
  StatisticsStore& operator=(const StatisticsStore&) = delete;

  const std::string& path() const { return path_; }

  // The place of a new import among those of this store, for Replacement::ticket. Imports of
  // one branch that overlap in time end as if they had run one after another in the order of
  // their tickets: a day goes to the import with the latest ticket that carries it, which
  // replaces it as usual, and an earlier import's changes on that day are dropped, whether
  // they come before the later import takes it (then replaced) or after (then left out).
  std::uint64_t nextTicket();

  // Accepts one decoded batch, whole or not at all, with the rules of apply(), and answers once
  // it is in the pending file; the batch is merged into the table in the background, after
  // every batch accepted before it. The days it replaces are decided now, against
  // "replacement", and added to it when the batch is accepted. "batch" may be changed (the
  // changes of days lost to a later import dropped); the store keeps nothing of it. Throws
  // EInOutError when the pending file cannot be written, and the merger's failure when a full
  // pending file waits for a merge that fails; nothing is accepted then.
  ApplyCounts accept(EmailBatch& batch, Replacement& replacement);

  // Waits until every batch accepted so far is merged. Throws the merger's failure, as it was
  // raised (Exception of the table, EInOutError of the pending file), when merging fails (it
  // retries every second meanwhile; the batches stay in the pending file).
  void flush() const;

  // Stores one batch at once, in one transaction, after every batch accepted before it. For
  // every (branch, day) that a change of the batch carries (in its "row" or its "old" row), dated
  // on or after "replacement.from" and not yet in "replacement.replaced", the stored rows of that
  // branch's day are deleted first. Then the changes are applied in order:
  //  - insert: the row is stored; a stored row with the same key is overwritten by it;
  //  - update: the stored row with the old row's key takes the new row's values (a row with
  //    the new key, when that differs, is overwritten); when the old row is no longer stored,
  //    the new row is stored as an insert would;
  //  - delete: the stored row with the old row's key is deleted, if there is one.
  // A change on a day that an import with a later ticket has taken is dropped (nextTicket()).
  // On success the replaced days are added to "replacement.replaced"; on failure nothing
  // changes, neither in the database nor in "replacement", and Exception says why.
  // The caller must not share "replacement" with a concurrent apply().
  ApplyCounts apply(const EmailBatch& batch, Replacement& replacement);

  // Calls "row" for every stored row that passes "filter", sorted by branch, date, origin and
  // destination (the addresses in case-insensitive order), once every accepted batch is
  // merged. The row's views are valid during the call only.
  void forEach(const RowFilter& filter, const std::function<void(const EmailRow&)>& row) const;

  // A page of forEach(): at most "limit" rows after the key "after" (six texts, as the last
  // row of the previous page has them; empty: from the first row), in the same order.
  void forEachAfter(const RowFilter& filter, const std::vector<std::string>& after, int limit,
                    const std::function<void(const EmailRow&)>& row) const;
  // The rows that pass "filter" summed per day, in date order, once every accepted batch is
  // merged: the date "YYYYMMDD", the rows, the messages (QTEMAIL) and the bytes (VRVOLDADOS).
  void forEachDay(const RowFilter& filter,
                  const std::function<void(std::string_view date, std::int64_t rows,
                                           double messages, double bytes)>& day) const;

  // The time spent copying the write-ahead log back into the database, on a thread of its own.
  std::uint64_t checkpointNanos() const;
  // The time the merger spent merging, and the batches it merged.
  std::uint64_t mergeNanos() const;
  std::uint64_t mergedBatches() const;

 private:
  class Lease;
  struct Pool;
  struct Checkpointer;
  std::unique_ptr<TableConnection> openConnection(bool write) const;
  void catchUp();
  void leaveWholeFile();
  static int walHook(void* store, ::sqlite3* db, const char* name, int pages);

  std::string path_;
  Mode mode_;
  std::uint64_t pendingBytesMax_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Checkpointer> checkpointer_;
  std::unique_ptr<PendingJournal> journal_;
  std::int64_t nextSeq_ = 1;  // the number of the next batch accepted; under journal_->mutex()
  std::string record_;        // a buffer for the compact form of a batch; under journal_->mutex()
  // Which import last took each (branch, day): its ticket, by dayKey(). Taken in the order the
  // batches are numbered (under journal_->mutex() when accepting, then owners_).
  struct Owners;
  std::unique_ptr<Owners> owners_;
  std::unique_ptr<BatchMerger> merger_;
};

}  // namespace zeb::server
