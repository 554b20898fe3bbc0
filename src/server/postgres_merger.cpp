#include "server/postgres_merger.h"

#include <array>
#include <bit>
#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/core/exceptions.h"
#include "server/batch_record.h"
#include "server/postgres_lease.h"
#include "server/postgres_tables.h"

namespace zeb::server {

namespace {

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

// The staging table of a batch, one per connection: "s" rows to store, "d" keys to delete.
const std::string kCreateStage = std::string(
                                     "CREATE TEMP TABLE IF NOT EXISTS zeb_stage (op \"char\" NOT "
                                     "NULL,") +
                                 kTextColumns +
                                 " vrvoldados double precision NOT NULL,"
                                 " qtemail double precision NOT NULL) ON COMMIT DELETE ROWS";

const std::string kDeleteKeys =
    "DELETE FROM estatistica_email e USING zeb_stage s WHERE s.op = 'd' AND " + rowKey("e") +
    " = " + rowKey("s") + ";";

const std::string kStoreRows =
    std::string("INSERT INTO estatistica_email (") + kColumnNames + ") SELECT " + kColumnNames +
    " FROM zeb_stage WHERE op = 's' ON CONFLICT (" + rowKey() +
    ") DO UPDATE SET nmorigem = EXCLUDED.nmorigem, nmdestino = EXCLUDED.nmdestino,"
    " bietlemail = EXCLUDED.bietlemail, seetlemail = EXCLUDED.seetlemail,"
    " tretlemail = EXCLUDED.tretlemail, vrvoldados = EXCLUDED.vrvoldados,"
    " qtemail = EXCLUDED.qtemail;";

// COPY's binary format: a header, then per row its field count and each field's length and
// bytes (a text's own bytes, a double precision's eight, most significant first), then -1.
// Nothing is escaped or written out as digits, and the server reads no digits back.
constexpr std::string_view kCopyHeader("PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0", 19);
constexpr std::string_view kCopyTrailer("\377\377", 2);

// The low "bytes" bytes of "value", most significant first.
void appendBigEndian(std::string& out, std::uint64_t value, std::size_t bytes) {
  value <<= 8 * (8 - bytes);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  char big[8];
  std::memcpy(big, &value, sizeof big);
  out.append(big, bytes);
}

void appendField(std::string& out, std::string_view bytes) {
  appendBigEndian(out, bytes.size(), 4);
  out.append(bytes);
}

void appendNumber(std::string& out, double value) {
  appendBigEndian(out, 8, 4);
  appendBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
}

// A row's columns (kColumnNames), after "op" when it is not 0 (the staging table's first column).
void appendCopyRow(std::string& out, char op, const EmailRow& row) {
  appendBigEndian(out, kTextColumnCount + 2 + (op != 0 ? 1 : 0), 2);
  if (op != 0) appendField(out, std::string_view(&op, 1));
  for (std::string_view text : row.texts) appendField(out, text);
  appendNumber(out, row.volume);
  appendNumber(out, row.count);
}

// What "net" stores, in COPY's binary format for the staging table: "r" the days it replaces,
// "d" the keys it deletes, "s" the rows it stores, each in key order.
// "direct" the rows on those days: the replaced days' rows are deleted first, and the net
// effect stores one row per key, so these meet no stored key and are copied straight into the
// table, which takes them several times faster than an upsert.
std::string stagedCopy(NetChanges& net, std::string& direct) {
  std::string staged(kCopyHeader);
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
      if (direct.empty()) direct = kCopyHeader;
      appendCopyRow(direct, 0, *row);
    } else {
      appendCopyRow(staged, 's', *row);
    }
  }
  staged += kCopyTrailer;
  if (!direct.empty()) direct += kCopyTrailer;
  return staged;
}

const std::string kMergeStaged =
    "COPY zeb_stage FROM STDIN (FORMAT binary);"
    "DELETE FROM estatistica_email e USING zeb_stage s WHERE s.op = 'r' AND " +
    rowKey("e") + " >= " + dayStart("s.cdfilial", "s.anetlemail", "s.meetlemail", "s.dietlemail") +
    " AND " + rowKey("e") + " < " +
    dayEnd("s.cdfilial", "s.anetlemail", "s.meetlemail", "s.dietlemail") + ";" + kDeleteKeys +
    kStoreRows + "TRUNCATE zeb_stage";

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
  std::deque<std::string> unpacked;  // the same for batches that came compressed
  std::vector<std::unique_ptr<EmailBatch>> batches;
  std::size_t loadedBytes = 0;
  auto write = [&] {
    net.settle();
    std::string direct;
    c.execWithCopy(
        kMergeStaged, [&](std::vector<PgResult>&) { return stagedCopy(net, direct); },
        "merging batches");
    if (!direct.empty()) {
      c.execWithCopy(
          std::string("COPY estatistica_email (") + kColumnNames + ") FROM STDIN (FORMAT binary)",
          [&](std::vector<PgResult>&) { return std::move(direct); }, "merging batches");
    }
    net.clear();
    batches.clear();
    loaded.clear();
    unpacked.clear();
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
          if (delta.starts_with(kPendingPacked)) {
            std::string& compact = unpacked.emplace_back();
            unpackPending(delta.substr(kPendingPacked.size()), compact);
            decodeBatchRecord(compact, *batch);
            loadedBytes += compact.size();
          } else if (delta.starts_with(kPendingCompact)) {
            decodeBatchRecord(delta.substr(kPendingCompact.size()), *batch);
          } else {
            decodeSetEmailParams(delta, *batch);
          }
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

PostgresBackend::Merger::Merger(const PostgresBackend& backend) : backend_(backend) {
  thread_ = std::thread([this] { run(); });
}

PostgresBackend::Merger::~Merger() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PostgresBackend::Merger::accepted() {
  {
    std::lock_guard lock(mutex_);
    if (unmerged_++ == 0) firstAt_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

void PostgresBackend::Merger::run() {
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

bool PostgresBackend::Merger::mergeAll(bool wholeDays, bool& left) {
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
    if (!fieldIsTrue(pgField(pending, 0, 0))) return;
  }
  const_cast<PostgresBackend*>(this)->flush();
}

StoreMetrics PostgresBackend::metrics() const {
  return {0, mergeNanos_.load(), mergedBatches_.load()};
}

}  // namespace zeb::server
