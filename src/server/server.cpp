#include "server/server.h"

#include <httplib.h>

#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "platform/core/exceptions.h"
#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/json_input.h"
#include "server/rpc_message.h"
#include "server/statistics_backend.h"
#include "server/stats_report.h"

namespace zeb::server {

namespace {

constexpr std::size_t kMaxBody = std::size_t{64} << 20;
constexpr std::size_t kKeptBatchBytes = std::size_t{8} << 20;
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kSessionHeader = "X-Zeb-Session";

std::string objectPath() { return "/rpc/" + std::string(kObjectName); }

std::uint64_t nanosSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

// Faults in what was sent, rather than in what was asked, are refused at the HTTP level too.
int httpStatusFor(int code) {
  return code == kParseError || code == kInvalidRequest || code == kNoSession ? 400 : 200;
}

bool isSessionId(std::string_view id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Enough of a caller's text to recognise it in a message.
std::string excerpt(std::string_view text) {
  return text.size() <= 64 ? std::string(text) : std::string(text.substr(0, 64)) + "...";
}

void answer(httplib::Response& res, int status, std::string body) {
  res.status = status;
  res.set_content(std::move(body), std::string(kJson));
}

// Answers 404 unless the path names the object this server offers.
bool isOurObject(const httplib::Request& req, httplib::Response& res) {
  std::string object = req.matches[1];
  if (object == kObjectName) return true;
  answer(res, 404,
         errorBody("null", kMethodNotFound,
                   "Unknown object '" + excerpt(object) + "': this server offers " +
                       std::string(kObjectName)));
  return false;
}

}  // namespace

struct Server::Impl {
  ServerOptions options;
  std::unique_ptr<StatisticsBackend> store;
  httplib::Server http;
  std::thread thread;
  std::atomic<bool> listenEnded{false};
  int port = 0;
  std::atomic<std::uint64_t> batches{0}, changes{0}, decodeNanos{0}, storeNanos{0};

  void setUpRoutes();
  void handleCall(const httplib::Request& req, httplib::Response& res);
  std::string call(const RpcRequest& request, std::string_view sessionId,
                   std::chrono::steady_clock::time_point started);
};

void Server::Impl::setUpRoutes() {
  const std::string path = "/rpc/([^/]+)";
  http.Get(path, [](const httplib::Request& req, httplib::Response& res) {
    if (!isOurObject(req, res)) return;
    answer(res, 200,
           "{\"object\": \"" + std::string(kObjectName) +
               "\", \"methods\": [\"GetEmail\", \"SetDelEmail\", \"SetEmail\", "
               "\"GetEmailStats\"]}");
  });
  http.Post(path,
            [this](const httplib::Request& req, httplib::Response& res) { handleCall(req, res); });
  // Refusals that httplib makes itself (no route, a body over the limit, a request it cannot
  // read) still answer a JSON-RPC error, so that a caller has one kind of failure to read.
  http.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string message;
        int code = kInvalidRequest;
        if (res.status == 413) {
          message = "The request body of " + req.get_header_value("Content-Length") +
                    " bytes is over the limit of " + std::to_string(kMaxBody) + " bytes (64 MiB)";
        } else if (res.status == 404) {
          code = kMethodNotFound;
          message = "Nothing at " + req.method + " " + excerpt(req.path) +
                    ": the remote object is at " + objectPath() + " (GET: handshake, POST: calls)";
        } else {
          message = "The HTTP request was refused with status " + std::to_string(res.status);
        }
        res.set_content(errorBody("null", code, message), std::string(kJson));
        return httplib::Server::HandlerResponse::Handled;
      }));
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string message = "The server failed";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          message += std::string(": ") + e.what();
        } catch (...) {
        }
        answer(res, 500, errorBody("null", kServerFailure, message));
      });
}

