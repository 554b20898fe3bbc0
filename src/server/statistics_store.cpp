#include "server/statistics_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
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

// The merge's bookkeeping: the number of the last accepted batch that is in the table.
constexpr const char* kCreateMergeState =
    "CREATE TABLE IF NOT EXISTS merge_state ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " merged_through INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO merge_state (id, merged_through) VALUES (1, 0)";

// Batches merged in one transaction at most. Merging many at once writes each page of the
// table once for all of them instead of once a batch (a batch's rows fall all over its day).
constexpr std::size_t kMergeBatchesMax = 128;
// The merger keeps out of the way of an import that is sending: merging competes with the
// calls for the processor and its caches, and would slow every caller down. It merges once no
// batch has come for a moment, when a reader waits for it, or when the oldest batch has waited
// long enough (a server that is never quiet still gets its table up to date).
constexpr auto kQuietTime = std::chrono::milliseconds(200);
constexpr auto kMergeDelayMax = std::chrono::seconds(10);

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

// A batch read back from the pending file: its delta text, and the batch decoded from it
// (whose views point into "text").
struct AcceptedBatch {
  std::string text;
  EmailBatch batch;
};

// Calls "day(branch, date)" for every key of a list made by daysToReplace().
template <typename F>
void forEachDay(std::string_view days, F&& day) {
  std::size_t at = 0;
  while (at < days.size()) {
    auto length = static_cast<unsigned char>(days[at]);
    day(days.substr(at + 1, length), days.substr(at + 1 + length, 8));
    at += 1 + length + 8;
  }
}

// The (branch, day) pairs that a batch replaces: those its changes carry (in "row" or "old"),
// on or after "replacement.from" and not replaced yet, as day keys one after another in the
// order first met.
std::string daysToReplace(const EmailBatch& batch, const Replacement& replacement) {
  std::string days;
  if (replacement.from.empty()) return days;
  std::vector<std::string> seen;
  // Most changes fall on the day of the change before them; remember that one's answer.
  std::string_view lastBranch;
  std::array<char, 8> lastDate{};
  bool haveLast = false;
  auto consider = [&](const EmailRow& row) {
    std::array<char, 8> buffer;
    std::string_view date = rowDate(row, buffer);
    std::string_view branch = row.texts[kCDFILIAL];
    if (haveLast && branch == lastBranch && buffer == lastDate) return;
    lastBranch = branch;
    lastDate = buffer;
    haveLast = true;
    if (date < std::string_view(replacement.from)) return;
    std::string key = dayKey(branch, date);
    if (replacement.replaced.count(key) != 0) return;
    for (const std::string& k : seen) {
      if (k == key) return;
    }
    days += key;
    seen.push_back(std::move(key));
  };
  for (const EmailChange& change : batch.changes) {
    if (change.op != ChangeOp::Insert) consider(change.old);
    if (change.op != ChangeOp::Delete) consider(change.row);
  }
  return days;
}

void remember(std::string_view days, Replacement& replacement, ApplyCounts& counts) {
  forEachDay(days, [&](std::string_view branch, std::string_view date) {
    replacement.replaced.insert(dayKey(branch, date));
    ++counts.replacedDays;
  });
}

