#include "server/sqlite_backend.h"

#include <mutex>

namespace zeb::server {

SqliteBackend::SqliteBackend(const BackendOptions& options)
    : store_(options.database,
             options.readOnly ? StatisticsStore::Mode::kReadOnly : StatisticsStore::Mode::kReadWrite,
             StatisticsStore::kPendingBytesMax, options.reportFailure),
      sessions_(options.sessionTimeout, options.clock) {}

void SqliteBackend::touchSession(std::string_view session) { sessions_.touch(session); }

void SqliteBackend::startImport(std::string_view session, const std::string& from) {
  auto s = sessions_.touch(session);
  std::lock_guard lock(s->mutex);
  s->replacement.from = from;
  s->replacement.replaced.clear();
  s->replacement.ticket = store_.nextTicket();
}

ApplyCounts SqliteBackend::accept(std::string_view session, std::string_view /*text*/,
                                  EmailBatch& batch) {
  auto s = sessions_.touch(session);
  // One batch of a session at a time: what it replaces depends on what the one before replaced.
  std::lock_guard lock(s->mutex);
  return store_.accept(batch, s->replacement);
}

void SqliteBackend::flush() { store_.flush(); }

void SqliteBackend::forEach(const RowFilter& filter,
                            const std::function<void(const EmailRow&)>& row) const {
  store_.forEach(filter, row);
}

void SqliteBackend::forEachAfter(const RowFilter& filter, const std::vector<std::string>& after,
                                 int limit,
                                 const std::function<void(const EmailRow&)>& row) const {
  store_.forEachAfter(filter, after, limit, row);
}

void SqliteBackend::forEachDay(
    const RowFilter& filter,
    const std::function<void(std::string_view, std::int64_t, double, double)>& day) const {
  store_.forEachDay(filter, day);
}

StoreMetrics SqliteBackend::metrics() const {
  return {store_.checkpointNanos(), store_.mergeNanos(), store_.mergedBatches()};
}

}  // namespace zeb::server
