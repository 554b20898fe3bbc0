// The statistics that the server keeps: one SQLite table, estatistica_email, with the cdsDados
// columns and a unique key on branch, date, origin and destination (the addresses compared
// without regard to ASCII letter case). Texts are stored as TEXT, VRVOLDADOS and QTEMAIL as
// REAL (whole numbers are exact below 2^53).
//
// Thread-safe: every thread works on a connection of its own, taken from a pool, and every
// batch is one transaction, so several callers may store at once; the database is never held
// locked between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include "server/email_layout.h"
#include "server/email_params.h"

struct sqlite3;

namespace zeb::server {

// What one import session has asked to be replaced, and what it has replaced so far.
struct Replacement {
  // The first date whose stored statistics the session replaces, "YYYYMMDD"; empty when the
  // session has marked none, and then nothing is replaced.
  std::string from;
  // The (branch, day) pairs replaced so far, as made by dayKey().
  std::unordered_set<std::string> replaced;
};

// The key of one branch's day in Replacement::replaced. "date" is "YYYYMMDD".
std::string dayKey(std::string_view branch, std::string_view date);

struct ApplyCounts {
  std::uint64_t inserted = 0;  // the batch's changes of each kind, all applied
  std::uint64_t updated = 0;
  std::uint64_t deleted = 0;
  std::uint64_t replacedDays = 0;  // (branch, day) pairs whose stored rows the batch replaced
};

struct RowFilter {
  std::string branch;             // empty: every branch
  std::string from = "00000000";  // "YYYYMMDD", inclusive
  std::string to = "99999999";    // "YYYYMMDD", inclusive
};

class StatisticsStore {
 public:
  enum class Mode { kReadWrite, kReadOnly };

  // Opens the database at "path". kReadWrite creates the file and the table when missing and
  // puts the database into WAL mode; kReadOnly needs both to exist. Throws Exception naming the
  // path and the reason.
  StatisticsStore(std::string path, Mode mode);
  ~StatisticsStore();
  StatisticsStore(const StatisticsStore&) = delete;
  StatisticsStore& operator=(const StatisticsStore&) = delete;

  const std::string& path() const { return path_; }

  // Stores one batch in one transaction, whole or not at all. For every (branch, day) that a
  // change of the batch carries (in its "row" or its "old" row), dated on or after
  // "replacement.from" and not yet in "replacement.replaced", the stored rows of that branch's
  // day are deleted first. Then the changes are applied in order:
  //  - insert: the row is stored; a stored row with the same key is overwritten by it;
  //  - update: the stored row with the old row's key takes the new row's values (a row with
  //    the new key, when that differs, is overwritten); when the old row is no longer stored,
  //    the new row is stored as an insert would;
  //  - delete: the stored row with the old row's key is deleted, if there is one.
  // On success the replaced days are added to "replacement.replaced"; on failure nothing
  // changes, neither in the database nor in "replacement", and Exception says why.
  // The caller must not share "replacement" with a concurrent apply().
  ApplyCounts apply(const EmailBatch& batch, Replacement& replacement);

  // Calls "row" for every stored row that passes "filter", sorted by branch, date, origin and
  // destination (the addresses in case-insensitive order). The row's views are valid during
  // the call only.
  void forEach(const RowFilter& filter, const std::function<void(const EmailRow&)>& row) const;

  // The time spent copying the write-ahead log back into the database, on a thread of its own.
  std::uint64_t checkpointNanos() const;

 private:
  struct Connection;
  class Lease;
  std::unique_ptr<Connection> openConnection() const;

  std::string path_;
  Mode mode_;
  struct Pool;
  struct Checkpointer;
  static int walHook(void* store, ::sqlite3* db, const char* name, int pages);

  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Checkpointer> checkpointer_;
};

}  // namespace zeb::server
