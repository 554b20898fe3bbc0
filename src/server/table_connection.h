// One SQLite connection to the statistics database, with its prepared statements. The database
// holds two tables:
//  - estatistica_email: the cdsDados columns, keyed on branch, year, month, day, origin and
//    destination (the addresses compared without regard to ASCII letter case; compareKeys() in
//    net_changes.h is the same order). Texts are TEXT, VRVOLDADOS and QTEMAIL REAL (whole
//    numbers are exact below 2^53). WITHOUT ROWID: the key is the table.
//  - merge_state: the number of the last accepted batch that is in estatistica_email.
// The schema is the one the server has always written, so any database it wrote opens as it is.
//
// Every failure throws Exception "Database 'PATH': WHAT: SQLITE'S REASON", WHAT naming the step
// (e.g. "cannot open it", "storing a row"). Used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/email_layout.h"
#include "server/net_changes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zeb::server {

class TableConnection {
 public:
  enum class Access { kRead, kWrite };
  // Called by SQLite after each commit of a write connection, with the pages in the write-ahead
  // log, as sqlite3_wal_hook() says.
  using WalHook = int (*)(void* argument, sqlite3* db, const char* name, int pages);

  // Opens the database at "path". kWrite creates the file when "create" allows (else it must
  // exist), puts it into WAL mode and creates the tables when missing; kRead needs the table
  // estatistica_email ("reading the table estatistica_email: no such table: ...").
  TableConnection(std::string path, Access access, bool create, WalHook hook = nullptr,
                  void* hookArgument = nullptr);
  ~TableConnection();
  TableConnection(const TableConnection&) = delete;
  TableConnection& operator=(const TableConnection&) = delete;

  sqlite3* handle() const { return db_; }

  // --- Writing (kWrite connections only) ---
  // BEGIN IMMEDIATE: the transaction holds the write lock from its start.
  void begin();
  // "what" names the step in the message.
  void commit(const char* what);
  // Rolls back the transaction in progress, if any; never throws.
  void rollBack();
  std::int64_t mergedThrough();
  void setMergedThrough(std::int64_t seq);
  // Writes the settled net effect "net" inside the caller's transaction: the replaced days lose
  // the stored rows that the run does not store again as they are ("replacing a day"), then
  // the keys deleted go ("deleting a row"), then the rows are stored ("storing a row"), all of
  // them with one statement.
  void write(NetChanges& net);

  // Takes the database out of WAL mode: SQLite copies the log into the database file and
  // removes the -wal and -shm files. False, and nothing changed, when another connection (of
  // any process) has the database open.
  bool leaveWalMode();

  // --- Reading ---
  // The number of the last accepted batch in the table; empty when the database cannot tell
  // (written before batches were numbered).
  std::optional<std::int64_t> readMergedThrough();
  // Calls "row" for every stored row of "branch" (empty: every branch) dated from "from" to
  // "to" ("YYYYMMDD", inclusive), in key order. The row's views are valid during the call only.
  void forEach(std::string_view branch, std::string_view from, std::string_view to,
               const std::function<void(const EmailRow&)>& row);
  // The same rows, at most "limit" of them, starting after the key "after" (branch, year,
  // month, day, origin, destination, as stored; empty: from the first).
  void forEachAfter(std::string_view branch, std::string_view from, std::string_view to,
                    const std::vector<std::string>& after, int limit,
                    const std::function<void(const EmailRow&)>& row);
  // The sums of those rows per day, in date order: "day" gets the date "YYYYMMDD", the rows,
  // the messages (QTEMAIL) and the bytes (VRVOLDADOS) of that day, over every branch asked.
  void forEachDay(std::string_view branch, std::string_view from, std::string_view to,
                  const std::function<void(std::string_view date, std::int64_t rows,
                                           double messages, double bytes)>& day);

 private:
  void close();
  [[noreturn]] void fail(const std::string& what) const;
  void exec(const char* sql, const char* what);
  sqlite3_stmt* prepare(const std::string& sql, const char* what);
  void run(sqlite3_stmt* stmt, const char* what);
  void stepRows(sqlite3_stmt* stmt, const char* what,
                const std::function<void(sqlite3_stmt*)>& row);
  void readRows(sqlite3_stmt* stmt, const char* what,
                const std::function<void(const EmailRow&)>& row);
  void prepareWrites();
  void replaceDay(NetChanges& net, std::string_view branch, std::string_view date);

  std::string path_;
  sqlite3* db_ = nullptr;
  // The rows of the write in progress, which SQLite reads as the table "zeb_merge_rows".
  const std::vector<const EmailRow*>* sourceRows_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* rollback_ = nullptr;
  sqlite3_stmt* storeRows_ = nullptr;
  sqlite3_stmt* deleteRow_ = nullptr;
  sqlite3_stmt* deleteDay_ = nullptr;
  sqlite3_stmt* selectDay_ = nullptr;
  sqlite3_stmt* readMerged_ = nullptr;
  sqlite3_stmt* writeMerged_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  // Prepared at first use, as few connections page: [with a branch][after a key].
  sqlite3_stmt* selectPage_[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};
  sqlite3_stmt* selectDays_[2] = {nullptr, nullptr};  // [with a branch]
};

}  // namespace zeb::server
