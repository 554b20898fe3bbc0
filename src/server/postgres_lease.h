// A connection of the PostgreSQL backend's pool, held for one call: taken from the idle ones (or
// made), and given back when the call ends, its transaction rolled back if a failure left one
// open; a connection the server has dropped is not given back.
#pragma once

#include <memory>
#include <mutex>

#include "server/pg_connection.h"
#include "server/postgres_backend.h"

namespace zeb::server {

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

}  // namespace zeb::server
