#include "server/table_connection.h"

#include <sqlite3.h>

#include <new>

#include "platform/core/exceptions.h"
#include "server/sqlite_schema.h"

namespace zeb::server {

namespace {

constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kColumnList =
    "CDFILIAL, NMORIGEM, NMDESTINO, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, BIETLEMAIL, SEETLEMAIL, "
    "TRETLEMAIL, VRVOLDADOS, QTEMAIL";

constexpr const char* kRowSourceName = "zeb_merge_rows";

const std::string kStoreRows = std::string("INSERT OR REPLACE INTO estatistica_email (") +
                               kColumnList + ") SELECT " + kColumnList + " FROM " + kRowSourceName;

constexpr const char* kDeleteRow =
    "DELETE FROM estatistica_email WHERE CDFILIAL = ?1 AND ANETLEMAIL = ?2 AND MEETLEMAIL = ?3"
    " AND DIETLEMAIL = ?4 AND NMORIGEM = ?5 AND NMDESTINO = ?6";

const std::string kSelectDay = std::string("SELECT ") + kColumnList +
                               " FROM estatistica_email WHERE CDFILIAL = ?1 AND ANETLEMAIL = ?2"
                               " AND MEETLEMAIL = ?3 AND DIETLEMAIL = ?4";

constexpr const char* kDeleteDay =
    "DELETE FROM estatistica_email WHERE CDFILIAL = ?1 AND ANETLEMAIL = ?2 AND MEETLEMAIL = ?3"
    " AND DIETLEMAIL = ?4";

constexpr const char* kReadMerged = "SELECT merged_through FROM merge_state WHERE id = 1";

const std::string kSelect =
    std::string("SELECT ") + kColumnList +
    " FROM estatistica_email WHERE (?1 = '' OR CDFILIAL = ?1)"
    " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) >= (?2, ?3, ?4)"
    " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) <= (?5, ?6, ?7)"
    " ORDER BY CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO";

// A page of rows, in four forms so that each seeks the table's key rather than scan it: with or
// without a branch (?1), and from the range's first day (?2 to ?4) or after the key of the last
// row read (?8 to ?13). The row value compares each column by its own collation, so the
// addresses continue in the table's case-blind order.
std::string selectPage(bool branch, bool after) {
  std::string where = branch ? "CDFILIAL = ?1 AND " : "";
  if (!after) {
    where += "(ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) >= (?2, ?3, ?4)";
  } else if (branch) {
    where += "(ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO) > (?9, ?10, ?11, ?12, ?13)";
  } else {
    where +=
        "(CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO) >"
        " (?8, ?9, ?10, ?11, ?12, ?13) AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) >= (?2, ?3, ?4)";
  }
  return std::string("SELECT ") + kColumnList + " FROM estatistica_email WHERE " + where +
         " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) <= (?5, ?6, ?7)"
         " ORDER BY CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO LIMIT ?14";
}

// The sums per day, with a branch (a range of the key) or over every branch (a scan).
std::string selectDays(bool branch) {
  return std::string(
             "SELECT ANETLEMAIL || MEETLEMAIL || DIETLEMAIL, COUNT(*), TOTAL(QTEMAIL),"
             " TOTAL(VRVOLDADOS) FROM estatistica_email WHERE ") +
         (branch ? "CDFILIAL = ?1 AND " : "") +
         "(ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) >= (?2, ?3, ?4)"
         " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) <= (?5, ?6, ?7)"
         " GROUP BY ANETLEMAIL, MEETLEMAIL, DIETLEMAIL ORDER BY ANETLEMAIL, MEETLEMAIL, DIETLEMAIL";
}

// Named apart from std::bind, which argument-dependent lookup would find for a std::string.
void bindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  // A null pointer would bind NULL; an empty text must stay an empty text.
  sqlite3_bind_text(stmt, index, text.data() != nullptr ? text.data() : "",
                    static_cast<int>(text.size()), SQLITE_STATIC);
}

// Binds "date" ("YYYYMMDD") as year, month and day from parameter "first" on.
void bindDate(sqlite3_stmt* stmt, int first, std::string_view date) {
  bindText(stmt, first, date.substr(0, 4));
  bindText(stmt, first + 1, date.substr(4, 2));
  bindText(stmt, first + 2, date.substr(6, 2));
}

// Reads a stored row from the current row of "stmt" into "row", whose views live until the
// statement moves on.
void readRow(sqlite3_stmt* stmt, EmailRow& row) {
  for (std::size_t i = 0; i < kTextColumnCount; ++i) {
    const auto* text =
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, static_cast<int>(i)));
    row.texts[i] =
        std::string_view(text != nullptr ? text : "",
                         static_cast<std::size_t>(sqlite3_column_bytes(stmt, static_cast<int>(i))));
  }
  row.volume = sqlite3_column_double(stmt, kVRVOLDADOS);
  row.count = sqlite3_column_double(stmt, kQTEMAIL);
}

