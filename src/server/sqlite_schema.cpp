#include "server/sqlite_schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

constexpr const char* kCreateTables =
    "CREATE TABLE IF NOT EXISTS estatistica_email ("
    " CDFILIAL TEXT NOT NULL,"
    " NMORIGEM TEXT NOT NULL COLLATE NOCASE,"
    " NMDESTINO TEXT NOT NULL COLLATE NOCASE,"
    " ANETLEMAIL TEXT NOT NULL,"
    " MEETLEMAIL TEXT NOT NULL,"
    " DIETLEMAIL TEXT NOT NULL,"
    " BIETLEMAIL TEXT NOT NULL,"
    " SEETLEMAIL TEXT NOT NULL,"
    " TRETLEMAIL TEXT NOT NULL,"
    " VRVOLDADOS REAL NOT NULL,"
    " QTEMAIL REAL NOT NULL,"
    // The date leads the addresses so that a branch's day is one range of the key: replacing
    // a day and listing a period read only that range. compareKeys() follows this order.
    " PRIMARY KEY (CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO)"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS merge_state ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " merged_through INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO merge_state (id, merged_through) VALUES (1, 0);";

constexpr const char* kCreateVersion =
    "CREATE TABLE IF NOT EXISTS schema_version ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " version INTEGER NOT NULL);";

constexpr std::array<std::string_view, 3> kOurTables = {"estatistica_email", "merge_state",
                                                        "schema_version"};

// A table's columns as SQLite describes them: name, declared type, not null, place in the key.
using Columns = std::vector<std::string>;

class Reader {
 public:
  Reader(sqlite3* db, const std::string& path) : db_(db), path_(path) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw platform::Exception("Database '" + path_ + "': " + what + ": " + sqlite3_errmsg(db_));
  }
  [[noreturn]] void refuse(const std::string& why) const {
    throw platform::Exception("Database '" + path_ + "': " + why);
  }

  // The first column of every row of "sql", as texts.
  std::vector<std::string> texts(const std::string& sql, int columns = 1) const {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      fail("reading its schema");
    }
    std::vector<std::string> out;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::string line;
      for (int i = 0; i < columns; ++i) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        if (i > 0) line += ' ';
        line += t != nullptr ? t : "";
      }
      out.push_back(std::move(line));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) fail("reading its schema");
    return out;
  }

  Columns columns(std::string_view table) const {
    return texts("SELECT name, type, \"notnull\", pk FROM pragma_table_info('" +
                     std::string(table) + "') ORDER BY cid",
                 4);
  }

  void exec(const char* sql, const char* what) const {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(what);
  }

 private:
  sqlite3* db_;
  const std::string& path_;
};

// Our tables as this version makes them, described by SQLite itself.
const std::vector<std::pair<std::string_view, Columns>>& ourColumns() {
  static const auto tables = [] {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    std::string path = ":memory:";
    Reader reader(db, path);
    reader.exec(kCreateTables, "creating the tables");
    reader.exec(kCreateVersion, "creating the tables");
    std::vector<std::pair<std::string_view, Columns>> out;
    for (std::string_view table : kOurTables) out.emplace_back(table, reader.columns(table));
    sqlite3_close(db);
    return out;
  }();
  return tables;
}

std::string names(const Columns& columns) {
  std::string out;
  for (const std::string& c : columns) {
    if (!out.empty()) out += ", ";
    out += c.substr(0, c.find(' '));
  }
  return out;
}

// Refuses what is not ours or is too new; answers whether anything of ours is missing.
bool check(const Reader& reader) {
  std::vector<std::string> tables = reader.texts(
      "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
      "ESCAPE '\\' ORDER BY name");
  for (const std::string& table : tables) {
    if (std::find(kOurTables.begin(), kOurTables.end(), table) == kOurTables.end()) {
      reader.refuse("not a statistics database of zeb18000: it holds the table '" + table + "'");
    }
  }
  for (const auto& [table, expected] : ourColumns()) {
    if (std::find(tables.begin(), tables.end(), table) == tables.end()) continue;
    Columns found = reader.columns(table);
    if (found != expected) {
      reader.refuse("not a statistics database of zeb18000: its table " + std::string(table) +
                    " has other columns (" + names(found) + ") than ours");
    }
  }
  bool versioned =
      std::find(tables.begin(), tables.end(), "schema_version") != tables.end();
  std::optional<long> version;
  if (versioned) {
    std::vector<std::string> rows = reader.texts("SELECT version FROM schema_version");
    if (!rows.empty()) version = std::stol(rows.front());
  }
  if (version && *version > kSqliteSchemaVersion) {
    reader.refuse("its schema is version " + std::to_string(*version) +
                  ", newer than this program knows (" + std::to_string(kSqliteSchemaVersion) +
                  "); use the zeb18000 that wrote it, or a later one");
  }
  return tables.size() < kOurTables.size() || !version;
}

}  // namespace

void checkSqliteSchema(sqlite3* db, const std::string& path, bool write) {
  Reader reader(db, path);
  if (!check(reader) || !write) return;
  // A new database gets 16 KiB pages: a merge writes a quarter of the pages (and of the log's
  // frames) that 4 KiB pages take, which made a gigabyte import 0.1-0.4 s faster. Refused, and
  // harmless, once the database holds anything: its pages keep their size.
  sqlite3_exec(db, "PRAGMA page_size = 16384", nullptr, nullptr, nullptr);
  // Checked again under the write lock: another process may be making it at the same time.
  reader.exec("BEGIN IMMEDIATE", "starting a transaction");
  try {
    if (check(reader)) {
      reader.exec(kCreateTables, "creating the tables");
      reader.exec(kCreateVersion, "creating the tables");
      std::string version = "INSERT OR IGNORE INTO schema_version (id, version) VALUES (1, " +
                            std::to_string(kSqliteSchemaVersion) + ")";
      reader.exec(version.c_str(), "recording the schema version");
    }
    reader.exec("COMMIT", "creating the tables");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

const char* sqliteTableStatements() { return kCreateTables; }

}  // namespace zeb::server