ApplyCounts countChanges(const EmailBatch& batch) {
  ApplyCounts counts;
  for (const EmailChange& change : batch.changes) {
    switch (change.op) {
      case ChangeOp::Insert:
        ++counts.inserted;
        break;
      case ChangeOp::Update:
        ++counts.updated;
        break;
      case ChangeOp::Delete:
        ++counts.deleted;
        break;
    }
  }
  return counts;
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
  sqlite3_stmt* readMerged = nullptr;
  sqlite3_stmt* writeMerged = nullptr;

  ~Connection() {
    for (sqlite3_stmt* s : {begin, commit, rollback, upsert, update, deleteRow, deleteDay, select,
                            readMerged, writeMerged}) {
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

  sqlite3_stmt* prepare(const std::string& sql, const char* what = "preparing a statement") {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size() + 1),
                           SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      fail(what);
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
    readMerged = prepare("SELECT merged_through FROM merge_state WHERE id = 1");
    writeMerged = prepare("UPDATE merge_state SET merged_through = ?1 WHERE id = 1");
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

  void rollBack() {
    sqlite3_step(rollback);
    sqlite3_reset(rollback);
  }

  std::int64_t mergedThrough() {
    if (sqlite3_step(readMerged) != SQLITE_ROW) {
      sqlite3_reset(readMerged);
      fail("reading the merge state");
    }
    std::int64_t seq = sqlite3_column_int64(readMerged, 0);
    sqlite3_reset(readMerged);
    return seq;
  }

  void setMergedThrough(std::int64_t seq) {
    sqlite3_bind_int64(writeMerged, 1, seq);
    run(writeMerged, "recording the merge state");
  }

  // Deletes the stored rows of every day of a list made by daysToReplace().
  void replaceDays(std::string_view days) {
    forEachDay(days, [&](std::string_view branch, std::string_view date) {
      bind(deleteDay, 1, branch);
      bind(deleteDay, 2, date.substr(0, 4));
      bind(deleteDay, 3, date.substr(4, 2));
      bind(deleteDay, 4, date.substr(6, 2));
      run(deleteDay, "replacing a day");
    });
  }

  // Applies the changes of a batch, in order, inside the caller's transaction.
  void applyChanges(const EmailBatch& batch) {
    for (const EmailChange& change : batch.changes) apply(change);
  }

  void apply(const EmailChange& change) {
    switch (change.op) {
      case ChangeOp::Insert:
        bindRow(upsert, change.row);
        run(upsert, "storing a row");
        break;
      case ChangeOp::Update:
        bindRow(update, change.row);
        bindKey(update, 12, change.old, true);
        run(update, "updating a row");
        if (sqlite3_changes(db) == 0) {
          bindRow(upsert, change.row);
          run(upsert, "storing a row");
        }
        break;
      case ChangeOp::Delete:
        bindKey(deleteRow, 1, change.old, true);
        run(deleteRow, "deleting a row");
        break;
    }
  }
};

// The pending file: the batches accepted and not yet merged, appended one record each:
//   header  "ZBP1", days length (4 bytes), batch number (8), delta length (8)
//   the days it replaces (day keys one after another), the delta text as it came
//   trailer batch number (8), "ZBPE", 4 bytes of zeros
// (numbers in the machine's byte order). A record is written with one call; one cut short by a
// crash lacks its trailer and ends the file's readable part (its batch was never answered).
// The file is emptied whenever every batch in it is merged.
struct StatisticsStore::Pending {
  struct Header {
    char magic[4];
    std::uint32_t daysLength;
    std::int64_t seq;
    std::uint64_t deltaLength;
  };
  struct Trailer {
    std::int64_t seq;
    char magic[4];
    std::uint32_t zero;
  };
  static_assert(sizeof(Header) == 24 && sizeof(Trailer) == 16);
  // No delta is this long (requests are refused past 64 MiB): a header saying so is not one.
  static constexpr std::uint64_t kRecordMax = std::uint64_t{1} << 32;

  // One record found by scan().
  struct Record {
    std::int64_t seq;
    std::uint64_t offset;  // of the delta text
    std::uint64_t deltaLength;
    std::string days;
  };

  std::string path;
  int fd = -1;
  std::mutex mutex;          // held while accepting: numbering and appending go together
  std::int64_t nextSeq = 1;  // the number of the next batch accepted
  std::uint64_t size = 0;    // the bytes of whole records

  ~Pending() {
    if (fd >= 0) ::close(fd);
  }

  [[noreturn]] void fail(const std::string& what, int error) const {
    throw platform::Exception("Pending file '" + path + "': " + what + ": " + std::strerror(error));
  }

  // Opens the file; "write" also makes it and locks it for this process alone. False when it
  // is missing and "write" is not asked.
  bool open(bool write) {
    fd = ::open(path.c_str(), (write ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (!write && errno == ENOENT) return false;
      fail("cannot open it", errno);
    }
    if (write && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        throw platform::Exception("Pending file '" + path +
                                  "': another server is using the database");
      }
      fail("cannot lock it", errno);
    }
    return true;
  }

  bool readAt(std::uint64_t offset, void* into, std::size_t length) const {
    auto* out = static_cast<char*>(into);
    while (length > 0) {
      ssize_t n = ::pread(fd, out, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("reading it", errno);
      if (n == 0) return false;
      out += n;
      offset += static_cast<std::uint64_t>(n);
      length -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // The whole records from the start, up to the first one that is cut short or not a record.
  std::vector<Record> scan() {
    std::vector<Record> records;
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("reading its size", errno);
    auto end = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t at = 0;
    size = 0;
    for (;;) {
      Header h{};
      if (end - at < sizeof h || !readAt(at, &h, sizeof h)) break;
      if (std::memcmp(h.magic, "ZBP1", 4) != 0 || h.deltaLength > kRecordMax) break;
      std::uint64_t length = sizeof h + h.daysLength + h.deltaLength + sizeof(Trailer);
      if (end - at < length) break;
      Trailer t{};
      if (!readAt(at + length - sizeof t, &t, sizeof t)) break;
      if (std::memcmp(t.magic, "ZBPE", 4) != 0 || t.seq != h.seq) break;
      Record r{h.seq, at + sizeof h + h.daysLength, h.deltaLength, std::string(h.daysLength, '\0')};
      if (!readAt(at + sizeof h, r.days.data(), r.days.size())) break;
      records.push_back(std::move(r));
      at += length;
      size = at;
    }
    return records;
  }

  // Cuts off what follows the whole records: a record that a crash cut short.
  void dropTail() {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) fail("cutting off a torn record", errno);
  }

  // Appends one record with one call; answers the offset of its delta text.
  std::uint64_t append(std::int64_t seq, std::string_view days, std::string_view delta) {
    Header h{{'Z', 'B', 'P', '1'}, static_cast<std::uint32_t>(days.size()), seq, delta.size()};
    Trailer t{seq, {'Z', 'B', 'P', 'E'}, 0};
    iovec parts[4] = {{&h, sizeof h},
                      {const_cast<char*>(days.data()), days.size()},
                      {const_cast<char*>(delta.data()), delta.size()},
                      {&t, sizeof t}};
    std::uint64_t length = sizeof h + days.size() + delta.size() + sizeof t;
    std::uint64_t written = 0;
    int first = 0;
    while (written < length) {
      ssize_t n = ::pwritev(fd, parts + first, 4 - first, static_cast<off_t>(size + written));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        int error = n < 0 ? errno : EIO;
        // Whatever part of the record got written is cut off again: the batch is refused whole.
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
          // Left torn: the next start cuts it off, as after a crash.
        }
        fail("writing a batch", error);
      }
      written += static_cast<std::uint64_t>(n);
      // Move past what was written, for the rare call that writes only a part.
      auto left = static_cast<std::size_t>(n);
      while (first < 4 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
      if (first < 4) {
        parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
        parts[first].iov_len -= left;
      }
    }
    std::uint64_t deltaAt = size + sizeof h + days.size();
    size += length;
    return deltaAt;
  }

  void empty() {
    if (::ftruncate(fd, 0) != 0) fail("emptying it", errno);
    size = 0;
  }

  // Reads back and decodes one batch.
  void load(std::int64_t seq, std::uint64_t offset, std::uint64_t length,
            AcceptedBatch& into) const {
    into.text.resize(length);
    if (!readAt(offset, into.text.data(), length)) {
      throw platform::Exception("Pending file '" + path + "': batch " + std::to_string(seq) +
                                " is missing");
    }
    try {
      decodeSetEmailParams(into.text, into.batch);
    } catch (const std::exception& e) {
      throw platform::Exception("Pending file '" + path + "': batch " + std::to_string(seq) +
                                " cannot be read back: " + e.what());
    }
  }
};

// Merges accepted batches into the table on a thread of its own, in the order accepted.
struct StatisticsStore::Merger {
  struct Entry {
    std::int64_t seq = 0;
    std::string days;
    std::uint64_t offset = 0;  // of its delta text in the pending file
    std::uint64_t length = 0;
    std::chrono::steady_clock::time_point acceptedAt{};
  };

  StatisticsStore* store = nullptr;
  std::unique_ptr<Connection> connection;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Entry> queue;
  std::int64_t accepted = 0;   // the last batch accepted
  std::int64_t merged = 0;     // the last batch merged
  std::string error;           // why the last merge failed; empty when it did not
  std::uint64_t failures = 0;  // merges that failed
  bool retryNow = false;       // a caller waits: retry a failed merge without the pause
  int waiting = 0;             // callers of flush() waiting
  bool stopping = false;
  std::chrono::steady_clock::time_point lastAccepted{};
  // The batches are read back from the pending file to be merged (from the page cache, as a
  // rule): holding them decoded in memory until then would take far more memory, all of it
  // new for every call.
  AcceptedBatch readBack;
  std::atomic<std::uint64_t> nanos{0}, batches{0};

  void push(std::int64_t seq, std::string days, std::uint64_t offset, std::uint64_t length) {
    {
      std::lock_guard lock(mutex);
      lastAccepted = std::chrono::steady_clock::now();
      queue.push_back({seq, std::move(days), offset, length, lastAccepted});
      accepted = seq;
    }
    changed.notify_all();
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stopping || (error.empty() && !queue.empty()); });
      // At a stop the batches already accepted are merged first, unless merging fails.
      if (queue.empty() || (stopping && !error.empty())) return;
      for (;;) {
        if (stopping || waiting > 0 || queue.empty()) break;
        auto quietAt = lastAccepted + kQuietTime;
        auto lateAt = queue.front().acceptedAt + kMergeDelayMax;
        auto now = std::chrono::steady_clock::now();
        if (now >= quietAt || now >= lateAt) break;
        changed.wait_until(lock, std::min(quietAt, lateAt));
      }
      if (queue.empty()) continue;
      std::vector<Entry> work;
      while (!queue.empty() && work.size() < kMergeBatchesMax) {
        work.push_back(std::move(queue.front()));
        queue.pop_front();
      }
      lock.unlock();
      std::string failure;
      try {
        mergeAll(work);
      } catch (const std::exception& e) {
        failure = e.what();
      }
      lock.lock();
      if (!failure.empty()) {
        // Back to the front, to be tried again in a while; callers of flush() hear why.
        for (auto it = work.rbegin(); it != work.rend(); ++it) queue.push_front(std::move(*it));
        if (error.empty()) std::fprintf(stderr, "zeb18000 server: %s\n", failure.c_str());
        error = failure;
        ++failures;
        changed.notify_all();
        // At a stop they stay in the pending file, merged when the database is next opened.
        if (stopping) return;
        changed.wait_for(lock, std::chrono::seconds(1), [&] { return stopping || retryNow; });
        retryNow = false;
        if (stopping) return;
        error.clear();
        continue;
      }
      merged = work.back().seq;
      changed.notify_all();
      if (queue.empty()) {
        lock.unlock();
        clean();
        lock.lock();
      }
    }
  }

  // Applies the batches, whole and in order, in one transaction, skipping any that another
  // process has merged already.
  void mergeAll(std::vector<Entry>& work) {
    auto started = std::chrono::steady_clock::now();
    Connection& c = *connection;
    c.run(c.begin, "starting a transaction");
    std::size_t done = 0;
    try {
      std::int64_t through = c.mergedThrough();
      for (Entry& entry : work) {
        if (entry.seq <= through) continue;
        store->pending_->load(entry.seq, entry.offset, entry.length, readBack);
        c.replaceDays(entry.days);
        c.applyChanges(readBack.batch);
        ++done;
      }
      if (work.back().seq > through) c.setMergedThrough(work.back().seq);
      c.run(c.commit, "committing merged batches");
    } catch (...) {
      c.rollBack();
      throw;
    }
    batches += done;
    nanos += static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                            std::chrono::steady_clock::now() - started)
                                            .count());
  }

  // Empties the pending file once every batch in it is merged, holding accepting off meanwhile
  // so that no batch is appended in between. Never waits for a call that is accepting: that
  // call may be waiting for this thread's merge (a full pending file), and empties it itself.
  void clean() {
    Pending& p = *store->pending_;
    std::unique_lock accepting(p.mutex, std::try_to_lock);
    if (!accepting.owns_lock()) return;
    {
      std::lock_guard lock(mutex);
      if (!queue.empty() || merged != accepted || p.size == 0) return;
    }
    try {
      p.empty();
    } catch (const std::exception& e) {
      // Merged batches left in the pending file are skipped when met again; nothing is lost.
      std::fprintf(stderr, "zeb18000 server: %s\n", e.what());
    }
  }

  // Waits for the batches accepted so far; a merge that has failed is tried once more first.
  void flush() {
    std::unique_lock lock(mutex);
    std::int64_t target = accepted;
    std::uint64_t failed = failures;
    if (merged >= target) return;
    if (!error.empty()) retryNow = true;
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [&] { return merged >= target || failures > failed; });
    --waiting;
    if (merged < target) throw platform::Exception(error);
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
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
    if (!connection_) {
      connection_ =
          store.openConnection(store.mode_ == Mode::kReadWrite ? Access::kWrite : Access::kRead);
    }
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

