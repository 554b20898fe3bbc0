#include "server/statistics_store.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

constexpr int kBusyTimeoutMs = 30000;
// Pages in the write-ahead log after which it is copied back into the database by the
// background checkpointer, and after which a writer does it itself when that one lags behind.
constexpr int kCheckpointPages = 32768;
constexpr int kWriterCheckpointPages = 4 * kCheckpointPages;

constexpr const char* kCreateTable =
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
    // a day and listing a period read only that range.
    " PRIMARY KEY (CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO)"
    ") WITHOUT ROWID";

constexpr const char* kColumnList =
    "CDFILIAL, NMORIGEM, NMDESTINO, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, BIETLEMAIL, SEETLEMAIL, "
    "TRETLEMAIL, VRVOLDADOS, QTEMAIL";

const std::string kUpsert = std::string("INSERT OR REPLACE INTO estatistica_email (") +
                            kColumnList + ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";

constexpr const char* kUpdate =
    "UPDATE OR REPLACE estatistica_email SET CDFILIAL = ?1, NMORIGEM = ?2, NMDESTINO = ?3,"
    " ANETLEMAIL = ?4, MEETLEMAIL = ?5, DIETLEMAIL = ?6, BIETLEMAIL = ?7, SEETLEMAIL = ?8,"
    " TRETLEMAIL = ?9, VRVOLDADOS = ?10, QTEMAIL = ?11"
    " WHERE CDFILIAL = ?12 AND ANETLEMAIL = ?13 AND MEETLEMAIL = ?14 AND DIETLEMAIL = ?15"
    " AND NMORIGEM = ?16 AND NMDESTINO = ?17";

constexpr const char* kDeleteRow =
    "DELETE FROM estatistica_email WHERE CDFILIAL = ?1 AND ANETLEMAIL = ?2 AND MEETLEMAIL = ?3"
    " AND DIETLEMAIL = ?4 AND NMORIGEM = ?5 AND NMDESTINO = ?6";

constexpr const char* kDeleteDay =
    "DELETE FROM estatistica_email WHERE CDFILIAL = ?1 AND ANETLEMAIL = ?2 AND MEETLEMAIL = ?3"
    " AND DIETLEMAIL = ?4";

const std::string kSelect =
    std::string("SELECT ") + kColumnList +
    " FROM estatistica_email WHERE (?1 = '' OR CDFILIAL = ?1)"
    " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) >= (?2, ?3, ?4)"
    " AND (ANETLEMAIL, MEETLEMAIL, DIETLEMAIL) <= (?5, ?6, ?7)"
    " ORDER BY CDFILIAL, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO";

// The date of a row as "YYYYMMDD" in a caller's buffer.
std::string_view rowDate(const EmailRow& row, std::array<char, 8>& buffer) {
  std::string_view y = row.texts[kANETLEMAIL], m = row.texts[kMEETLEMAIL],
                   d = row.texts[kDIETLEMAIL];
  // The decoder has checked the widths: four, two and two digits.
  std::copy(y.begin(), y.end(), buffer.begin());
  std::copy(m.begin(), m.end(), buffer.begin() + 4);
  std::copy(d.begin(), d.end(), buffer.begin() + 6);
  return {buffer.data(), buffer.size()};
}

}  // namespace

std::string dayKey(std::string_view branch, std::string_view date) {
  std::string key;
  key += static_cast<char>(branch.size());  // keeps "ab"+"c..." apart from "a"+"bc..."
  key += branch;
  key += date;
  return key;
}

// One SQLite connection with its prepared statements. Used by one thread at a time.
struct StatisticsStore::Connection {
  sqlite3* db = nullptr;
  const std::string* path = nullptr;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_stmt* rollback = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* update = nullptr;
  sqlite3_stmt* deleteRow = nullptr;
  sqlite3_stmt* deleteDay = nullptr;
  sqlite3_stmt* select = nullptr;

  ~Connection() {
    for (sqlite3_stmt* s :
         {begin, commit, rollback, upsert, update, deleteRow, deleteDay, select}) {
      sqlite3_finalize(s);
    }
    sqlite3_close_v2(db);
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw platform::Exception("Database '" + *path + "': " + what + ": " + sqlite3_errmsg(db));
  }

