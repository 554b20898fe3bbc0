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
// not application/json: -32600; no or a malformed session header: -32001), 401 a missing or
// wrong token when the server has one (-32002), 404 another object or path (-32601), 413 a body
// over the limit (-32600), 431 a head over the limits, 408 a head that comes too slowly; faults
// in what was asked answer 200 (unknown method -32601, bad params -32602, database failure
// -32000). A notification (a request without "id") is carried out and answered 204 with no
// body, whatever its outcome, unless its body is not a valid request.
//
// With a token, every request under /rpc/ must carry "Authorization: Bearer TOKEN"; the token
// is compared in constant time and never appears in an answer or a log record. A server
// without a token listens only on a loopback address. With a certificate and key it speaks
// HTTPS only. The connections are handled as http_server.h says, within ServerOptions::limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/http_limits.h"

namespace zeb::server {

// One request as the server's log has it; see ServerOptions::logCall.
struct CallRecord {
  std::chrono::system_clock::time_point time;  // when it came
  std::string session;   // the X-Zeb-Session header when well-formed, else empty
  std::string method;    // the JSON-RPC method; "(describe)" for the handshake; empty if unread
  std::size_t rows = 0;  // SetEmail: the changes taken; GetEmailStats: the rows answered
  int status = 0;        // the HTTP status answered
  int code = 0;          // the JSON-RPC error code, 0 when the call succeeded
  std::string message;   // the error's message, empty when the call succeeded
  double milliseconds = 0;
};

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
  // Called once for every request under /rpc/ after it is answered, on the worker's thread,
  // possibly from several at once. Empty: nothing is recorded.
  std::function<void(const CallRecord& call)> logCall;
  // The token that every request must carry; empty: none is asked for (loopback only).
  std::string token;
  // Both set: HTTPS with this PEM certificate (chain) and key; start() throws Exception when
  // they cannot be loaded. Both empty: plain HTTP.
  std::string tlsCertFile;
  std::string tlsKeyFile;
  HttpLimits limits;
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
  // accepts connections. Throws Exception when the database cannot be opened, the address
  // cannot be bound, the TLS files cannot be loaded, or the address is not a loopback one and
  // there is no token (then nothing is opened). A server starts once; after stop() a new one is
  // made.
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