StatisticsStore::StatisticsStore(std::string path, Mode mode, std::uint64_t pendingBytesMax)
    : path_(std::move(path)),
      mode_(mode),
      pendingBytesMax_(pendingBytesMax),
      pool_(std::make_unique<Pool>()) {
  // The first connection sets the database up and then waits in the pool.
  auto first = openConnection(mode_ == Mode::kReadWrite ? Access::kWrite : Access::kRead);
  {
    std::lock_guard lock(pool_->mutex);
    pool_->idle.push_back(std::move(first));
  }
  if (mode_ == Mode::kReadOnly) {
    catchUp();
    return;
  }
  checkpointer_ = std::make_unique<Checkpointer>();
  checkpointer_->connection = openConnection(Access::kWrite);
  Checkpointer* c = checkpointer_.get();
  c->thread = std::thread([c] { c->run(); });

  pending_ = std::make_unique<Pending>();
  pending_->path = path_ + "-pending";
  pending_->open(true);
  merger_ = std::make_unique<Merger>();
  merger_->store = this;
  merger_->connection = openConnection(Access::kWrite);
  // What an earlier process accepted and did not merge is merged first, read back from the
  // pending file; a record that a crash cut short was never answered and is dropped.
  std::int64_t merged = merger_->connection->mergedThrough();
  std::vector<Pending::Record> records = pending_->scan();
  pending_->dropTail();
  merger_->merged = merger_->accepted = merged;
  std::int64_t last = merged;
  for (Pending::Record& r : records) {
    last = std::max(last, r.seq);
    if (r.seq <= merged) continue;
    merger_->queue.push_back({r.seq, std::move(r.days), r.offset, r.deltaLength, {}});
    merger_->accepted = r.seq;
  }
  pending_->nextSeq = last + 1;
  Merger* m = merger_.get();
  m->thread = std::thread([m] { m->run(); });
}

