#include "server/statistics_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/core/exceptions.h"
#include "server/batch_merger.h"
#include "server/batch_record.h"
#include "server/import_rules.h"
#include "server/pending_journal.h"
#include "server/table_connection.h"

namespace zeb::server {

namespace {

// Pages in the write-ahead log after which it is copied back into the database by the
// background checkpointer, and after which a writer does it itself when that one lags behind.
// Closing the database copies back what is left, and an import that runs its own server waits
// for that: a log of 16 MiB takes a few hundredths of a second.
constexpr int kCheckpointPages = 4096;
constexpr int kWriterCheckpointPages = 4 * kCheckpointPages;

std::uint64_t nanosSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

}  // namespace

struct StatisticsStore::Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<TableConnection>> idle;
};

// Copies the write-ahead log back into the database on a thread of its own. A checkpoint
// syncs the files, which takes longer than a batch's transaction; done by the writers (as
// SQLite does by default) it would stall whichever call happened to pass the limit.
struct StatisticsStore::Checkpointer {
  std::unique_ptr<TableConnection> connection;
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
      sqlite3_wal_checkpoint_v2(connection->handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                nullptr);
      nanos += nanosSince(start);
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
    if (!connection_) connection_ = store.openConnection(store.mode_ == Mode::kReadWrite);
  }
  ~Lease() {
    std::lock_guard lock(store_.pool_->mutex);
    store_.pool_->idle.push_back(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  TableConnection& operator*() const { return *connection_; }
  TableConnection* operator->() const { return connection_.get(); }

 private:
  const StatisticsStore& store_;
  std::unique_ptr<TableConnection> connection_;
};

struct StatisticsStore::Owners {
  std::mutex mutex;
  std::uint64_t lastTicket = 0;
  std::unordered_map<std::string, std::uint64_t> byDay;

  // Of the days "carried" (day keys), those taken by an import with a later ticket.
  std::unordered_set<std::string> lostTo(std::string_view carried, std::uint64_t ticket) {
    std::lock_guard lock(mutex);
    return daysLost(carried, ticket, [&](const std::string& day) -> std::uint64_t {
      auto it = byDay.find(day);
      return it != byDay.end() ? it->second : 0;
    });
  }
  // The days "replaced" (day keys) go to the import of "ticket", once its batch is taken.
  void take(std::string_view replaced, std::uint64_t ticket) {
    if (ticket == 0) return;
    std::lock_guard lock(mutex);
    server::forEachDay(replaced, [&](std::string_view branch, std::string_view date) {
      std::uint64_t& owner = byDay[dayKey(branch, date)];
      owner = std::max(owner, ticket);
    });
  }
};

std::uint64_t StatisticsStore::nextTicket() {
  std::lock_guard lock(owners_->mutex);
  return ++owners_->lastTicket;
}

StatisticsStore::StatisticsStore(std::string path, Mode mode, std::uint64_t pendingBytesMax,
                                 FailureReport report)
    : path_(std::move(path)),
      mode_(mode),
      pendingBytesMax_(pendingBytesMax),
      pool_(std::make_unique<Pool>()),
      owners_(std::make_unique<Owners>()) {
  // The first connection sets the database up and then waits in the pool.
  auto first = openConnection(mode_ == Mode::kReadWrite);
  {
    std::lock_guard lock(pool_->mutex);
    pool_->idle.push_back(std::move(first));
  }
  if (mode_ == Mode::kReadOnly) {
    catchUp();
    return;
  }
  checkpointer_ = std::make_unique<Checkpointer>();
  checkpointer_->connection = openConnection(true);
  Checkpointer* c = checkpointer_.get();
  c->thread = std::thread([c] { c->run(); });

  journal_ = std::make_unique<PendingJournal>(path_ + "-pending");
  // The batches are the database's rows to be: the file is as readable as the database.
  struct stat database {};
  unsigned fileMode = ::stat(path_.c_str(), &database) == 0 ? database.st_mode & 0666 : 0600;
  journal_->open(true, fileMode);
  auto table = openConnection(true);
  // What an earlier process accepted and did not merge is merged first, read back from the
  // pending file; a record that a crash cut short was never answered and is dropped.
  std::int64_t merged = table->mergedThrough();
  std::vector<PendingJournal::Record> records = journal_->scan();
  journal_->dropTail();
  std::vector<QueuedBatch> unmerged;
  std::int64_t last = merged;
  for (PendingJournal::Record& r : records) {
    last = std::max(last, r.seq);
    if (r.seq <= merged) continue;
    unmerged.push_back(
        {r.seq, std::move(r.days), {}, r.offset, r.deltaLength, nullptr, {}, r.compact});
  }
  nextSeq_ = last + 1;
  merger_ = std::make_unique<BatchMerger>(*journal_, std::move(table), merged, std::move(unmerged),
                                          std::move(report));
}

StatisticsStore::~StatisticsStore() {
  // The merger finishes what was accepted, then the checkpointer goes: the writers' hook must
  // not reach it once it is gone.
  bool whole = false;
  if (merger_) {
    merger_->stop();
    // With everything merged the pending file goes; what is left unmerged stays for the next
    // start.
    whole = merger_->allMerged();
    if (whole) ::unlink(journal_->path().c_str());
  }
  merger_.reset();
  checkpointer_.reset();
  if (whole) leaveWholeFile();
}

// A stopped server leaves its database in one file, out of WAL mode: a copy of that file is
// the whole database, and a user who may only read it can open it (a WAL database needs its
// -shm file, which such a user cannot make). The next writer puts it back into WAL mode.
void StatisticsStore::leaveWholeFile() {
  std::vector<std::unique_ptr<TableConnection>> idle;
  {
    std::lock_guard lock(pool_->mutex);
    idle.swap(pool_->idle);
  }
  if (idle.empty()) return;
  idle.resize(1);  // the mode changes only on the last connection
  // Refused while another process has the database open (a reader, say): it stays in WAL
  // mode, which is as whole, only in more files, until the next clean stop.
  (void)idle.front()->leaveWalMode();
}

// A reader merges, before it reads, what a server accepted and has not merged yet (a server
// that is still merging, or one that ended before it could).
void StatisticsStore::catchUp() {
  // An empty pending file holds nothing to merge, whoever may open it: a server that has merged
  // everything keeps it empty, readable by its own user alone when an earlier version made it.
  struct stat pending {};
  if (::stat((path_ + "-pending").c_str(), &pending) == 0 && pending.st_size == 0) return;
  PendingJournal journal(path_ + "-pending");
  if (!journal.open(false)) return;  // no pending file: nothing was accepted
  std::vector<PendingJournal::Record> records = journal.scan();
  if (records.empty()) return;
  {
    // Batches merged already but still in the file (a server empties it only when it has
    // merged everything) need nothing written: a reader without the right to write reads on.
    Lease reader(*this);
    std::optional<std::int64_t> merged = reader->readMergedThrough();
    if (merged && records.back().seq <= *merged) return;
  }
  std::unique_ptr<TableConnection> table;
  try {
    table = openConnection(true);
  } catch (const std::exception& e) {
    throw platform::Exception("Database '" + path_ +
                              "': cannot merge the batches the server has accepted: " + e.what());
  }
  std::vector<QueuedBatch> batches;
  for (PendingJournal::Record& r : records) {
    batches.push_back(
        {r.seq, std::move(r.days), {}, r.offset, r.deltaLength, nullptr, {}, r.compact});
  }
  MergeScratch scratch;
  mergeBatches(*table, journal, batches, scratch);
}

std::uint64_t StatisticsStore::checkpointNanos() const {
  return checkpointer_ ? checkpointer_->nanos.load() : 0;
}

std::uint64_t StatisticsStore::mergeNanos() const { return merger_ ? merger_->nanos() : 0; }

std::uint64_t StatisticsStore::mergedBatches() const { return merger_ ? merger_->batches() : 0; }

std::unique_ptr<TableConnection> StatisticsStore::openConnection(bool write) const {
  return std::make_unique<TableConnection>(
      path_, write ? TableConnection::Access::kWrite : TableConnection::Access::kRead,
      mode_ == Mode::kReadWrite, write ? &StatisticsStore::walHook : nullptr,
      const_cast<StatisticsStore*>(this));
}

ApplyCounts StatisticsStore::accept(EmailBatch& batch, Replacement& replacement) {
  if (mode_ == Mode::kReadOnly) {
    throw platform::Exception("Database '" + path_ + "': opened for reading only");
  }
  std::string carried = daysCarried(batch);
  std::string days;
  ApplyCounts counts;
  std::unique_ptr<AcceptedBatch> held;
  {
    // Numbering, writing and queueing go together, so that the merger meets the batches in the
    // order of their numbers; so does taking days from other imports, so that a day taken
    // comes after the changes of the import it was taken from.
    std::lock_guard lock(journal_->mutex());
    std::unordered_set<std::string> lost = owners_->lostTo(carried, replacement.ticket);
    if (!lost.empty()) {
      // Written as it is applied, so that a restart merges the same changes.
      dropDays(batch, lost);
      carried = daysCarried(batch);
    }
    days = daysToReplace(carried, replacement);
    counts = countChanges(batch);
    encodeBatchRecord(batch, record_);
    // The merger holds the batch's compact form, rather than read it back from the pending
    // file, while the batches it holds fit their memory.
    held = merger_->spare(record_.size());
    if (held) std::swap(held->text, record_);  // record_ keeps a buffer for the next batch
    const std::string& record = held ? held->text : record_;
    if (journal_->size() >= pendingBytesMax_) {
      // The file is emptied only when everything in it is merged, which a server that is never
      // quiet may not see for long: past the limit, a call waits for the merge and empties it,
      // so that the file cannot grow without bound.
      merger_->flush();
      journal_->empty();
    }
    std::int64_t seq = nextSeq_;
    std::uint64_t offset = journal_->append(seq, days, record);
    ++nextSeq_;
    merger_->push({seq, days, lastDate(carried), offset, record.size(), std::move(held), {}});
    owners_->take(days, replacement.ticket);
  }
  rememberReplaced(days, replacement, counts);
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
  std::string carried = daysCarried(batch);
  std::unordered_set<std::string> lost = owners_->lostTo(carried, replacement.ticket);
  EmailBatch kept;
  const EmailBatch* applied = &batch;
  if (!lost.empty()) {
    kept.changes = batch.changes;  // views into the caller's batch, which outlives this call
    dropDays(kept, lost);
    applied = &kept;
  }
  ApplyCounts counts = countChanges(*applied);
  std::string days = daysToReplace(daysCarried(*applied), replacement);
  NetChanges net;
  net.add(days, *applied);
  net.settle();
  c->begin();
  try {
    c->write(net);
    c->commit("committing a batch");
  } catch (...) {
    c->rollBack();
    throw;
  }
  owners_->take(days, replacement.ticket);
  rememberReplaced(days, replacement, counts);
  return counts;
}

void StatisticsStore::forEach(const RowFilter& filter,
                              const std::function<void(const EmailRow&)>& row) const {
  flush();
  Lease c(*this);
  c->forEach(filter.branch, filter.from, filter.to, row);
}

void StatisticsStore::forEachAfter(const RowFilter& filter, const std::vector<std::string>& after,
                                   int limit,
                                   const std::function<void(const EmailRow&)>& row) const {
  flush();
  Lease c(*this);
  c->forEachAfter(filter.branch, filter.from, filter.to, after, limit, row);
}

void StatisticsStore::forEachDay(
    const RowFilter& filter,
    const std::function<void(std::string_view, std::int64_t, double, double)>& day) const {
  flush();
  Lease c(*this);
  c->forEachDay(filter.branch, filter.from, filter.to, day);
}

}  // namespace zeb::server
