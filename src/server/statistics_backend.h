// The storage of the application server, as the remote object's methods use it: import
// sessions, batches and the reads of the statistics. Two backends implement it: SQLite, one
// server process per database file (sqlite_backend.h), and PostgreSQL, any number of server
// processes on one database (postgres_backend.h). What a client stores and reads does not
// depend on the backend.
//
// What every backend guarantees:
//  - A batch is taken whole or not at all, and once accept() has answered it is never lost,
//    whatever happens to the process afterwards.
//  - Batches take effect in the order they were accepted, across every session and, for a
//    backend that several servers share, across every server.
//  - The rules of import_rules.h: a session replaces, per branch, the days its batches carry
//    from its marked date on, each the first time one of its batches carries it; a day taken
//    by an import with a later ticket drops the changes of an earlier import on it.
//  - Changes act on keys (branch, year, month, day, origin, destination; the addresses compared
//    without regard to ASCII letter case): insert stores the row over whatever has its key;
//    update deletes the old row's key and stores the new row; delete deletes the old row's key.
//  - Reads see every batch accepted before they started, rows in key order (the addresses in
//    ASCII case-folded byte order), so that both backends list the same rows in the same order.
//  - A session quiet for longer than its timeout is forgotten, mark and all.
// The schema is versioned: a database written by a newer version, or one that is not ours
// (tables of our names with other columns, another application's file), is refused at open
// with a message that says so, and nothing is created or changed in it.
//
// Thread-safe: the server calls it from every worker thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/import_rules.h"

namespace zeb::server {

struct RowFilter {
  std::string branch;             // empty: every branch
  std::string from = "00000000";  // "YYYYMMDD", inclusive
  std::string to = "99999999";    // "YYYYMMDD", inclusive
};

// Where a backend spent its time besides the calls, for the benchmarks.
struct StoreMetrics {
  std::uint64_t checkpointNanos = 0;  // copying SQLite's write-ahead log back
  std::uint64_t mergeNanos = 0;       // merging accepted batches into the table
  std::uint64_t mergedBatches = 0;
};

class StatisticsBackend {
 public:
  virtual ~StatisticsBackend() = default;

  // Marks "session" as used now (GetEmail, GetEmailStats), made when unknown or expired.
  virtual void touchSession(std::string_view session) = 0;
  // SetDelEmail: starts an import in "session": its batches replace the days they carry from
  // "from" ("YYYYMMDD") on; what it replaced before is forgotten, and it gets a new ticket.
  virtual void startImport(std::string_view session, const std::string& from) = 0;
  // SetEmail: accepts "batch", decoded from the params "text", under "session" (see above).
  // The backend may take the batch's buffers over, leaving others in their place. Throws
  // Exception (EInOutError for a file) and accepts nothing on failure.
  virtual ApplyCounts accept(std::string_view session, std::string_view text,
                             EmailBatch& batch) = 0;
  // Waits until every batch accepted so far is in the table. Throws why it cannot be.
  virtual void flush() = 0;

  // Every stored row that passes "filter", in key order. The views live during the call only.
  virtual void forEach(const RowFilter& filter,
                       const std::function<void(const EmailRow&)>& row) const = 0;
  // A page of forEach(): at most "limit" rows after the key "after" (six texts: branch, year,
  // month, day, origin, destination as the last row of the previous page has them; empty: from
  // the first row).
  virtual void forEachAfter(const RowFilter& filter, const std::vector<std::string>& after,
                            int limit, const std::function<void(const EmailRow&)>& row) const = 0;
  // The rows that pass "filter" summed per day, in date order: "YYYYMMDD", rows, messages
  // (QTEMAIL) and bytes (VRVOLDADOS).
  virtual void forEachDay(const RowFilter& filter,
                          const std::function<void(std::string_view date, std::int64_t rows,
                                                   double messages, double bytes)>& day) const = 0;

  virtual StoreMetrics metrics() const { return {}; }
};

struct BackendOptions {
  // A SQLite database file, or a PostgreSQL connection URI (postgresql://... or postgres://...).
  std::string database;
  bool readOnly = false;  // for listings: creates nothing; accept() and startImport() throw
  std::chrono::steady_clock::duration sessionTimeout = std::chrono::hours(1);
  // The clock that sessions expire by; empty means std::chrono::steady_clock::now.
  std::function<std::chrono::steady_clock::time_point()> clock;
  // Hears of failures in the background (a merge retried), on a thread of the backend's.
  std::function<void(const std::exception& failure)> reportFailure;
};

// Whether "database" names a PostgreSQL database rather than a file.
bool isPostgresUri(std::string_view database);

// "database" as messages show it: a URI without its password; a path as it is.
std::string shownDatabase(std::string_view database);

// Opens the backend that "options.database" names. Throws Exception naming the database (never
// with a password in it) when it cannot be opened or is refused.
std::unique_ptr<StatisticsBackend> openStatisticsBackend(const BackendOptions& options);

}  // namespace zeb::server
