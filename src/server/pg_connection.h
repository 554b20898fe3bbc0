// One libpq connection to a PostgreSQL database, with the few ways the PostgreSQL backend talks
// to it. Every failure throws Exception "Database 'SHOWN': WHAT: POSTGRESQL'S REASON", where
// SHOWN is the connection URI without its password. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct pg_conn;
struct pg_result;

namespace zeb::server {

// A result of a statement; null pointers are not handed out.
using PgResult = std::unique_ptr<pg_result, void (*)(pg_result*)>;

// "uri" as it may be shown: without a password in its user part or in its parameters.
std::string shownUri(std::string_view uri);

class PgConnection {
 public:
  // Connects to "uri" (any libpq connection URI; the password from ~/.pgpass or PGPASSWORD).
  explicit PgConnection(const std::string& uri);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  const std::string& shown() const { return shown_; }

  // Runs "sql", one statement or several separated by semicolons, without parameters; answers
  // the result of each statement that returns rows. "what" names the step in the message.
  std::vector<PgResult> exec(const std::string& sql, const char* what);
  // Runs one statement with text parameters $1, $2, ...; answers its result.
  PgResult query(const std::string& sql, const std::vector<std::string>& params, const char* what);
  // Runs one statement with parameters $1, $2, ... given as bytes (a bytea's own bytes) and
  // answers its result in PostgreSQL's binary format: a bytea field holds its bytes, a bigint
  // field eight bytes, most significant first (pgInt64()).
  PgResult queryBinary(const std::string& sql, const std::vector<std::string_view>& params,
                       const char* what);
  // Runs "statements", each one statement with parameters $1, $2, ... given as bytes (see
  // queryBinary()), one after another in one round trip (libpq's pipeline mode); answers the
  // result of each statement that returns rows, in text format. The first failure ends the run:
  // the statements after it are not run. A statement marked "prepared" is parsed and planned
  // once per connection, on its first run, and then only run: its text must be the same at every
  // run, with everything that changes in its parameters.
  struct Statement {
    std::string sql;
    std::vector<std::string_view> params;
    bool prepared = false;
  };
  std::vector<PgResult> execPipeline(const std::vector<Statement>& statements, const char* what);
  // Runs "sql", statements of which one is COPY ... FROM STDIN, in one round trip: "data" gets
  // the results of the statements before the COPY that return rows and answers what the COPY
  // takes, in COPY's text format. An exception of "data" ends the COPY, and so the statements,
  // and is raised as it is; the statements after the COPY run only when everything before did.
  void execWithCopy(const std::string& sql,
                    const std::function<std::string(std::vector<PgResult>& before)>& data,
                    const char* what);
  // "text" as a quoted SQL literal.
  std::string literal(std::string_view text);
  // Ends the transaction in progress, if any, without its changes; never throws.
  void rollBack() noexcept;
  // Whether the connection is lost (the server went away): it is of no more use.
  bool broken() const;

  [[noreturn]] void fail(const std::string& what, const char* reason) const;

 private:
  [[noreturn]] void failConnection(const std::string& what) const;

  pg_conn* conn_ = nullptr;
  std::string shown_;
  std::unordered_map<std::string, std::string> prepared_;  // statement -> its name
  std::uint64_t namesGiven_ = 0;
};

// The text of a field of "result", as PostgreSQL gave it.
std::string_view pgField(const PgResult& result, int row, int column);
int pgRows(const PgResult& result);
// A bigint field of a result in the binary format.
std::int64_t pgInt64(const PgResult& result, int row, int column);

}  // namespace zeb::server