// --- The row source ---------------------------------------------------------------------------
// The rows of a write reach the table through one INSERT ... SELECT from this eponymous virtual
// table rather than one INSERT a row: a single statement keeps its cursor on the table from
// row to row, so rows that come in key order after the last stored key are appended without a
// descent from the root, and the statement is set up once instead of once a row.

struct SourceTable {
  sqlite3_vtab base;
  const std::vector<const EmailRow*>* const* rows;
};

struct SourceCursor {
  sqlite3_vtab_cursor base;
  const std::vector<const EmailRow*>* rows;
  std::size_t at;
};

int sourceConnect(sqlite3* db, void* rows, int, const char* const*, sqlite3_vtab** out, char**) {
  std::string declaration = std::string("CREATE TABLE x(") + kColumnList + ")";
  int rc = sqlite3_declare_vtab(db, declaration.c_str());
  if (rc != SQLITE_OK) return rc;
  // Neither triggers nor views may read it: only our own statement does.
  sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
  auto* table = new (std::nothrow) SourceTable{};
  if (table == nullptr) return SQLITE_NOMEM;
  table->rows = static_cast<const std::vector<const EmailRow*>* const*>(rows);
  *out = &table->base;
  return SQLITE_OK;
}

int sourceDisconnect(sqlite3_vtab* table) {
  delete reinterpret_cast<SourceTable*>(table);
  return SQLITE_OK;
}

int sourceBestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
  info->estimatedCost = 1e6;
  return SQLITE_OK;
}

int sourceOpen(sqlite3_vtab* table, sqlite3_vtab_cursor** out) {
  auto* cursor = new (std::nothrow) SourceCursor{};
  if (cursor == nullptr) return SQLITE_NOMEM;
  cursor->rows = *reinterpret_cast<SourceTable*>(table)->rows;
  *out = &cursor->base;
  return SQLITE_OK;
}

int sourceClose(sqlite3_vtab_cursor* cursor) {
  delete reinterpret_cast<SourceCursor*>(cursor);
  return SQLITE_OK;
}

int sourceFilter(sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**) {
  reinterpret_cast<SourceCursor*>(cursor)->at = 0;
  return SQLITE_OK;
}

int sourceNext(sqlite3_vtab_cursor* cursor) {
  auto* c = reinterpret_cast<SourceCursor*>(cursor);
  ++c->at;
  // The rows lie all over the batches they came in: ask for a row's memory a few rows before
  // SQLite reads it, and for its texts once the row itself has come.
  const std::vector<const EmailRow*>& rows = *c->rows;
  if (c->at + 8 < rows.size()) {
    const auto* ahead = reinterpret_cast<const char*>(rows[c->at + 8]);
    for (std::size_t line = 0; line < sizeof(EmailRow); line += 64)
      __builtin_prefetch(ahead + line);
  }
  if (c->at + 4 < rows.size()) __builtin_prefetch(rows[c->at + 4]->texts[kCDFILIAL].data());
  return SQLITE_OK;
}