  void exec(const char* sql, const char* what) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(what);
  }

  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size() + 1),
                           SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      fail("preparing a statement");
    }
    return stmt;
  }

  void prepareWrites() {
    begin = prepare("BEGIN IMMEDIATE");
    commit = prepare("COMMIT");
    rollback = prepare("ROLLBACK");
    upsert = prepare(kUpsert);
    update = prepare(kUpdate);
    deleteRow = prepare(kDeleteRow);
    deleteDay = prepare(kDeleteDay);
  }

  static void bind(sqlite3_stmt* stmt, int index, std::string_view text) {
    // A null pointer would bind NULL; an empty text must stay an empty text.
    sqlite3_bind_text(stmt, index, text.data() != nullptr ? text.data() : "",
                      static_cast<int>(text.size()), SQLITE_STATIC);
  }

  void bindRow(sqlite3_stmt* stmt, const EmailRow& row) {
    for (std::size_t i = 0; i < kTextColumnCount; ++i) {
      bind(stmt, static_cast<int>(i + 1), row.texts[i]);
    }
    sqlite3_bind_double(stmt, kVRVOLDADOS + 1, row.volume);
    sqlite3_bind_double(stmt, kQTEMAIL + 1, row.count);
  }

  // Binds the key of "row" from parameter "first" on, in the order branch, year, month, day,
  // and then (with the addresses) origin and destination.
  void bindKey(sqlite3_stmt* stmt, int first, const EmailRow& row, bool addresses) {
    bind(stmt, first, row.texts[kCDFILIAL]);
    bind(stmt, first + 1, row.texts[kANETLEMAIL]);
    bind(stmt, first + 2, row.texts[kMEETLEMAIL]);
    bind(stmt, first + 3, row.texts[kDIETLEMAIL]);
    if (addresses) {
      bind(stmt, first + 4, row.texts[kNMORIGEM]);
      bind(stmt, first + 5, row.texts[kNMDESTINO]);
    }
  }

  void run(sqlite3_stmt* stmt, const char* what) {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
      sqlite3_reset(stmt);
      fail(what);
    }
    sqlite3_reset(stmt);
  }
};

struct StatisticsStore::Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<Connection>> idle;
};

// Copies the write-ahead log back into the database on a thread of its own. A checkpoint
// syncs the files, which takes longer than a batch's transaction; done by the writers (as
// SQLite does by default) it would stall whichever call happened to pass the limit.
struct StatisticsStore::Checkpointer {
  std::unique_ptr<Connection> connection;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool wanted = false;
  bool stopping = false;
  std::atomic<std::uint64_t> nanos{0};

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return wanted || stopping; });
      if (stopping) return;
      wanted = false;
      lock.unlock();
      auto start = std::chrono::steady_clock::now();
      // PASSIVE: never waits for the writers, so it never holds up a call.
      sqlite3_wal_checkpoint_v2(connection->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                nullptr);
      nanos += static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
      lock.lock();
    }
  }

  void request() {
    {
      std::lock_guard lock(mutex);
      wanted = true;
    }
    wake.notify_one();
  }

  ~Checkpointer() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_one();
    if (thread.joinable()) thread.join();
  }
};