StatisticsStore::~StatisticsStore() {
  // The merger finishes what was accepted, then the checkpointer goes: the writers' hook must
  // not reach it once it is gone.
  if (merger_) {
    merger_->stop();
    // With everything merged the pending file goes, so that a stopped server's database is its
    // SQLite files alone; what is left unmerged stays for the next start.
    if (merger_->merged == merger_->accepted) ::unlink(pending_->path.c_str());
  }
  merger_.reset();
  checkpointer_.reset();
}

// A reader merges, before it reads, what a server accepted and has not merged yet (a server
// that is still merging, or one that ended before it could).
void StatisticsStore::catchUp() {
  Pending pending;
  pending.path = path_ + "-pending";
  if (!pending.open(false)) return;  // no pending file: nothing was accepted
  std::vector<Pending::Record> records = pending.scan();
  if (records.empty()) return;
  {
    // Batches merged already but still in the file (a server empties it only when quiet) need
    // nothing written: a reader without the right to write reads on.
    Lease reader(*this);
    sqlite3_stmt* merged = nullptr;
    if (sqlite3_prepare_v2(reader->db, "SELECT merged_through FROM merge_state WHERE id = 1", -1,
                           &merged, nullptr) == SQLITE_OK &&
        sqlite3_step(merged) == SQLITE_ROW &&
        records.back().seq <= sqlite3_column_int64(merged, 0)) {
      sqlite3_finalize(merged);
      return;
    }
    sqlite3_finalize(merged);
  }
  std::unique_ptr<Connection> c;
  try {
    c = openConnection(Access::kWrite);
  } catch (const std::exception& e) {
    throw platform::Exception("Database '" + path_ +
                              "': cannot merge the batches the server has accepted: " + e.what());
  }
  c->run(c->begin, "starting a transaction");
  try {
    // Read inside the transaction: a server merging at the same time is not merged twice.
    std::int64_t through = c->mergedThrough();
    std::int64_t last = through;
    for (const Pending::Record& r : records) {
      if (r.seq <= through) continue;
      AcceptedBatch batch;
      pending.load(r.seq, r.offset, r.deltaLength, batch);
      c->replaceDays(r.days);
      c->applyChanges(batch.batch);
      last = r.seq;
    }
    if (last > through) c->setMergedThrough(last);
    c->run(c->commit, "committing merged batches");
  } catch (...) {
    c->rollBack();
    throw;
  }
}