int sourceEof(sqlite3_vtab_cursor* cursor) {
  auto* c = reinterpret_cast<SourceCursor*>(cursor);
  return c->rows == nullptr || c->at >= c->rows->size();
}

int sourceColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* context, int column) {
  auto* c = reinterpret_cast<SourceCursor*>(cursor);
  const EmailRow& row = *(*c->rows)[c->at];
  if (column == kVRVOLDADOS) {
    sqlite3_result_double(context, row.volume);
  } else if (column == kQTEMAIL) {
    sqlite3_result_double(context, row.count);
  } else {
    std::string_view text = row.texts[static_cast<std::size_t>(column)];
    sqlite3_result_text(context, text.data() != nullptr ? text.data() : "",
                        static_cast<int>(text.size()), SQLITE_STATIC);
  }
  return SQLITE_OK;
}

int sourceRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  *rowid = static_cast<sqlite3_int64>(reinterpret_cast<SourceCursor*>(cursor)->at);
  return SQLITE_OK;
}

const sqlite3_module& rowSourceModule() {
  static const sqlite3_module module = [] {
    sqlite3_module m{};
    // No xCreate: the table exists in every connection that registers the module, by its name.
    m.xConnect = sourceConnect;
    m.xBestIndex = sourceBestIndex;
    m.xDisconnect = sourceDisconnect;
    m.xOpen = sourceOpen;
    m.xClose = sourceClose;
    m.xFilter = sourceFilter;
    m.xNext = sourceNext;
    m.xEof = sourceEof;
    m.xColumn = sourceColumn;
    m.xRowid = sourceRowid;
    return m;
  }();
  return module;
}

}  // namespace

TableConnection::TableConnection(std::string path, Access access, bool create, WalHook hook,
                                 void* hookArgument)
    : path_(std::move(path)) {
  bool write = access == Access::kWrite;
  int flags = SQLITE_OPEN_NOMUTEX | (!write   ? SQLITE_OPEN_READONLY
                                     : create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                              : SQLITE_OPEN_READWRITE);
  // The destructor does not run for a constructor that throws: close on the way out.
  try {
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) fail("cannot open it");
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // Before anything is written: a database that is not ours is left as it is.
    checkSqliteSchema(db_, path_, write);
    if (write) {
      exec("PRAGMA journal_mode = WAL", "switching to WAL mode");
      // In WAL mode a commit survives a crash of the process; only a power loss may take the
      // last ones back, never leaving a batch in part.
      exec("PRAGMA synchronous = NORMAL", "setting the sync mode");
      exec("PRAGMA cache_size = -16384", "setting the cache size");
      exec("PRAGMA mmap_size = 1073741824", "mapping the database");
      if (hook != nullptr) sqlite3_wal_hook(db_, hook, hookArgument);
      prepareWrites();
    }
    select_ = prepare(kSelect, "reading the table estatistica_email");
  } catch (...) {
    close();
    throw;
  }
}

TableConnection::~TableConnection() { close(); }

void TableConnection::close() {
  for (sqlite3_stmt*& s :
       {std::ref(begin_), std::ref(commit_), std::ref(rollback_), std::ref(storeRows_),
        std::ref(deleteRow_), std::ref(deleteDay_), std::ref(selectDay_), std::ref(readMerged_),
        std::ref(writeMerged_), std::ref(select_), std::ref(selectPage_[0][0]),
        std::ref(selectPage_[0][1]), std::ref(selectPage_[1][0]), std::ref(selectPage_[1][1]),
        std::ref(selectDays_[0]), std::ref(selectDays_[1])}) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void TableConnection::fail(const std::string& what) const {
  throw platform::Exception("Database '" + path_ + "': " + what + ": " + sqlite3_errmsg(db_));
}

void TableConnection::exec(const char* sql, const char* what) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(what);
}

sqlite3_stmt* TableConnection::prepare(const std::string& sql, const char* what) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size() + 1),
                         SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    fail(what);
  }
  return stmt;
}

