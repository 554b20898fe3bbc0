// The PostgreSQL backend: the statistics, the import sessions and the owners of the days in one
// PostgreSQL database that any number of server processes share.
//
// A batch is applied when it is accepted, in one transaction that answers only once committed:
// there is no pending file, because a file of one process cannot order the batches of several.
// Transactions that apply batches take one lock of the database's (an advisory lock on the
// schema), so batches take effect one after another, in the order their transactions took it,
// whichever server took them. Inside it the batch reads its session's state (mark, ticket, days
// replaced) and the owners of its days, drops the changes of days a later import has taken,
// copies its net effect (net_changes.h) into a temporary staging table with COPY, and merges it
// with three set-based statements: the replaced days go, the deleted keys go, the rows are
// upserted. The session's state is written in the same transaction, so any server can take
// the next call of the session.
//
// The tables, in the connection's current schema (search_path):
//   estatistica_email    the cdsDados columns (texts with the "C" collation, numbers double
//                        precision) and a unique index on branch, year, month, day and the
//                        addresses lower-cased in ASCII: the key of SQLite's table, in its order
//   zeb_schema_version   one row: the version of these tables (kPostgresSchemaVersion)
//   zeb_import_session   per session: its marked date, its ticket, when it was last used
//   zeb_session_day      the days each session has replaced
//   zeb_day_owner        per (branch, day): the ticket of the import that owns it
//   zeb_import_ticket    the sequence the tickets come from
// A database whose estatistica_email was not made by us (no version table beside it, or other
// columns) is refused, as is a newer version; other tables of the database are left alone.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "server/statistics_backend.h"

namespace zeb::server {

class PgConnection;

inline constexpr int kPostgresSchemaVersion = 1;

class PostgresBackend final : public StatisticsBackend {
 public:
  // Connects to "options.database", checks the schema and, unless "options.readOnly", creates
  // what is missing. Throws Exception naming the database without its password.
  explicit PostgresBackend(const BackendOptions& options);
  ~PostgresBackend() override;

  void touchSession(std::string_view session) override;
  void startImport(std::string_view session, const std::string& from) override;
  ApplyCounts accept(std::string_view session, std::string_view text, EmailBatch& batch) override;
  void flush() override {}  // every batch is in the table once accepted
  void forEach(const RowFilter& filter,
               const std::function<void(const EmailRow&)>& row) const override;
  void forEachAfter(const RowFilter& filter, const std::vector<std::string>& after, int limit,
                    const std::function<void(const EmailRow&)>& row) const override;
  void forEachDay(const RowFilter& filter,
                  const std::function<void(std::string_view, std::int64_t, double, double)>& day)
      const override;

 private:
  class Lease;
  std::int64_t nowMicros() const;
  std::int64_t cutoffMicros() const;
  void setUpSchema(PgConnection& c);

  BackendOptions options_;
  mutable std::mutex poolMutex_;
  mutable std::vector<std::unique_ptr<PgConnection>> idle_;
};

}  // namespace zeb::server
