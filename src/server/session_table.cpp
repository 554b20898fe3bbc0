#include "server/session_table.h"

namespace zeb::server {

SessionTable::SessionTable(Clock::duration timeout, std::function<Clock::time_point()> now)
    : timeout_(timeout), now_(now ? std::move(now) : [] { return Clock::now(); }) {
  lastSweep_ = now_();
}

std::shared_ptr<SessionTable::Session> SessionTable::touch(std::string_view id) {
  Clock::time_point now = now_();
  std::lock_guard lock(mutex_);
  // A sweep now and then keeps the table from growing with sessions that never come back.
  if (now - lastSweep_ >= timeout_ / 8) dropExpired(now);
  auto it = sessions_.find(std::string(id));
  if (it == sessions_.end()) {
    it = sessions_.emplace(std::string(id), Entry{std::make_shared<Session>(), now}).first;
  } else if (now - it->second.lastUsed > timeout_) {
    // Not swept yet, but expired all the same.
    it->second.session = std::make_shared<Session>();
  }
  it->second.lastUsed = now;
  return it->second.session;
}

std::size_t SessionTable::size() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

void SessionTable::dropExpired(Clock::time_point now) {
  lastSweep_ = now;
  std::erase_if(sessions_, [&](const auto& item) { return now - item.second.lastUsed > timeout_; });
}

}  // namespace zeb::server