void TableConnection::run(sqlite3_stmt* stmt, const char* what) {
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    sqlite3_reset(stmt);
    fail(what);
  }
  sqlite3_reset(stmt);
}

void TableConnection::prepareWrites() {
  if (sqlite3_create_module_v2(db_, kRowSourceName, &rowSourceModule(), &sourceRows_, nullptr) !=
      SQLITE_OK) {
    fail("registering the row source");
  }
  begin_ = prepare("BEGIN IMMEDIATE", "preparing a statement");
  commit_ = prepare("COMMIT", "preparing a statement");
  rollback_ = prepare("ROLLBACK", "preparing a statement");
  storeRows_ = prepare(kStoreRows, "preparing a statement");
  deleteRow_ = prepare(kDeleteRow, "preparing a statement");
  deleteDay_ = prepare(kDeleteDay, "preparing a statement");
  selectDay_ = prepare(kSelectDay, "preparing a statement");
  readMerged_ = prepare(kReadMerged, "preparing a statement");
  writeMerged_ =
      prepare("UPDATE merge_state SET merged_through = ?1 WHERE id = 1", "preparing a statement");
}

void TableConnection::begin() { run(begin_, "starting a transaction"); }

void TableConnection::commit(const char* what) { run(commit_, what); }

void TableConnection::rollBack() {
  if (sqlite3_get_autocommit(db_) != 0) return;
  sqlite3_step(rollback_);
  sqlite3_reset(rollback_);
}