int StatisticsStore::walHook(void* store, sqlite3* db, const char*, int pages) {
  auto* self = static_cast<StatisticsStore*>(store);
  if (pages >= kWriterCheckpointPages) {
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else if (pages >= kCheckpointPages && self->checkpointer_) {
    self->checkpointer_->request();
  }
  return SQLITE_OK;
}

// Borrows a connection from the pool for one call and gives it back afterwards.
class StatisticsStore::Lease {
 public:
  explicit Lease(const StatisticsStore& store) : store_(store) {
    {
      std::lock_guard lock(store.pool_->mutex);
      if (!store.pool_->idle.empty()) {
        connection_ = std::move(store.pool_->idle.back());
        store.pool_->idle.pop_back();
      }
    }
    if (!connection_) connection_ = store.openConnection();
  }
  ~Lease() {
    std::lock_guard lock(store_.pool_->mutex);
    store_.pool_->idle.push_back(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Connection& operator*() const { return *connection_; }
  Connection* operator->() const { return connection_.get(); }

 private:
  const StatisticsStore& store_;
  std::unique_ptr<Connection> connection_;
};

StatisticsStore::StatisticsStore(std::string path, Mode mode)
    : path_(std::move(path)), mode_(mode), pool_(std::make_unique<Pool>()) {
  // The first connection sets the database up and then waits in the pool.
  auto first = openConnection();
  {
    std::lock_guard lock(pool_->mutex);
    pool_->idle.push_back(std::move(first));
  }
  if (mode_ == Mode::kReadWrite) {
    checkpointer_ = std::make_unique<Checkpointer>();
    checkpointer_->connection = openConnection();
    Checkpointer* c = checkpointer_.get();
    c->thread = std::thread([c] { c->run(); });
  }
}

StatisticsStore::~StatisticsStore() {
  // The checkpointer goes first: the writers' hook must not reach it once it is gone.
  checkpointer_.reset();
}

std::uint64_t StatisticsStore::checkpointNanos() const {
  return checkpointer_ ? checkpointer_->nanos.load() : 0;
}

std::unique_ptr<StatisticsStore::Connection> StatisticsStore::openConnection() const {
  auto c = std::make_unique<Connection>();
  c->path = &path_;
  int flags =
      SQLITE_OPEN_NOMUTEX | (mode_ == Mode::kReadOnly ? SQLITE_OPEN_READONLY
                                                      : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (sqlite3_open_v2(path_.c_str(), &c->db, flags, nullptr) != SQLITE_OK) {
    c->fail("cannot open it");
  }
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
  if (mode_ == Mode::kReadWrite) {
    c->exec("PRAGMA journal_mode = WAL", "switching to WAL mode");
    // In WAL mode a commit survives a crash of the process; only a power loss may take the
    // last ones back, never leaving a batch in part.
    c->exec("PRAGMA synchronous = NORMAL", "setting the sync mode");
    c->exec("PRAGMA cache_size = -32768", "setting the cache size");
    c->exec("PRAGMA mmap_size = 1073741824", "mapping the database");
    sqlite3_wal_hook(c->db, &StatisticsStore::walHook, const_cast<StatisticsStore*>(this));
    c->exec(kCreateTable, "creating the table estatistica_email");
    c->prepareWrites();
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(c->db, kSelect.c_str(), static_cast<int>(kSelect.size() + 1),
                         SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    c->fail("reading the table estatistica_email");
  }
  c->select = stmt;
  return c;
}

ApplyCounts StatisticsStore::apply(const EmailBatch& batch, Replacement& replacement) {
  if (mode_ == Mode::kReadOnly) {
    throw platform::Exception("Database '" + path_ + "': opened for reading only");
  }
  Lease c(*this);
  ApplyCounts counts;
  std::vector<std::string> replacedNow;  // days replaced by this batch, kept if it commits
  // Most changes fall on the day of the change before them; remember that one's answer.
  std::string_view lastBranch;
  std::array<char, 8> lastDate{};
  bool haveLast = false;

  auto replaceDay = [&](const EmailRow& row) {
    std::array<char, 8> buffer;
    std::string_view date = rowDate(row, buffer);
    std::string_view branch = row.texts[kCDFILIAL];
    if (haveLast && branch == lastBranch && buffer == lastDate) return;
    lastBranch = branch;
    lastDate = buffer;
    haveLast = true;
    if (replacement.from.empty() || date < std::string_view(replacement.from)) return;
    std::string key = dayKey(branch, date);
    if (replacement.replaced.count(key) != 0) return;
    for (const std::string& k : replacedNow) {
      if (k == key) return;
    }
    c->bindKey(c->deleteDay, 1, row, false);
    c->run(c->deleteDay, "replacing a day");
    replacedNow.push_back(std::move(key));
  };

  c->run(c->begin, "starting a transaction");
  try {
    for (const EmailChange& change : batch.changes) {
      switch (change.op) {
        case ChangeOp::Insert:
          replaceDay(change.row);
          c->bindRow(c->upsert, change.row);
          c->run(c->upsert, "storing a row");
          ++counts.inserted;
          break;
        case ChangeOp::Update:
          replaceDay(change.old);
          replaceDay(change.row);
          c->bindRow(c->update, change.row);
          c->bindKey(c->update, 12, change.old, true);
          c->run(c->update, "updating a row");
          if (sqlite3_changes(c->db) == 0) {
            c->bindRow(c->upsert, change.row);
            c->run(c->upsert, "storing a row");
          }
          ++counts.updated;
          break;
        case ChangeOp::Delete:
          replaceDay(change.old);
          c->bindKey(c->deleteRow, 1, change.old, true);
          c->run(c->deleteRow, "deleting a row");
          ++counts.deleted;
          break;
      }
    }
    c->run(c->commit, "committing a batch");
  } catch (...) {
    sqlite3_step(c->rollback);
    sqlite3_reset(c->rollback);
    throw;
  }
  counts.replacedDays = replacedNow.size();
  for (std::string& key : replacedNow) replacement.replaced.insert(std::move(key));
  return counts;
}

void StatisticsStore::forEach(const RowFilter& filter,
                              const std::function<void(const EmailRow&)>& row) const {
  Lease c(*this);
  sqlite3_stmt* s = c->select;
  Connection::bind(s, 1, filter.branch);
  auto bindDate = [&](int first, const std::string& date) {
    std::string_view d = date;
    Connection::bind(s, first, d.substr(0, 4));
    Connection::bind(s, first + 1, d.substr(4, 2));
    Connection::bind(s, first + 2, d.substr(6, 2));
  };
  bindDate(2, filter.from);
  bindDate(5, filter.to);
  struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
    }
  } reset{s};
  EmailRow out;
  for (;;) {
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) c->fail("reading the statistics");
    for (std::size_t i = 0; i < kTextColumnCount; ++i) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, static_cast<int>(i)));
      out.texts[i] =
          std::string_view(text != nullptr ? text : "",
                           static_cast<std::size_t>(sqlite3_column_bytes(s, static_cast<int>(i))));
    }
    out.volume = sqlite3_column_double(s, kVRVOLDADOS);
    out.count = sqlite3_column_double(s, kQTEMAIL);
    row(out);
  }
}

}  // namespace zeb::server
