#include "server/postgres_backend.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/core/exceptions.h"
#include "server/net_changes.h"
#include "server/pg_connection.h"

namespace zeb::server {

namespace {

// Advisory locks of this schema (the second key): one for setting the schema up, one that every
// batch takes when it is accepted, so that batches are numbered one after another, and one that
// every merge takes, so that they are merged one after another. A merge never waits for an
// accept, nor an accept for a merge.
constexpr const char* kSchemaLock =
    "SELECT pg_advisory_xact_lock(1952801, hashtext(current_schema()))";
constexpr const char* kBatchLock =
    "SELECT pg_advisory_xact_lock(1952802, hashtext(current_schema()))";
constexpr const char* kMergeLock =
    "SELECT pg_advisory_xact_lock(1952803, hashtext(current_schema()))";

// A merge takes about this many batches to a transaction, or batches taking about this much
// memory, reads them this many at a time, and writes what it has worked out before the batches
// read take kWriteBytesMax (writing part of the run and going on in the same transaction comes
// to the same, only slower: the rows of a day replaced before are upserted).
constexpr int kMergeBatchesMax = 256;
constexpr int kFetchBatches = 16;
constexpr std::size_t kLoadedBytesMax = std::size_t{48} << 20;
constexpr std::size_t kWriteBytesMax = 4 * kLoadedBytesMax;
// The merger thread waits for this many batches, or for the first of them to have waited
// kGatherTime, so that a merge takes many; merges batches of days not yet whole once they have
// waited kHoldTime; and retries a failed merge after a pause.
constexpr std::uint64_t kRoundBatchesMin = 16;
constexpr auto kGatherTime = std::chrono::milliseconds(100);
constexpr auto kRetryPause = std::chrono::seconds(1);
constexpr auto kHoldTime = std::chrono::seconds(1);

constexpr const char* kColumnNames =
    "cdfilial, nmorigem, nmdestino, anetlemail, meetlemail, dietlemail, bietlemail, seetlemail,"
    " tretlemail, vrvoldados, qtemail";

// The texts compare by their bytes ("C"), and the addresses' key folds ASCII letters alone
// (lower() under "C"): the order of SQLite's key with its NOCASE addresses.
constexpr const char* kTextColumns =
    " cdfilial text COLLATE \"C\" NOT NULL, nmorigem text COLLATE \"C\" NOT NULL,"
    " nmdestino text COLLATE \"C\" NOT NULL, anetlemail text COLLATE \"C\" NOT NULL,"
    " meetlemail text COLLATE \"C\" NOT NULL, dietlemail text COLLATE \"C\" NOT NULL,"
    " bietlemail text COLLATE \"C\" NOT NULL, seetlemail text COLLATE \"C\" NOT NULL,"
    " tretlemail text COLLATE \"C\" NOT NULL,";

constexpr const char* kKey =
    "cdfilial, anetlemail, meetlemail, dietlemail, lower(nmorigem), lower(nmdestino)";

const std::string kCreate =
    std::string("CREATE TABLE IF NOT EXISTS estatistica_email (") + kTextColumns +
    " vrvoldados double precision NOT NULL, qtemail double precision NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS estatistica_email_key ON estatistica_email (" +
    kKey +
    ");"
    "CREATE TABLE IF NOT EXISTS zeb_import_session (id text PRIMARY KEY,"
    " from_date text NOT NULL, ticket bigint NOT NULL, last_used bigint NOT NULL);"
    "CREATE TABLE IF NOT EXISTS zeb_session_day (session text NOT NULL,"
    " day text COLLATE \"C\" NOT NULL, PRIMARY KEY (session, day));"
    "CREATE TABLE IF NOT EXISTS zeb_day_owner (day text COLLATE \"C\" PRIMARY KEY,"
    " ticket bigint NOT NULL);"
    "CREATE SEQUENCE IF NOT EXISTS zeb_import_ticket;"
    "CREATE TABLE IF NOT EXISTS zeb_pending_batch (seq bigint PRIMARY KEY, days bytea NOT NULL,"
    " last_date text COLLATE \"C\" NOT NULL, delta bytea NOT NULL);"
    "CREATE SEQUENCE IF NOT EXISTS zeb_batch_number;"
    "CREATE TABLE IF NOT EXISTS zeb_schema_version (id integer PRIMARY KEY CHECK (id = 1),"
    " version integer NOT NULL);"
    "INSERT INTO zeb_schema_version VALUES (1, " +
    std::to_string(kPostgresSchemaVersion) +
    ") ON CONFLICT (id) DO UPDATE SET version = EXCLUDED.version"
    " WHERE zeb_schema_version.version < EXCLUDED.version;";

// The delta texts are compressed with LZ4, fast enough that a batch's commit, which writes a
// sixth as much to the log, takes less time; where PostgreSQL lacks LZ4 they are stored as they
// are, its own compression costing more than it saves.
constexpr const char* kPendingStorage =
    "DO $$ BEGIN"
    " ALTER TABLE zeb_pending_batch ALTER COLUMN delta SET COMPRESSION lz4;"
    " EXCEPTION WHEN OTHERS THEN"
    " ALTER TABLE zeb_pending_batch ALTER COLUMN delta SET STORAGE EXTERNAL;"
    " END $$";

constexpr const char* kOurColumns =
    "cdfilial text, nmorigem text, nmdestino text, anetlemail text, meetlemail text,"
    " dietlemail text, bietlemail text, seetlemail text, tretlemail text,"
    " vrvoldados double precision, qtemail double precision";

const std::string kInspect =
    "SELECT to_regclass('zeb_schema_version') IS NOT NULL,"
    " to_regclass('estatistica_email') IS NOT NULL,"
    " coalesce(to_regclass('zeb_import_session')::text, to_regclass('zeb_session_day')::text,"
    " to_regclass('zeb_day_owner')::text, to_regclass('zeb_import_ticket')::text,"
    " to_regclass('zeb_pending_batch')::text, to_regclass('zeb_batch_number')::text, ''),"
    " (SELECT string_agg(attname || ' ' || format_type(atttypid, atttypmod), ', '"
    " ORDER BY attnum) FROM pg_attribute WHERE attrelid = to_regclass('estatistica_email')"
    " AND attnum > 0 AND NOT attisdropped),"
    " to_regclass('zeb_pending_batch') IS NOT NULL";

// The staging table of a batch, one per connection: "s" rows to store, "d" keys to delete.
const std::string kCreateStage = std::string(
                                     "CREATE TEMP TABLE IF NOT EXISTS zeb_stage (op \"char\" NOT "
                                     "NULL,") +
                                 kTextColumns +
                                 " vrvoldados double precision NOT NULL,"
                                 " qtemail double precision NOT NULL) ON COMMIT DELETE ROWS";

const std::string kDeleteKeys =
    "DELETE FROM estatistica_email e USING zeb_stage s WHERE s.op = 'd'"
    " AND e.cdfilial = s.cdfilial AND e.anetlemail = s.anetlemail"
    " AND e.meetlemail = s.meetlemail AND e.dietlemail = s.dietlemail"
    " AND lower(e.nmorigem) = lower(s.nmorigem) AND lower(e.nmdestino) = lower(s.nmdestino);";

const std::string kStoreRows =
    std::string("INSERT INTO estatistica_email (") + kColumnNames + ") SELECT " + kColumnNames +
    " FROM zeb_stage WHERE op = 's' ON CONFLICT (" + kKey +
    ") DO UPDATE SET nmorigem = EXCLUDED.nmorigem, nmdestino = EXCLUDED.nmdestino,"
    " bietlemail = EXCLUDED.bietlemail, seetlemail = EXCLUDED.seetlemail,"
    " tretlemail = EXCLUDED.tretlemail, vrvoldados = EXCLUDED.vrvoldados,"
    " qtemail = EXCLUDED.qtemail;";

bool isTrue(std::string_view field) { return field == "t"; }

double toDouble(std::string_view text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::int64_t toInt(std::string_view text) {
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// A day as the session and owner tables keep it: "YYYYMMDD" and the branch after it.
std::string dayText(std::string_view branch, std::string_view date) {
  return std::string(date) + std::string(branch);
}

// A value in COPY's text format.
void appendCopyText(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

void appendNumber(std::string& out, double value) {
  char buffer[32];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

// A row's columns (kColumnNames) in COPY's text format, its line end included.
void appendCopyValues(std::string& out, const EmailRow& row) {
  for (std::string_view text : row.texts) {
    appendCopyText(out, text);
    out += '\t';
  }
  appendNumber(out, row.volume);
  out += '\t';
  appendNumber(out, row.count);
  out += '\n';
}

void appendCopyRow(std::string& out, char op, const EmailRow& row) {
  out += op;
  out += '\t';
  appendCopyValues(out, row);
}

// Reads a row of "result" (the columns of kColumnNames, in order) into "row".
void readRow(const PgResult& result, int at, EmailRow& row) {
  for (std::size_t i = 0; i < kTextColumnCount; ++i) {
    row.texts[i] = pgField(result, at, static_cast<int>(i));
  }
  row.volume = toDouble(pgField(result, at, kVRVOLDADOS));
  row.count = toDouble(pgField(result, at, kQTEMAIL));
}

// The numbered text parameters of a statement, "$N::text" as they are added.
struct Params {
  std::vector<std::string> values;
  std::string add(std::string_view value, bool ci = false) {
    values.emplace_back(value);
    std::string p = "$" + std::to_string(values.size()) + "::text";
    return ci ? "lower(" + p + " COLLATE \"C\")" : p;
  }
  std::string date(std::string_view date) {
    return "(" + add(date.substr(0, 4)) + ", " + add(date.substr(4, 2)) + ", " +
           add(date.substr(6, 2)) + ")";
  }
};

// The rows of "filter", as a WHERE clause.
std::string whereFilter(const RowFilter& filter, Params& params) {
  std::string where = " WHERE ";
  if (!filter.branch.empty()) where += "cdfilial = " + params.add(filter.branch) + " AND ";
  where += "(anetlemail, meetlemail, dietlemail) >= " + params.date(filter.from) +
           " AND (anetlemail, meetlemail, dietlemail) <= " + params.date(filter.to);
  return where;
}

// What "net" stores, in COPY's text format for the staging table: "r" the days it replaces,
// "d" the keys it deletes, "s" the rows it stores, each in key order.
// "direct" the rows on those days: the replaced days' rows are deleted first, and the net
// effect stores one row per key, so these meet no stored key and are copied straight into the
// table, which takes them several times faster than an upsert.
std::string stagedText(NetChanges& net, std::string& direct) {
  std::string staged;
  EmailRow day;
  std::unordered_set<std::string> replaced;
  for (const NetChanges::Day& d : net.replacedDays()) {
    day.texts[kCDFILIAL] = d.branch;
    day.texts[kANETLEMAIL] = d.date.substr(0, 4);
    day.texts[kMEETLEMAIL] = d.date.substr(4, 2);
    day.texts[kDIETLEMAIL] = d.date.substr(6, 2);
    appendCopyRow(staged, 'r', day);
    replaced.insert(dayKey(d.branch, d.date));
  }
  for (const EmailRow* row : net.deletions()) appendCopyRow(staged, 'd', *row);
  // The rows come day after day: the day of the row before is looked up once.
  std::string lastDay;
  bool lastReplaced = false;
  for (const EmailRow* row : net.rows()) {
    std::array<char, 8> date = rowDate(*row);
    std::string key = dayKey(row->texts[kCDFILIAL], {date.data(), date.size()});
    if (key != lastDay) {
      lastReplaced = replaced.count(key) != 0;
      lastDay = std::move(key);
    }
    if (lastReplaced) {
      appendCopyValues(direct, *row);
    } else {
      appendCopyRow(staged, 's', *row);
    }
  }
  return staged;
}

const std::string kMergeStaged =
    "COPY zeb_stage FROM STDIN;"
    "DELETE FROM estatistica_email e USING zeb_stage s WHERE s.op = 'r'"
    " AND e.cdfilial = s.cdfilial AND e.anetlemail = s.anetlemail"
    " AND e.meetlemail = s.meetlemail AND e.dietlemail = s.dietlemail;" +
    kDeleteKeys + kStoreRows + "TRUNCATE zeb_stage";

std::uint64_t nanosSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

// What one merge did.
struct MergeRound {
  int merged = 0;         // batches merged
  bool full = false;      // it ended at its bounds: more may be pending
  bool leftDays = false;  // it left batches pending whose days the import has not moved past
};

// Merges the oldest pending batches, about kMergeBatchesMax, in order, in one transaction that
// also deletes them from the pending table. "wholeDays": only the batches before the first whose
// latest day is not before the latest day of any pending batch: an import sends its rows day
// after day, so the days of these are complete, and a round then holds every batch of each of its
// days, the first of which replaces the day, and copies the day's rows straight into the table.
// On failure the transaction is rolled back, the batches stay pending, and Exception says why.
MergeRound mergeOldest(PgConnection& c, NetChanges& net, bool wholeDays) {
  // The merge's commit need not wait for the disk: it is lost only with everything committed
  // after it, the batches it deletes staying pending with it, to be merged again.
  c.exec("BEGIN; SET LOCAL synchronous_commit = off;" + kCreateStage + ";" + kMergeLock +
             ";"
             // The staging table is never analysed: joins with it must walk the table's key.
             "SET LOCAL enable_hashjoin = off; SET LOCAL enable_mergejoin = off",
         "merging batches");
  std::vector<PgResult> loaded;  // the texts that "net" and "batches" point into
  std::vector<std::unique_ptr<EmailBatch>> batches;
  std::size_t loadedBytes = 0;
  auto write = [&] {
    net.settle();
    std::string direct;
    c.execWithCopy(
        kMergeStaged, [&](std::vector<PgResult>&) { return stagedText(net, direct); },
        "merging batches");
    if (!direct.empty()) {
      c.execWithCopy(
          std::string("COPY estatistica_email (") + kColumnNames + ") FROM STDIN",
          [&](std::vector<PgResult>&) { return std::move(direct); }, "merging batches");
    }
    net.clear();
    batches.clear();
    loaded.clear();
    loadedBytes = 0;
  };
  MergeRound round;
  std::int64_t last = 0;
  try {
    net.clear();
    std::string reached;
    if (wholeDays) {
      PgResult latest = std::move(
          c.exec("SELECT coalesce(max(last_date), '') FROM zeb_pending_batch", "merging batches")
              .front());
      reached = std::string(pgField(latest, 0, 0));
    }
    bool more = true;
    std::string lastDay;  // the latest day of the batch before
    while (more) {
      PgResult read = c.queryBinary(
          "SELECT seq, days, last_date, delta FROM zeb_pending_batch" +
              (round.merged > 0 ? " WHERE seq > " + std::to_string(last) : std::string()) +
              " ORDER BY seq LIMIT " + std::to_string(kFetchBatches),
          {}, "reading the pending batches");
      int rows = pgRows(read);
      more = rows == kFetchBatches;
      for (int i = 0; i < rows; ++i) {
        std::string_view day = pgField(read, i, 2);
        if (wholeDays && day >= std::string_view(reached)) {
          round.leftDays = true;
          more = false;
          break;
        }
        // A round that has reached its bounds ends where a batch reaches a new day, so that
        // the days it leaves stay whole for the next.
        if ((round.merged >= kMergeBatchesMax || loadedBytes >= kLoadedBytesMax) &&
            day != lastDay) {
          round.full = true;
          more = false;
          break;
        }
        // A day too large for one write is written in parts, the same in one transaction.
        if (loadedBytes >= kWriteBytesMax) write();
        lastDay = day;
        last = pgInt64(read, i, 0);
        std::string_view delta = pgField(read, i, 3);
        auto& batch = batches.emplace_back(std::make_unique<EmailBatch>());
        try {
          decodeSetEmailParams(delta, *batch);
        } catch (const std::exception& e) {
          throw platform::Exception("Database '" + c.shown() + "': reading batch " +
                                    std::to_string(last) +
                                    " back from the pending table: " + e.what());
        }
        net.add(pgField(read, i, 1), *batch);
        loadedBytes +=
            delta.size() + batch->arena.size() + batch->changes.capacity() * sizeof(EmailChange);
        ++round.merged;
      }
      loaded.push_back(std::move(read));
    }
    if (round.merged == 0) {
      c.exec("COMMIT", "merging batches");
      return round;
    }
    write();
    c.exec("DELETE FROM zeb_pending_batch WHERE seq <= " + std::to_string(last) + "; COMMIT",
           "merging batches");
  } catch (...) {
    net.clear();
    c.rollBack();
    throw;
  }
  return round;
}

}  // namespace

class PostgresBackend::Lease {
 public:
  explicit Lease(const PostgresBackend& backend) : backend_(backend) {
    {
      std::lock_guard lock(backend.poolMutex_);
      if (!backend.idle_.empty()) {
        connection_ = std::move(backend.idle_.back());
        backend.idle_.pop_back();
      }
    }
    if (!connection_) connection_ = std::make_unique<PgConnection>(backend.options_.database);
  }
  ~Lease() {
    // A connection left in a transaction by a failure is ended first; one that is broken
    // (the server went away) is dropped rather than handed to the next call.
    connection_->rollBack();
    if (connection_->broken()) return;
    std::lock_guard lock(backend_.poolMutex_);
    backend_.idle_.push_back(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  PgConnection* operator->() const { return connection_.get(); }
  PgConnection& operator*() const { return *connection_; }

 private:
  const PostgresBackend& backend_;
  std::unique_ptr<PgConnection> connection_;
};

// Merges the batches pending in the database on a thread of its own, over a connection of its
// own, while batches keep coming; first whatever an earlier server left pending.
class PostgresBackend::Merger {
 public:
  explicit Merger(const PostgresBackend& backend) : backend_(backend) {
    thread_ = std::thread([this] { run(); });
  }
  ~Merger() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Merger(const Merger&) = delete;
  Merger& operator=(const Merger&) = delete;

  // A batch has been accepted.
  void accepted() {
    {
      std::lock_guard lock(mutex_);
      if (unmerged_++ == 0) firstAt_ = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
  }

 private:
  using Clock = std::chrono::steady_clock;

  void run() {
    std::unique_lock lock(mutex_);
    bool due = true;  // at the start: everything an earlier server left
    bool wholeDays = false;
    while (!stopping_) {
      if (!due) {
        // Batches to merge, or batches left behind that have waited long enough.
        auto woken = [&] { return stopping_ || unmerged_ > 0; };
        if (leftAt_) {
          changed_.wait_until(lock, *leftAt_ + kHoldTime, woken);
        } else {
          changed_.wait(lock, woken);
        }
        if (unmerged_ > 0) {
          changed_.wait_until(lock, firstAt_ + kGatherTime,
                              [&] { return stopping_ || unmerged_ >= kRoundBatchesMin; });
        }
        // What is left at the stop is merged by the caller of flush().
        if (stopping_) return;
        wholeDays = !leftAt_ || Clock::now() < *leftAt_ + kHoldTime;
      }
      unmerged_ = 0;
      lock.unlock();
      bool left = false;
      std::uint64_t before = backend_.mergedBatches_.load();
      bool merged = mergeAll(wholeDays, left);
      bool progressed = backend_.mergedBatches_.load() != before;
      lock.lock();
      // The hold counts from the last round that merged anything: an import under way keeps
      // finishing days, and its last day waits only once it pauses or ends.
      if (merged && !left) leftAt_.reset();
      if (merged && left && (progressed || !leftAt_)) leftAt_ = Clock::now();
      due = !merged;
      if (!merged) changed_.wait_for(lock, kRetryPause, [&] { return stopping_; });
    }
  }

  // Merges until nothing is pending, or nothing of whole days; false when a merge failed
  // (reported). "left": batches of days not yet whole were left pending.
  bool mergeAll(bool wholeDays, bool& left) {
    try {
      if (!connection_ || connection_->broken()) {
        connection_.reset();
        connection_ = std::make_unique<PgConnection>(backend_.options_.database);
      }
      while (backend_.mergeCounted(*connection_, net_, wholeDays, left) && !left) {
      }
      reported_.clear();
      return true;
    } catch (const std::exception& e) {
      // Told once, until a merge succeeds or the failure changes.
      if (backend_.options_.reportFailure && reported_ != e.what()) {
        reported_ = e.what();
        backend_.options_.reportFailure(e);
      }
      return false;
    }
  }

  const PostgresBackend& backend_;
  std::unique_ptr<PgConnection> connection_;
  NetChanges net_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t unmerged_ = 0;  // batches accepted since the last merge began
  Clock::time_point firstAt_{};
  // Since when batches of days not yet whole have been left pending with nothing else merged;
  // past kHoldTime they are merged as they are.
  std::optional<Clock::time_point> leftAt_;
  std::string reported_;
  bool stopping_ = false;
};

PostgresBackend::PostgresBackend(const BackendOptions& options) : options_(options) {
  auto first = std::make_unique<PgConnection>(options_.database);
  setUpSchema(*first);
  idle_.push_back(std::move(first));
  if (!options_.readOnly) merger_ = std::make_unique<Merger>(*this);
}

PostgresBackend::~PostgresBackend() {
  if (!merger_) return;
  merger_.reset();
  // What was accepted since the last merge; should it fail, the batches stay pending for the
  // next server or read.
  try {
    flush();
  } catch (...) {
  }
}

bool PostgresBackend::mergeCounted(PgConnection& c, NetChanges& net, bool wholeDays,
                                   bool& leftDays) const {
  auto start = std::chrono::steady_clock::now();
  MergeRound round = mergeOldest(c, net, wholeDays);
  leftDays = round.leftDays;
  if (round.merged > 0) {
    mergeNanos_ += nanosSince(start);
    mergedBatches_ += static_cast<std::uint64_t>(round.merged);
  }
  return round.full;
}

void PostgresBackend::flush() {
  if (!pendingTable_) return;
  Lease c(*this);
  NetChanges net;
  bool left = false;
  while (mergeCounted(*c, net, false, left)) {
  }
}

void PostgresBackend::catchUp() const {
  if (!pendingTable_) return;
  {
    Lease c(*this);
    PgResult pending = std::move(
        c->exec("SELECT EXISTS (SELECT 1 FROM zeb_pending_batch)", "reading the statistics")
            .front());
    if (!isTrue(pgField(pending, 0, 0))) return;
  }
  const_cast<PostgresBackend*>(this)->flush();
}

StoreMetrics PostgresBackend::metrics() const {
  return {0, mergeNanos_.load(), mergedBatches_.load()};
}

void PostgresBackend::setUpSchema(PgConnection& c) {
  auto refuse = [&](const std::string& why) {
    throw platform::Exception("Database '" + c.shown() + "': " + why);
  };
  // Looked at under the schema lock, so that two servers starting on an empty database do not
  // both make it.
  c.exec(std::string("BEGIN;") + kSchemaLock, "reading its schema");
  try {
    PgResult found = std::move(c.exec(kInspect, "reading its schema").front());
    bool versioned = isTrue(pgField(found, 0, 0));
    bool table = isTrue(pgField(found, 0, 1));
    std::string other(pgField(found, 0, 2));
    std::string columns(pgField(found, 0, 3));
    bool pending = isTrue(pgField(found, 0, 4));
    if (!versioned && (table || !other.empty())) {
      refuse("not a statistics database of zeb18000: it holds a table " +
             (table ? std::string("estatistica_email") : other) + " that zeb18000 did not make");
    }
    if (versioned) {
      PgResult version =
          std::move(c.exec("SELECT version FROM zeb_schema_version", "reading its schema").front());
      std::int64_t v = pgRows(version) > 0 ? toInt(pgField(version, 0, 0)) : 0;
      if (v > kPostgresSchemaVersion) {
        refuse("its schema is version " + std::to_string(v) + ", newer than this program knows (" +
               std::to_string(kPostgresSchemaVersion) +
               "); use the zeb18000 that wrote it, or a later one");
      }
    }
    if (table && columns != kOurColumns) {
      refuse(
          "not a statistics database of zeb18000: its table estatistica_email has other columns (" +
          columns + ") than ours");
    }
    if (options_.readOnly) {
      if (!table) refuse("reading the table estatistica_email: it does not exist");
      // Version 1 had no pending table: then nothing is pending.
      pendingTable_ = pending;
    } else {
      c.exec(kCreate, "creating the tables");
      if (!pending) c.exec(kPendingStorage, "creating the tables");
    }
    c.exec("COMMIT", "creating the tables");
  } catch (...) {
    c.rollBack();
    throw;
  }
}

std::int64_t PostgresBackend::nowMicros() const {
  // The servers of one database share the wall clock; a clock given for tests moves it.
  auto now = std::chrono::system_clock::now();
  if (options_.clock) {
    now += std::chrono::duration_cast<std::chrono::system_clock::duration>(
        options_.clock() - std::chrono::steady_clock::now());
  }
  return std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
}

std::int64_t PostgresBackend::cutoffMicros() const {
  return nowMicros() -
         std::chrono::duration_cast<std::chrono::microseconds>(options_.sessionTimeout).count();
}

void PostgresBackend::touchSession(std::string_view session) {
  if (options_.readOnly) return;
  Lease c(*this);
  std::string cutoff = std::to_string(cutoffMicros());
  c->exec("INSERT INTO zeb_import_session (id, from_date, ticket, last_used) VALUES (" +
              c->literal(session) + ", '', 0, " + std::to_string(nowMicros()) +
              ") ON CONFLICT (id) DO UPDATE SET last_used = EXCLUDED.last_used,"
              " from_date = CASE WHEN zeb_import_session.last_used < " +
              cutoff +
              " THEN '' ELSE zeb_import_session.from_date END,"
              " ticket = CASE WHEN zeb_import_session.last_used < " +
              cutoff + " THEN 0 ELSE zeb_import_session.ticket END",
          "recording the session");
  // The session's row has changed: its next batch reads its state afresh.
  forget(session);
}

void PostgresBackend::startImport(std::string_view session, const std::string& from) {
  if (options_.readOnly) {
    throw platform::Exception("Database '" + shownUri(options_.database) +
                              "': opened for reading only");
  }
  Lease c(*this);
  std::string id = c->literal(session);
  std::string cutoff = std::to_string(cutoffMicros());
  std::int64_t now = nowMicros();
  // Sessions quiet for longer than the timeout are forgotten on the way.
  std::vector<PgResult> started = c->exec(
      "BEGIN;"
      "DELETE FROM zeb_session_day WHERE session IN (SELECT id FROM zeb_import_session"
      " WHERE last_used < " +
          cutoff + ") OR session = " + id +
          ";"
          "DELETE FROM zeb_import_session WHERE last_used < " +
          cutoff +
          ";"
          "INSERT INTO zeb_import_session (id, from_date, ticket, last_used) VALUES (" +
          id + ", " + c->literal(from) + ", nextval('zeb_import_ticket'), " +
          std::to_string(now) +
          ") ON CONFLICT (id) DO UPDATE SET from_date = EXCLUDED.from_date,"
          " ticket = EXCLUDED.ticket, last_used = EXCLUDED.last_used"
          " RETURNING xmin::text, ticket;"
          "COMMIT",
      "starting an import");
  KnownSession known;
  known.replacement.from = from;
  if (!started.empty() && pgRows(started.front()) == 1) {
    known.version = std::string(pgField(started.front(), 0, 0));
    known.replacement.ticket = static_cast<std::uint64_t>(toInt(pgField(started.front(), 0, 1)));
    known.lastUsed = now;
    remember(session, std::move(known));
  } else {
    forget(session);
  }
}

std::optional<PostgresBackend::KnownSession> PostgresBackend::known(std::string_view session,
                                                                    std::int64_t cutoff) const {
  std::lock_guard lock(sessionsMutex_);
  auto it = sessions_.find(std::string(session));
  // A session about to expire takes the way that reads it, which decides what its expiry does.
  if (it == sessions_.end() || it->second.lastUsed < cutoff) return std::nullopt;
  return it->second;
}

void PostgresBackend::remember(std::string_view session, KnownSession state) {
  std::int64_t cutoff = cutoffMicros();
  std::lock_guard lock(sessionsMutex_);
  std::erase_if(sessions_, [&](const auto& entry) { return entry.second.lastUsed < cutoff; });
  sessions_[std::string(session)] = std::move(state);
}

void PostgresBackend::forget(std::string_view session) {
  std::lock_guard lock(sessionsMutex_);
  sessions_.erase(std::string(session));
}

namespace {

// The day keys of "days" as the session and owner tables keep them, as an SQL array.
std::string dayArray(PgConnection& c, std::string_view days) {
  std::string list;
  server::forEachDay(days, [&](std::string_view branch, std::string_view date) {
    if (!list.empty()) list += ", ";
    list += c.literal(dayText(branch, date));
  });
  return "ARRAY[" + list + "]::text[]";
}

}  // namespace

ApplyCounts PostgresBackend::accept(std::string_view session, std::string_view text,
                                    EmailBatch& batch) {
  if (options_.readOnly) {
    throw platform::Exception("Database '" + shownUri(options_.database) +
                              "': opened for reading only");
  }
  Lease c(*this);
  const std::int64_t now = nowMicros();
  const std::int64_t cutoff = cutoffMicros();
  std::string carried = daysCarried(batch);
  std::optional<ApplyCounts> counts;
  if (std::optional<KnownSession> state = known(session, cutoff)) {
    counts = acceptKnown(*c, session, text, batch, carried, std::move(*state), now);
  }
  if (!counts) counts = acceptRead(*c, session, text, batch, carried, now, cutoff);
  if (merger_) merger_->accepted();
  return *counts;
}

std::optional<ApplyCounts> PostgresBackend::acceptKnown(PgConnection& c, std::string_view session,
                                                        std::string_view text,
                                                        const EmailBatch& batch,
                                                        std::string_view carried,
                                                        KnownSession state, std::int64_t now) {
  const std::string id = c.literal(session);
  const std::string days = daysToReplace(carried, state.replacement);
  const std::string replaced = dayArray(c, days);
  const std::string ticket = std::to_string(state.replacement.ticket);
  const std::string last = lastDate(carried);
  // The session's row is as this server last wrote or read it (its xmin, which every write of
  // the row changes, is the one remembered), so its mark, ticket and days are the remembered
  // ones; and no day of the batch is owned by a later ticket, so that the rules drop nothing.
  // Else the statement writes nothing and the batch takes the way that reads the state.
  std::string known = "SELECT 1 FROM zeb_import_session WHERE id = " + id +
                      " AND xmin::text = " + c.literal(state.version);
  if (state.replacement.ticket != 0) {
    known += " AND NOT EXISTS (SELECT 1 FROM zeb_day_owner WHERE day = ANY(" +
             dayArray(c, carried) + ") AND ticket > " + ticket + ")";
  }
  std::vector<PgResult> stored;
  try {
    stored = c.execPipeline(
        {{"BEGIN", {}},
         {kBatchLock, {}},
         {"WITH known AS (" + known +
              "),"
              " batch AS (INSERT INTO zeb_pending_batch (seq, days, last_date, delta)"
              " SELECT nextval('zeb_batch_number'), $1, $2, $3 FROM known),"
              " owner AS (INSERT INTO zeb_day_owner (day, ticket) SELECT d, " +
              ticket + " FROM known, unnest(" + replaced + ") d WHERE " + ticket +
              " > 0 ON CONFLICT (day) DO UPDATE SET"
              " ticket = greatest(zeb_day_owner.ticket, EXCLUDED.ticket)),"
              " day AS (INSERT INTO zeb_session_day (session, day) SELECT " +
              id + ", d FROM known, unnest(" + replaced +
              ") d ON CONFLICT DO NOTHING)"
              " UPDATE zeb_import_session SET last_used = " +
              std::to_string(now) + " FROM known WHERE id = " + id + " RETURNING xmin::text",
          {days, last, text}},
         {"COMMIT", {}}},
        "storing a batch");
  } catch (...) {
    // Whether it was committed is not known: the session's row tells the next batch.
    forget(session);
    throw;
  }
  // The lock's row, then the session's row if the batch was stored.
  if (stored.size() != 2 || pgRows(stored.back()) != 1) return std::nullopt;
  ApplyCounts counts = countChanges(batch);
  rememberReplaced(days, state.replacement, counts);
  state.version = std::string(pgField(stored.back(), 0, 0));
  state.lastUsed = now;
  remember(session, std::move(state));
  return counts;
}

ApplyCounts PostgresBackend::acceptRead(PgConnection& c, std::string_view session,
                                        std::string_view text, EmailBatch& batch,
                                        std::string carried, std::int64_t now,
                                        std::int64_t cutoffAt) {
  const std::string id = c.literal(session);
  const std::string cutoff = std::to_string(cutoffAt);
  const std::string expired =
      "(SELECT last_used < " + cutoff + " FROM zeb_import_session WHERE id = " + id + ")";
  std::string days;
  std::string kept;
  ApplyCounts counts;
  KnownSession state;
  Replacement& replacement = state.replacement;
  try {
    // The session's state and the owners of the batch's days, read under the batch lock.
    std::vector<PgResult> read = c.exec(
        std::string("BEGIN;") + kBatchLock +
            ";SELECT from_date, ticket, last_used FROM zeb_import_session WHERE id = " + id +
            ";SELECT day FROM zeb_session_day WHERE session = " + id +
            ";SELECT day, ticket FROM zeb_day_owner WHERE day = ANY(" + dayArray(c, carried) + ")",
        "storing a batch");
    const PgResult& sessionRow = read.at(1);
    const PgResult& sessionDays = read.at(2);
    const PgResult& owners = read.at(3);
    if (pgRows(sessionRow) > 0 && toInt(pgField(sessionRow, 0, 2)) >= cutoffAt) {
      replacement.from = std::string(pgField(sessionRow, 0, 0));
      replacement.ticket = static_cast<std::uint64_t>(toInt(pgField(sessionRow, 0, 1)));
      for (int i = 0; i < pgRows(sessionDays); ++i) {
        std::string_view day = pgField(sessionDays, i, 0);
        replacement.replaced.insert(dayKey(day.substr(8), day.substr(0, 8)));
      }
    }
    std::unordered_map<std::string, std::uint64_t> ownerOf;
    for (int i = 0; i < pgRows(owners); ++i) {
      std::string_view day = pgField(owners, i, 0);
      ownerOf[dayKey(day.substr(8), day.substr(0, 8))] =
          static_cast<std::uint64_t>(toInt(pgField(owners, i, 1)));
    }
    std::unordered_set<std::string> lost =
        daysLost(carried, replacement.ticket, [&](const std::string& day) -> std::uint64_t {
          auto it = ownerOf.find(day);
          return it != ownerOf.end() ? it->second : 0;
        });
    if (!lost.empty()) {
      // Stored as it is to be merged.
      dropDays(batch, lost);
      kept = encodeSetEmailParams(batch);
      text = kept;
      carried = daysCarried(batch);
    }
    days = daysToReplace(carried, replacement);
    counts = countChanges(batch);
    const std::string replaced = dayArray(c, days);
    // The batch and the state it leaves in one round trip, ending with the commit.
    const std::string last = lastDate(carried);
    std::vector<PgResult> written = c.execPipeline(
        {{"INSERT INTO zeb_pending_batch (seq, days, last_date, delta) VALUES"
          " (nextval('zeb_batch_number'), $1, $2, $3)",
          {days, last, text}},
         {"INSERT INTO zeb_day_owner (day, ticket) SELECT d, i.ticket FROM unnest(" + replaced +
              ") d, zeb_import_session i WHERE i.id = " + id +
              " AND i.ticket > 0 ON CONFLICT (day) DO UPDATE SET"
              " ticket = greatest(zeb_day_owner.ticket, EXCLUDED.ticket)",
          {}},
         // A session quiet for longer than the timeout starts afresh: its days go.
         {"DELETE FROM zeb_session_day WHERE session = " + id + " AND coalesce(" + expired +
              ", false)",
          {}},
         {"INSERT INTO zeb_session_day (session, day) SELECT " + id + ", d FROM unnest(" +
              replaced + ") d ON CONFLICT DO NOTHING",
          {}},
         {"INSERT INTO zeb_import_session (id, from_date, ticket, last_used) VALUES (" + id +
              ", '', 0, " + std::to_string(now) +
              ") ON CONFLICT (id) DO UPDATE SET last_used = EXCLUDED.last_used,"
              " from_date = CASE WHEN zeb_import_session.last_used < " +
              cutoff +
              " THEN '' ELSE zeb_import_session.from_date END,"
              " ticket = CASE WHEN zeb_import_session.last_used < " +
              cutoff + " THEN 0 ELSE zeb_import_session.ticket END RETURNING xmin::text",
          {}},
         {"COMMIT", {}}},
        "storing a batch");
    state.version = std::string(pgField(written.at(0), 0, 0));
  } catch (...) {
    forget(session);
    c.rollBack();
    throw;
  }
  rememberReplaced(days, replacement, counts);
  state.lastUsed = now;
  remember(session, std::move(state));
  return counts;
}

void PostgresBackend::forEachAfter(const RowFilter& filter, const std::vector<std::string>& after,
                                   int limit,
                                   const std::function<void(const EmailRow&)>& row) const {
  Params params;
  std::string sql = std::string("SELECT ") + kColumnNames + " FROM estatistica_email" +
                    whereFilter(filter, params);
  if (after.size() == 6) {
    sql += " AND (" + std::string(kKey) + ") > (" + params.add(after[0]) + ", " +
           params.add(after[1]) + ", " + params.add(after[2]) + ", " + params.add(after[3]) + ", " +
           params.add(after[4], true) + ", " + params.add(after[5], true) + ")";
  }
  sql += std::string(" ORDER BY ") + kKey + " LIMIT " + std::to_string(limit);
  catchUp();
  Lease c(*this);
  PgResult result = c->query(sql, params.values, "reading the statistics");
  EmailRow out;
  for (int i = 0; i < pgRows(result); ++i) {
    readRow(result, i, out);
    row(out);
  }
}

void PostgresBackend::forEach(const RowFilter& filter,
                              const std::function<void(const EmailRow&)>& row) const {
  // A page at a time, so that a large table is never held whole in memory.
  constexpr int kPage = 10000;
  std::vector<std::string> after;
  for (;;) {
    int rows = 0;
    forEachAfter(filter, after, kPage, [&](const EmailRow& r) {
      row(r);
      if (++rows == kPage) {
        after.clear();
        for (Column c : {kCDFILIAL, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL, kNMORIGEM, kNMDESTINO}) {
          after.emplace_back(r.texts[c]);
        }
      }
    });
    if (rows < kPage) return;
  }
}

void PostgresBackend::forEachDay(
    const RowFilter& filter,
    const std::function<void(std::string_view, std::int64_t, double, double)>& day) const {
  Params params;
  std::string sql =
      "SELECT anetlemail || meetlemail || dietlemail, count(*), coalesce(sum(qtemail), 0),"
      " coalesce(sum(vrvoldados), 0) FROM estatistica_email" +
      whereFilter(filter, params) +
      " GROUP BY anetlemail, meetlemail, dietlemail ORDER BY anetlemail, meetlemail, dietlemail";
  catchUp();
  Lease c(*this);
  PgResult result = c->query(sql, params.values, "summing the statistics per day");
  for (int i = 0; i < pgRows(result); ++i) {
    day(pgField(result, i, 0), toInt(pgField(result, i, 1)), toDouble(pgField(result, i, 2)),
        toDouble(pgField(result, i, 3)));
  }
}

}  // namespace zeb::server