void Server::Impl::handleCall(const httplib::Request& req, httplib::Response& res) {
  auto started = std::chrono::steady_clock::now();
  if (!isOurObject(req, res)) return;
  RpcRequest request;
  try {
    std::string contentType = req.get_header_value("Content-Type");
    if (!std::string_view(contentType).starts_with(kJson)) {
      throw RpcError(kInvalidRequest,
                     "A call must be sent as application/json, not '" + excerpt(contentType) + "'");
    }
    parseRequest(req.body, request);
    if (!req.has_header(std::string(kSessionHeader).c_str())) {
      throw RpcError(kNoSession, "The call has no X-Zeb-Session header naming its import session");
    }
    std::string sessionId = req.get_header_value(std::string(kSessionHeader).c_str());
    if (!isSessionId(sessionId)) {
      throw RpcError(kNoSession,
                     "The X-Zeb-Session header must be 32 lower-case hex characters, "
                     "not '" +
                         excerpt(sessionId) + "'");
    }
    answer(res, 200, resultBody(request.id, call(request, sessionId, started)));
  } catch (const RpcError& e) {
    if (e.code() != kParseError) {
      try {
        checkWellFormed(req.body);
      } catch (const RpcError& parse) {
        answer(res, 400, errorBody("null", parse.code(), parse.what()));
        return;
      }
    }
    answer(res, httpStatusFor(e.code()), errorBody(request.id, e.code(), e.what()));
  } catch (const JsonSyntaxError& e) {
    // The decoders read parts of the body; the whole body is read again for the offset.
    std::string message = e.what();
    try {
      checkWellFormed(req.body);
    } catch (const RpcError& parse) {
      message = parse.what();
    }
    answer(res, 400, errorBody("null", kParseError, message));
  } catch (const std::exception& e) {
    answer(res, 200, errorBody(request.id, kServerFailure, e.what()));
  }
}

// "YYYYMMDD" as "YYYY-MM-DD".
static std::string dashedDate(std::string_view key) {
  return std::string(key.substr(0, 4)) + "-" + std::string(key.substr(4, 2)) + "-" +
         std::string(key.substr(6, 2));
}

static void appendRow(std::string& out, const EmailRow& row) {
  out += '[';
  for (std::size_t i = 0; i < kTextColumnCount; ++i) {
    out += jsonQuoted(row.texts[i]);
    out += ", ";
  }
  out += formatNumber(row.volume);
  out += ", ";
  out += formatNumber(row.count);
  out += ']';
}

static std::string statsPage(const StatisticsBackend& store, const StatsQuery& query) {
  RowFilter filter{query.branch, query.from, query.to};
  std::string out = "{\"rows\": [";
  int rows = 0;
  std::string next = "null";
  store.forEachAfter(filter, query.after, query.pageSize, [&](const EmailRow& row) {
    if (rows++ > 0) out += ", ";
    appendRow(out, row);
    if (rows == query.pageSize) {
      next.clear();
      next += '[';
      for (Column c : {kCDFILIAL, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL, kNMORIGEM, kNMDESTINO}) {
        if (next.size() > 1) next += ", ";
        next += jsonQuoted(row.texts[c]);
      }
      next += ']';
    }
  });
  out += "], \"next\": " + next;
  if (query.after.empty()) {
    std::int64_t rowTotal = 0;
    double messages = 0, bytes = 0;
    std::string days;
    store.forEachDay(filter, [&](std::string_view date, std::int64_t n, double m, double b) {
      if (!days.empty()) days += ", ";
      days += "[\"" + dashedDate(date) + "\", " + formatNumber(m) + ", " + formatNumber(b) + "]";
      rowTotal += n;
      messages += m;
      bytes += b;
    });
    out += ", \"totals\": {\"rows\": " + std::to_string(rowTotal) +
           ", \"messages\": " + formatNumber(messages) + ", \"bytes\": " + formatNumber(bytes) +
           "}, \"days\": [" + days + "]";
  }
  out += '}';
  return out;
}

std::string Server::Impl::call(const RpcRequest& request, std::string_view sessionId,
                               std::chrono::steady_clock::time_point started) {
  if (request.method == "GetEmail") {
    decodeGetEmailParams(request.params);
    store->touchSession(sessionId);
    return "{\"columns\": " + std::string(columnsJson()) + ", \"rows\": []}";
  }
  if (request.method == "SetDelEmail") {
    store->startImport(sessionId, decodeSetDelEmailParams(request.params));
    return "true";
  }
  if (request.method == "SetEmail") {
    // One batch buffer per worker thread, so that its memory is reused from call to call.
    thread_local EmailBatch batch;
    decodeSetEmailParams(request.params, batch);
    checkStorableRows(batch);
    decodeNanos += nanosSince(started);
    auto storeStarted = std::chrono::steady_clock::now();
    std::size_t changeCount = batch.changes.size();
    // The store may take the batch's buffers over and leave others in their place.
    ApplyCounts counts = store->accept(sessionId, request.params, batch);
    storeNanos += nanosSince(storeStarted);
    ++batches;
    changes += changeCount;
    // An unusually large batch does not pin its memory to this thread for good.
    if (batch.arena.capacity() > kKeptBatchBytes) batch = EmailBatch{};
    return "{\"inserted\": " + std::to_string(counts.inserted) +
           ", \"updated\": " + std::to_string(counts.updated) +
           ", \"deleted\": " + std::to_string(counts.deleted) +
           ", \"replacedDays\": " + std::to_string(counts.replacedDays) + "}";
  }
  if (request.method == "GetEmailStats") {
    StatsQuery query = decodeGetEmailStatsParams(request.params);
    store->touchSession(sessionId);
    return statsPage(*store, query);
  }
  throw RpcError(kMethodNotFound, "Unknown method '" + excerpt(request.method) +
                                      "': " + std::string(kObjectName) +
                                      " offers GetEmail, SetDelEmail, SetEmail and GetEmailStats");
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}

