// The PostgreSQL backend: the statistics, the import sessions and the owners of the days in one
// PostgreSQL database that any number of server processes share.
//
// A batch is taken in two steps, as with SQLite, so that a call never waits for the keyed table:
//  1. accept() stores the batch as the rules left it, in its compact form, with the days it
//     replaces, as one row of the pending table, numbered, in one transaction that answers only
//     once committed: from then on the batch is in the database for good. The transaction
//     takes one lock of the database's (an advisory lock on the schema), so that batches are
//     numbered, and their rules decided, one after another in the order their transactions took
//     it, whichever server took them. Under it the batch reads its session's state (mark,
//     ticket, days replaced) and the owners of its days, drops the changes of days a later
//     import has taken, and writes the session's state back: any server can take the next call
//     of the session. A server remembers the state of the sessions it served last, with the
//     version of the session's row (its xmin, which every write of the row changes): while the
//     row is still at that version and no day of the batch belongs to a later import, the
//     batch and the state it leaves are written in one round trip, whose statement checks
//     both under the lock and writes nothing when either fails; the batch is then taken the
//     way that reads the state (a session served by turns by two servers, a day lost).
//  2. A merger thread of each server merges the pending batches into the table in the order of
//     their numbers, many at a time, as a rule those of the days that the import has moved past,
//     so that a merge holds every batch of its days: it works out their net effect
//     (net_changes.h) and writes it in one transaction that also deletes the batches from the
//     pending table. The replaced days and the deleted keys go through a temporary staging
//     table (COPY, then set-based deletes); the rows of days the merge replaced are copied
//     straight into the table, in key order, and the others upserted from the staging table. Merges
//     take a second lock, so a batch is merged by one server only, once, and never before those
//     numbered before it; whatever one server accepted, any server may merge.
// Reads merge whatever is pending first, so they see every batch accepted before they started,
// by any server. A batch accepted and not merged when its server ended is merged by the next
// server that starts on the database, or by the next read.
//
// The tables, in the connection's current schema (search_path):
//   estatistica_email    the cdsDados columns (texts with the "C" collation, numbers double
//                        precision) and a unique index on branch, year, month, day and the
//                        addresses lower-cased in ASCII, written as one text (keyOf() in
//                        postgres_tables.h): the key of SQLite's table, in its order
//   zeb_schema_version   one row: the version of these tables (kPostgresSchemaVersion)
//   zeb_import_session   per session: its marked date, its ticket, when it was last used
//   zeb_session_day      the days each session has replaced
//   zeb_day_owner        per (branch, day): the ticket of the import that owns it
//   zeb_import_ticket    the sequence the tickets come from
//   zeb_pending_batch    the batches accepted and not yet merged: number, the days each
//                        replaces, its latest day, the batch: 'L' and its compact form
//                        (batch_record.h) compressed with LZ4 (pendingForm() in
//                        postgres_tables.h); one accepted by a server of version 3 holds 'C'
//                        and the compact form as it is, one of version 2 the delta text as it
//                        came
//   zeb_batch_number     the sequence the batches' numbers come from
// A database whose estatistica_email was not made by us (no version table beside it, or other
// columns) is refused, as is a newer version; other tables of the database are left alone.
//
// Its parts: postgres_tables.h (the tables and their check), postgres_accept.cpp (the sessions
// and step 1), postgres_merger.h (step 2), postgres_lease.h (the connections of the calls);
// postgres_backend.cpp opens the database and reads the statistics.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/statistics_backend.h"

namespace zeb::server {

class NetChanges;
class PgConnection;

// 2: the pending table. 3: batches pending in their compact form, the key one text. 4: the
// pending compact form compressed by the server. A database of an earlier version is brought to
// this one when opened for writing; what it has pending is merged alike.
inline constexpr int kPostgresSchemaVersion = 4;

class PostgresBackend final : public StatisticsBackend {
 public:
  // Connects to "options.database", checks the schema and, unless "options.readOnly", creates
  // what is missing. Throws Exception naming the database without its password.
  explicit PostgresBackend(const BackendOptions& options);
  ~PostgresBackend() override;

  void touchSession(std::string_view session) override;
  void startImport(std::string_view session, const std::string& from) override;
  ApplyCounts accept(std::string_view session, std::string_view text, EmailBatch& batch) override;
  // Merges every batch pending in the database, by this server or another, in this thread.
  void flush() override;
  void forEach(const RowFilter& filter,
               const std::function<void(const EmailRow&)>& row) const override;
  void forEachAfter(const RowFilter& filter, const std::vector<std::string>& after, int limit,
                    const std::function<void(const EmailRow&)>& row) const override;
  void forEachDay(const RowFilter& filter,
                  const std::function<void(std::string_view, std::int64_t, double, double)>& day)
      const override;
  StoreMetrics metrics() const override;

 private:
  class Lease;
  class Merger;
  // A session's state as this server last wrote or read it, with the version of its row
  // (PostgreSQL's xmin) that it is true of.
  struct KnownSession {
    std::string version;
    Replacement replacement;
    std::int64_t lastUsed = 0;
  };
  // The state remembered for "session", unless none is or the session has expired by "cutoff".
  std::optional<KnownSession> known(std::string_view session, std::int64_t cutoff) const;
  void remember(std::string_view session, KnownSession state);
  void forget(std::string_view session);
  // Accepts the batch in one round trip when the session's row is still at the version of
  // "state" and the batch loses no day to a later import; else stores nothing and answers none.
  std::optional<ApplyCounts> acceptKnown(PgConnection& c, std::string_view session,
                                         std::string_view pending, const EmailBatch& batch,
                                         std::string_view carried, KnownSession state,
                                         std::int64_t now);
  // Accepts the batch after reading the session's state and the owners of its days.
  ApplyCounts acceptRead(PgConnection& c, std::string_view session, std::string_view pending,
                         EmailBatch& batch, std::string carried, std::int64_t now,
                         std::int64_t cutoff);
  // Merges whatever is pending, when anything is, so that a read sees it.
  void catchUp() const;
  // Merges the oldest pending batches, those of whole days only if "wholeDays", and counts them
  // in metrics(); answers whether more may be pending, and whether batches of days not yet
  // whole were left.
  bool mergeCounted(PgConnection& c, NetChanges& net, bool wholeDays, bool& leftDays) const;
  std::int64_t nowMicros() const;
  std::int64_t cutoffMicros() const;

  BackendOptions options_;
  mutable std::mutex poolMutex_;
  mutable std::vector<std::unique_ptr<PgConnection>> idle_;
  mutable std::mutex sessionsMutex_;
  std::unordered_map<std::string, KnownSession> sessions_;
  bool pendingTable_ = true;  // false for a database of version 1 opened for reading
  mutable std::atomic<std::uint64_t> mergeNanos_{0}, mergedBatches_{0};
  std::unique_ptr<Merger> merger_;  // null when opened for reading
};

}  // namespace zeb::server