std::uint64_t StatisticsStore::checkpointNanos() const {
  return checkpointer_ ? checkpointer_->nanos.load() : 0;
}

std::uint64_t StatisticsStore::mergeNanos() const { return merger_ ? merger_->nanos.load() : 0; }

std::uint64_t StatisticsStore::mergedBatches() const {
  return merger_ ? merger_->batches.load() : 0;
}

std::unique_ptr<StatisticsStore::Connection> StatisticsStore::openConnection(Access access) const {
  auto c = std::make_unique<Connection>();
  c->path = &path_;
  bool write = access == Access::kWrite;
  int flags = SQLITE_OPEN_NOMUTEX |
              (!write                      ? SQLITE_OPEN_READONLY
               : mode_ == Mode::kReadWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                           : SQLITE_OPEN_READWRITE);
  if (sqlite3_open_v2(path_.c_str(), &c->db, flags, nullptr) != SQLITE_OK) {
    c->fail("cannot open it");
  }
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
  if (write) {
    c->exec("PRAGMA journal_mode = WAL", "switching to WAL mode");
    // In WAL mode a commit survives a crash of the process; only a power loss may take the
    // last ones back, never leaving a batch in part.
    c->exec("PRAGMA synchronous = NORMAL", "setting the sync mode");
    c->exec("PRAGMA cache_size = -65536", "setting the cache size");
    c->exec("PRAGMA mmap_size = 1073741824", "mapping the database");
    sqlite3_wal_hook(c->db, &StatisticsStore::walHook, const_cast<StatisticsStore*>(this));
    c->exec(kCreateTable, "creating the table estatistica_email");
    c->exec(kCreateMergeState, "creating the table merge_state");
    c->prepareWrites();
  }
  c->select = c->prepare(kSelect, "reading the table estatistica_email");
  return c;
}

