// The import sessions that callers name in the X-Zeb-Session header, each with what it has
// asked to be replaced. A session is made by its first call and forgotten once it has been
// quiet for the timeout; a later call under the same id then starts afresh, with nothing marked.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/import_rules.h"

namespace zeb::server {

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  struct Session {
    // Held while a call of this session reads or changes "replacement".
    std::mutex mutex;
    Replacement replacement;
  };

  // "now" answers the time; empty means Clock::now.
  explicit SessionTable(Clock::duration timeout, std::function<Clock::time_point()> now = {});

  // The session "id", made when unknown or expired, and marked as used now. Sessions quiet for
  // longer than the timeout are dropped on the way. Thread-safe.
  std::shared_ptr<Session> touch(std::string_view id);

  std::size_t size() const;

 private:
  struct Entry {
    std::shared_ptr<Session> session;
    Clock::time_point lastUsed;
  };
  void dropExpired(Clock::time_point now);

  Clock::duration timeout_;
  std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> sessions_;
  Clock::time_point lastSweep_;
};

}  // namespace zeb::server