Server::~Server() {
  try {
    stop();
  } catch (const std::exception& e) {
    // No exception leaves a destructor: the failure goes to the report, and the batches wait
    // in the pending file for the next start.
    try {
      if (impl_->options.reportFailure) impl_->options.reportFailure(e);
    } catch (...) {
    }
  }
}

void Server::start() {
  Impl& d = *impl_;
  if (d.store) throw platform::Exception("The server has been started already");
  // A server that fails to start leaves no database file behind that it made.
  const std::string& database = d.options.databasePath;
  bool fresh = !isPostgresUri(database) && ::access(database.c_str(), F_OK) != 0;
  d.store = openStatisticsBackend({database, false, d.options.sessionTimeout, d.options.clock,
                                   d.options.reportFailure});
  d.setUpRoutes();
  d.http.set_payload_max_length(kMaxBody);
  d.http.set_tcp_nodelay(true);
  // httplib would also set SO_REUSEPORT, which lets a second server bind the same port and
  // take half of the calls; a port in use must fail instead.
  d.http.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // An import sends a thousand batches or more over one connection. An idle connection is
  // closed after a second (clients reconnect by themselves), so that stopping the server never
  // waits long for a client that holds one open.
  d.http.set_keep_alive_max_count(100000);
  d.http.set_keep_alive_timeout(1);
  int port = d.options.port;
  if (port == 0) {
    port = d.http.bind_to_any_port(d.options.host);
  } else if (!d.http.bind_to_port(d.options.host, port)) {
    port = -1;
  }
  if (port < 0) {
    d.store.reset();
    if (fresh) {
      for (const char* suffix : {"", "-wal", "-shm", "-pending"}) ::unlink((database + suffix).c_str());
    }
    throw platform::Exception("Cannot listen on " + d.options.host + ":" +
                              std::to_string(d.options.port) +
                              ": the address is in use or not available");
  }
  d.port = port;
  d.listenEnded = false;
  d.thread = std::thread([&d] {
    d.http.listen_after_bind();
    d.listenEnded = true;
  });
  while (!d.http.is_running() && !d.listenEnded) std::this_thread::yield();
}

void Server::stop() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) return;
  d.http.stop();
  d.thread.join();
  d.store->flush();
}

Server::Answer Server::post(std::string_view object, std::string_view contentType,
                            const std::string* session, std::string body) {
  Impl& d = *impl_;
  if (!d.store) throw platform::Exception("The server has not been started");
  httplib::Request req;
  req.method = "POST";
  req.path = objectPath().substr(0, 5) + std::string(object);
  // The route's pattern, so that the object is read from the path as a routed call reads it.
  static const std::regex route("/rpc/([^/]+)");
  if (!std::regex_match(req.path, req.matches, route)) {
    return {404, errorBody("null", kMethodNotFound, "Nothing at POST " + excerpt(req.path))};
  }
  req.set_header("Content-Type", std::string(contentType));
  if (session != nullptr) req.set_header(std::string(kSessionHeader), *session);
  req.body = std::move(body);
  httplib::Response res;
  d.handleCall(req, res);
  return {res.status, std::move(res.body)};
}

const std::string& Server::host() const { return impl_->options.host; }

int Server::port() const { return impl_->port; }

ServerMetrics Server::metrics() const {
  StoreMetrics store = impl_->store ? impl_->store->metrics() : StoreMetrics{};
  return {impl_->batches.load(),    impl_->changes.load(),  impl_->decodeNanos.load(),
          impl_->storeNanos.load(), store.checkpointNanos, store.mergeNanos,
          store.mergedBatches};
}

void Server::flush() {
  if (impl_->store) impl_->store->flush();
}

}  // namespace zeb::server
