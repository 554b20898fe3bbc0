// The merge of the PostgreSQL backend: the thread of each server that merges the batches pending
// in the database into the table (postgres_backend.h says how), while batches keep coming.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "server/net_changes.h"
#include "server/pg_connection.h"
#include "server/postgres_backend.h"

namespace zeb::server {

// Merges the batches pending in the database on a thread of its own, over a connection of its
// own, while batches keep coming; first whatever an earlier server left pending.
class PostgresBackend::Merger {
 public:
  // Starts the thread.
  explicit Merger(const PostgresBackend& backend);
  // Stops the thread once its merge under way, if any, has ended; what is still pending is left
  // to flush().
  ~Merger();
  Merger(const Merger&) = delete;
  Merger& operator=(const Merger&) = delete;

  // A batch has been accepted.
  void accepted();

 private:
  using Clock = std::chrono::steady_clock;

  void run();
  // Merges until nothing is pending, or nothing of whole days; false when a merge failed
  // (reported). "left": batches of days not yet whole were left pending.
  bool mergeAll(bool wholeDays, bool& left);

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

}  // namespace zeb::server