bool TableConnection::leaveWalMode() {
  // The pragma answers the mode it leaves the database in, which is still "wal" when the
  // change was refused.
  sqlite3_stmt* stmt = nullptr;
  bool left = false;
  if (sqlite3_prepare_v2(db_, "PRAGMA journal_mode = DELETE", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    left = mode != nullptr && std::string_view(mode) == "delete";
  }
  sqlite3_finalize(stmt);
  return left;
}

std::int64_t TableConnection::mergedThrough() {
  if (sqlite3_step(readMerged_) != SQLITE_ROW) {
    sqlite3_reset(readMerged_);
    fail("reading the merge state");
  }
  std::int64_t seq = sqlite3_column_int64(readMerged_, 0);
  sqlite3_reset(readMerged_);
  return seq;
}

void TableConnection::setMergedThrough(std::int64_t seq) {
  sqlite3_bind_int64(writeMerged_, 1, seq);
  run(writeMerged_, "recording the merge state");
}

// A replaced day keeps the stored rows that the run stores again as they are, and loses the
// others. An import sent again finds most of its rows stored already; rewriting them would
// cost a delete and an insert each, in the middle of the table.
void TableConnection::replaceDay(NetChanges& net, std::string_view branch, std::string_view date) {
  std::vector<std::string> gone;  // origin and destination of each row to delete, in turn
  bool anyKept = false;
  bindText(selectDay_, 1, branch);
  bindDate(selectDay_, 2, date);
  readRows(selectDay_, "replacing a day", [&](const EmailRow& stored) {
    if (net.outcomeOf(stored) == NetChanges::Outcome::kGone) {
      gone.emplace_back(stored.texts[kNMORIGEM]);
      gone.emplace_back(stored.texts[kNMDESTINO]);
    } else {
      anyKept = true;
    }
  });
  if (gone.empty()) return;
  if (!anyKept) {
    bindText(deleteDay_, 1, branch);
    bindDate(deleteDay_, 2, date);
    run(deleteDay_, "replacing a day");
    return;
  }
  for (std::size_t i = 0; i < gone.size(); i += 2) {
    bindText(deleteRow_, 1, branch);
    bindDate(deleteRow_, 2, date);
    bindText(deleteRow_, 5, gone[i]);
    bindText(deleteRow_, 6, gone[i + 1]);
    run(deleteRow_, "replacing a day");
  }
}

void TableConnection::write(NetChanges& net) {
  for (const NetChanges::Day& day : net.replacedDays()) replaceDay(net, day.branch, day.date);
  for (const EmailRow* row : net.deletions()) {
    bindText(deleteRow_, 1, row->texts[kCDFILIAL]);
    bindText(deleteRow_, 2, row->texts[kANETLEMAIL]);
    bindText(deleteRow_, 3, row->texts[kMEETLEMAIL]);
    bindText(deleteRow_, 4, row->texts[kDIETLEMAIL]);
    bindText(deleteRow_, 5, row->texts[kNMORIGEM]);
    bindText(deleteRow_, 6, row->texts[kNMDESTINO]);
    run(deleteRow_, "deleting a row");
  }
  const std::vector<const EmailRow*>& rows = net.rows();
  if (rows.empty()) return;
  sourceRows_ = &rows;
  struct Detach {
    const std::vector<const EmailRow*>*& rows;
    ~Detach() { rows = nullptr; }
  } detach{sourceRows_};
  run(storeRows_, "storing a row");
}

std::optional<std::int64_t> TableConnection::readMergedThrough() {
  sqlite3_stmt* stmt = nullptr;
  std::optional<std::int64_t> seq;
  if (sqlite3_prepare_v2(db_, kReadMerged, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    seq = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return seq;
}

void TableConnection::forEach(std::string_view branch, std::string_view from, std::string_view to,
                              const std::function<void(const EmailRow&)>& row) {
  bindText(select_, 1, branch);
  bindDate(select_, 2, from);
  bindDate(select_, 5, to);
  readRows(select_, "reading the statistics", row);
}

// Steps "stmt" through its rows, calling "row" with each, and resets it and its bindings
// however the read ends.
void TableConnection::stepRows(sqlite3_stmt* stmt, const char* what,
                               const std::function<void(sqlite3_stmt*)>& row) {
  struct ResetOnExit {
    sqlite3_stmt* s;
    ~ResetOnExit() {
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
    }
  } reset{stmt};
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return;
    if (rc != SQLITE_ROW) fail(what);
    row(stmt);
  }
}

void TableConnection::readRows(sqlite3_stmt* stmt, const char* what,
                               const std::function<void(const EmailRow&)>& row) {
  EmailRow out;
  stepRows(stmt, what, [&](sqlite3_stmt* s) {
    readRow(s, out);
    row(out);
  });
}

void TableConnection::forEachAfter(std::string_view branch, std::string_view from,
                                   std::string_view to, const std::vector<std::string>& after,
                                   int limit, const std::function<void(const EmailRow&)>& row) {
  bool hasBranch = !branch.empty(), hasAfter = !after.empty();
  sqlite3_stmt*& page = selectPage_[hasBranch][hasAfter];
  if (page == nullptr) page = prepare(selectPage(hasBranch, hasAfter), "reading a page");
  sqlite3_stmt* s = page;
  bindText(s, 1, branch);
  bindDate(s, 2, from);
  bindDate(s, 5, to);
  for (std::size_t i = 0; i < after.size() && i < 6; ++i) {
    bindText(s, 8 + static_cast<int>(i), after[i]);
  }
  sqlite3_bind_int(s, 14, limit);
  readRows(s, "reading the statistics", row);
}

void TableConnection::forEachDay(
    std::string_view branch, std::string_view from, std::string_view to,
    const std::function<void(std::string_view, std::int64_t, double, double)>& day) {
  sqlite3_stmt*& days = selectDays_[!branch.empty()];
  if (days == nullptr) days = prepare(selectDays(!branch.empty()), "summing the days");
  sqlite3_stmt* s = days;
  bindText(s, 1, branch);
  bindDate(s, 2, from);
  bindDate(s, 5, to);
  stepRows(s, "summing the statistics per day", [&](sqlite3_stmt* r) {
    const auto* date = reinterpret_cast<const char*>(sqlite3_column_text(r, 0));
    day(std::string_view(date != nullptr ? date : "",
                         static_cast<std::size_t>(sqlite3_column_bytes(r, 0))),
        sqlite3_column_int64(r, 1), sqlite3_column_double(r, 2), sqlite3_column_double(r, 3));
  });
}

}  // namespace zeb::server