ApplyCounts StatisticsStore::accept(std::string_view text, const EmailBatch& batch,
                                    Replacement& replacement) {
  if (mode_ == Mode::kReadOnly) {
    throw platform::Exception("Database '" + path_ + "': opened for reading only");
  }
  ApplyCounts counts = countChanges(batch);
  std::string days = daysToReplace(batch, replacement);
  {
    // Numbering, writing and queueing go together, so that the merger meets the batches in the
    // order of their numbers.
    std::lock_guard lock(pending_->mutex);
    if (pending_->size >= pendingBytesMax_) {
      // The file is emptied only when everything in it is merged, which a server that is never
      // quiet may not see for long: past the limit, a call waits for the merge and empties it,
      // so that the file cannot grow without bound.
      merger_->flush();
      pending_->empty();
    }
    std::int64_t seq = pending_->nextSeq;
    std::uint64_t offset = pending_->append(seq, days, text);
    ++pending_->nextSeq;
    merger_->push(seq, days, offset, text.size());
  }
  remember(days, replacement, counts);
  return counts;
}

void StatisticsStore::flush() const {
  if (merger_) merger_->flush();
}

ApplyCounts StatisticsStore::apply(const EmailBatch& batch, Replacement& replacement) {
  if (mode_ == Mode::kReadOnly) {
    throw platform::Exception("Database '" + path_ + "': opened for reading only");
  }
  flush();
  Lease c(*this);
  ApplyCounts counts = countChanges(batch);
  std::string days = daysToReplace(batch, replacement);
  c->run(c->begin, "starting a transaction");
  try {
    c->replaceDays(days);
    c->applyChanges(batch);
    c->run(c->commit, "committing a batch");
  } catch (...) {
    c->rollBack();
    throw;
  }
  remember(days, replacement, counts);
  return counts;
}

void StatisticsStore::forEach(const RowFilter& filter,
                              const std::function<void(const EmailRow&)>& row) const {
  flush();
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
