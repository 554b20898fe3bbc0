// The application server: the remote object "ZEB18000.rdmImpEmailInt" with GetEmail,
// SetDelEmail and SetEmail, served as JSON-RPC 2.0 over HTTP/1.1 and stored
// by a storage backend (statistics_backend.h): SQLite, or PostgreSQL shared by several servers.
//
//   GET  /rpc/ZEB18000.rdmImpEmailInt   the handshake: the object and its methods
//   POST /rpc/ZEB18000.rdmImpEmailInt   one call; header X-Zeb-Session: 32 lower-case hex
//
// The rules:
//  - GetEmail() answers the cdsDados layout with no rows.
//  - SetDelEmail(year, month, day) starts an import in the calling session: it marks the date
//    from which stored statistics are to be replaced and forgets what the session replaced
//    before. Nothing is deleted yet.
//  - SetEmail(delta) refuses a batch with a row that no import produces (checkStorableRows() in
//    email_params.h: an impossible date, a count or volume that is not a whole number of its
//    range, period codes of another month), storing nothing of it. Otherwise it takes the batch
//    whole, as StatisticsStore::accept() says: each (branch, day) on or after the mark that the
//    batch carries and that the session has not replaced yet loses its stored rows first; then
//    the changes are applied. The call answers once the batch is safe: with SQLite in the
//    pending file, which the store merges into the table behind; with PostgreSQL committed.
//  - A session that has been quiet for the timeout is forgotten, mark and all; a later SetEmail
//    under its id replaces nothing (its rows overwrite rows with the same key and no stored
//    row is deleted), because replacing again could delete what the same import sent before.
// Every fault becomes a JSON-RPC error with a clear message; nothing is changed and the server
// goes on serving. Faults in what was sent answer HTTP 400 (not JSON: -32700; not a request or
// not application/json: -32600; no or a malformed session header: -32001), 404 another object
// or path (-32601), 413 a body over 64 MiB (-32600); faults in what was asked answer 200
// (unknown method -32601, bad params -32602, database failure -32000).
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace zeb::server {

struct ServerOptions {
  std::string host = "127.0.0.1";  // loopback unless told otherwise
  int port = 18000;                // 0: any free port; port() tells which
  // A SQLite file, or a PostgreSQL URI (postgresql://... or postgres://...).
  std::string databasePath = "zeb18000.db";
  std::chrono::steady_clock::duration sessionTimeout = std::chrono::hours(1);
  // The clock that sessions expire by; empty means std::chrono::steady_clock::now.
  std::function<std::chrono::steady_clock::time_point()> clock;
  // Hears of a failure in the background as it happens, on a thread of the server's (a merge
  // that fails and is retried, reported once until it succeeds), and, on the destroying
  // thread, of a failed merge when the server is destroyed without stop(). The server prints
  // nothing itself; empty: such failures reach only flush() and stop().
  std::function<void(const std::exception& failure)> reportFailure;
};

// Where the server's own time went, summed over the SetEmail calls since start().
struct ServerMetrics {
  std::uint64_t batches = 0;      // SetEmail calls stored
  std::uint64_t changes = 0;      // their changes
  std::uint64_t decodeNanos = 0;  // reading requests and deltas
  std::uint64_t storeNanos = 0;   // accepting the batches (writing them to the pending file)
  // Copying the write-ahead log back into the database, on a background thread, for every
  // call together.
  std::uint64_t checkpointNanos = 0;
  // Merging the accepted batches into the table, on the merger's thread, and how many.
  std::uint64_t mergeNanos = 0;
  std::uint64_t mergedBatches = 0;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  // Stops the server if it is running.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the database and starts serving on a background thread; returns once the server
  // accepts connections. Throws Exception when the database cannot be opened or the address
  // cannot be bound. A server starts once; after stop() a new one is made.
  void start();
  // Stops accepting, lets the calls in progress end, and joins the thread; the batches accepted
  // are merged before it returns. When merging fails, the server is stopped all the same and
  // the failure is raised as flush() raises it: the batches stay in the pending file, merged
  // when the database is next opened. Safe to call twice; a second call does nothing.
  void stop();
  // Waits until every batch accepted so far is in the table. Throws the merge's failure as it
  // was raised (Exception of the table, EInOutError of the pending file) when merging fails.
  void flush();

  // An answer as the server sends it over HTTP: the status and the JSON-RPC body.
  struct Answer {
    int status = 0;
    std::string body;
  };
  // Answers a POST to /rpc/OBJECT with this body, content type and X-Zeb-Session header (none
  // when "session" is null) as it answers one that comes over HTTP, without a socket: for tools
  // that drive the request decoding directly. Needs start().
  Answer post(std::string_view object, std::string_view contentType, const std::string* session,
              std::string body);

  const std::string& host() const;
  int port() const;  // the bound port, once started
  ServerMetrics metrics() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zeb::server
