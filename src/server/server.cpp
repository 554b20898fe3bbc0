#include "server/server.h"

#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "platform/core/exceptions.h"
#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/http_server.h"
#include "server/json_input.h"
#include "server/params_in_place.h"
#include "server/rpc_message.h"
#include "server/statistics_backend.h"
#include "server/stats_report.h"

namespace zeb::server {

namespace {

constexpr std::size_t kKeptBatchBytes = std::size_t{8} << 20;

// One batch buffer per worker thread, so that its memory is reused from call to call.
EmailBatch& workerBatch() {
  thread_local EmailBatch batch;
  return batch;
}

namespace protocol = platform::net::protocol;
constexpr std::string_view kJson = protocol::kContentType;
constexpr std::string_view kSessionHeader = protocol::kSessionHeader;

std::string objectPath() { return std::string(protocol::kObjectPath); }

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
  if (id.size() != protocol::kSessionIdLength) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Enough of a caller's text to recognise it in a message.
std::string excerpt(std::string_view text) {
  return text.size() <= 64 ? std::string(text) : std::string(text.substr(0, 64)) + "...";
}

using TokenDigest = std::array<unsigned char, 32>;

// Tokens are compared by their SHA-256 digests, in constant time, so that neither the time
// taken nor the length of the comparison tells a caller how much of a guess was right.
TokenDigest digestOf(std::string_view text) {
  TokenDigest digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

// True when every address that "host" names is a loopback one.
bool isLoopback(const std::string& host) {
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool loopback = found != nullptr;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      auto address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      loopback = loopback && (address >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      loopback = loopback && IN6_IS_ADDR_LOOPBACK(
                                 &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

std::string sizeText(std::size_t bytes) {
  if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % (std::size_t{1} << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
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

// What a request leaves for its log record as it goes.
struct CallNote {
  std::string session;
  std::string method;
  std::size_t rows = 0;
  int code = 0;  // the JSON-RPC error answered, if any
  std::string message;
};

struct Server::Impl {
  ServerOptions options;
  std::unique_ptr<StatisticsBackend> store;
  std::unique_ptr<HttpServer> http;
  bool haveToken = false;
  TokenDigest tokenDigest{};
  std::thread thread;
  std::atomic<bool> listenEnded{false};
  int port = 0;
  std::atomic<std::uint64_t> batches{0}, changes{0}, decodeNanos{0}, storeNanos{0};

  void setUpRoutes();
  bool authorized(const httplib::Request& req, httplib::Response& res) const;
  void handleCall(const httplib::Request& req, httplib::Response& res, CallNote& note);
  std::string call(const RpcRequest& request, std::string_view sessionId,
                   std::chrono::steady_clock::time_point started, CallNote& note);
  void record(const CallNote& note, const httplib::Response& res,
              std::chrono::system_clock::time_point time,
              std::chrono::steady_clock::time_point started) const;
};

bool Server::Impl::authorized(const httplib::Request& req, httplib::Response& res) const {
  if (!haveToken) return true;
  std::string given = req.get_header_value(std::string(protocol::kAuthorizationHeader).c_str());
  std::string_view scheme = std::string_view(given).substr(0, protocol::kBearerPrefix.size());
  bool bearer = scheme.size() == protocol::kBearerPrefix.size() &&
                std::equal(scheme.begin(), scheme.end(), protocol::kBearerPrefix.begin(),
                           [](char a, char b) { return std::tolower(a) == std::tolower(b); });
  if (bearer) {
    TokenDigest digest = digestOf(std::string_view(given).substr(scheme.size()));
    if (CRYPTO_memcmp(digest.data(), tokenDigest.data(), digest.size()) == 0) return true;
  }
  res.set_header("WWW-Authenticate", "Bearer realm=\"zeb18000\"");
  answer(res, 401,
         errorBody("null", kUnauthorized,
                   bearer ? "The call's token is not this server's: nothing was done"
                          : "The call carries no token: this server takes calls with the "
                            "header 'Authorization: Bearer TOKEN' only, and nothing was done"));
  return false;
}

void Server::Impl::record(const CallNote& note, const httplib::Response& res,
                          std::chrono::system_clock::time_point time,
                          std::chrono::steady_clock::time_point started) const {
  if (!options.logCall) return;
  CallRecord r;
  r.time = time;
  r.session = note.session;
  r.method = note.method;
  r.rows = note.rows;
  r.status = res.status;
  r.code = note.code;
  r.message = note.message;
  r.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  try {
    options.logCall(r);
  } catch (...) {
    // A log that cannot be written does not fail the call that was answered.
  }
}

void Server::Impl::setUpRoutes() {
  const std::string path = std::string(protocol::kPathPrefix) + "([^/]+)";
  // The token is checked before the body is read, so that a caller without it cannot make the
  // server read megabytes; the connection is then closed, its body unread.
  http->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (authorized(req, res)) return httplib::Server::HandlerResponse::Unhandled;
    HttpServer::closeAfterAnswer();
    res.set_header("Connection", "close");
    CallNote note;
    std::string session = req.get_header_value(std::string(kSessionHeader).c_str());
    if (isSessionId(session)) note.session = session;
    note.code = kUnauthorized;
    note.message = "no valid token";
    record(note, res, std::chrono::system_clock::now(), std::chrono::steady_clock::now());
    return httplib::Server::HandlerResponse::Handled;
  });
  http->Get(path, [this](const httplib::Request& req, httplib::Response& res) {
    auto time = std::chrono::system_clock::now();
    auto started = std::chrono::steady_clock::now();
    CallNote note;
    note.method = "(describe)";
    if (isOurObject(req, res)) {
      answer(res, 200,
             "{\"object\": \"" + std::string(kObjectName) +
                 "\", \"methods\": [\"GetEmail\", \"SetDelEmail\", \"SetEmail\", "
                 "\"GetEmailStats\"]}");
    } else {
      note.code = kMethodNotFound;
      note.message = "unknown object";
    }
    record(note, res, time, started);
  });
  http->Post(path, [this](const httplib::Request& req, httplib::Response& res) {
    auto time = std::chrono::system_clock::now();
    auto started = std::chrono::steady_clock::now();
    CallNote note;
    handleCall(req, res, note);
    record(note, res, time, started);
  });
  // Refusals that httplib makes itself (no route, a body over the limit, a request it cannot
  // read) still answer a JSON-RPC error, so that a caller has one kind of failure to read.
  std::size_t maxBody = options.limits.maxBodyBytes;
  http->set_error_handler(httplib::Server::HandlerWithResponse(
      [maxBody](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string message;
        int code = kInvalidRequest;
        if (res.status == 413) {
          message = "The request body of " + req.get_header_value("Content-Length") +
                    " bytes is over the limit of " + std::to_string(maxBody) + " bytes (" +
                    sizeText(maxBody) + ")";
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
  http->set_exception_handler(
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
  http->setRefusalBody(
      [](const std::string& message) { return errorBody("null", kInvalidRequest, message); });
}

void Server::Impl::handleCall(const httplib::Request& req, httplib::Response& res, CallNote& note) {
  auto started = std::chrono::steady_clock::now();
  auto fail = [&](int status, std::string_view id, int code, const std::string& message) {
    note.code = code;
    note.message = message;
    answer(res, status, errorBody(id, code, message));
  };
  if (!isOurObject(req, res)) {
    note.code = kMethodNotFound;
    note.message = "unknown object";
    return;
  }
  RpcRequest request;
  try {
    std::string contentType = req.get_header_value("Content-Type");
    if (!std::string_view(contentType).starts_with(kJson)) {
      throw RpcError(kInvalidRequest,
                     "A call must be sent as application/json, not '" + excerpt(contentType) + "'");
    }
    // A SetEmail body is parsed once: its delta is decoded while the envelope is read. When
    // anything fails that way, the body is read again as any other, so that the fault comes out
    // in the order that the checks give it.
    EmailBatch& batch = workerBatch();
    const ParamsInPlace setEmail{"SetEmail", [&](json::Input& input, json::value params) {
                                   decodeSetEmailParams(input, params, req.body.size(), batch);
                                 }};
    try {
      parseRequest(req.body, request, setEmail);
    } catch (...) {
      parseRequest(req.body, request);
    }
    note.method = request.method;
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
    note.session = sessionId;
    std::string result = call(request, sessionId, started, note);
    if (!request.hasId) {
      res.status = 204;
      return;
    }
    answer(res, 200, resultBody(request.id, result));
  } catch (const RpcError& e) {
    if (e.code() != kParseError) {
      try {
        checkWellFormed(req.body);
      } catch (const RpcError& parse) {
        fail(400, "null", parse.code(), parse.what());
        return;
      }
    }
    note.code = e.code();
    note.message = e.what();
    // A notification is answered nothing, unless it could not be read as a request at all.
    bool readable = e.code() != kParseError && e.code() != kInvalidRequest;
    if (!request.hasId && readable) {
      res.status = 204;
      return;
    }
    fail(httpStatusFor(e.code()), request.id, e.code(), e.what());
  } catch (const JsonSyntaxError& e) {
    // The decoders read parts of the body; the whole body is read again for the offset.
    std::string message = e.what();
    try {
      checkWellFormed(req.body);
    } catch (const RpcError& parse) {
      message = parse.what();
    }
    fail(400, "null", kParseError, message);
  } catch (const std::exception& e) {
    if (!request.hasId) {
      note.code = kServerFailure;
      note.message = e.what();
      res.status = 204;
      return;
    }
    fail(200, request.id, kServerFailure, e.what());
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

static std::string statsPage(const StatisticsBackend& store, const StatsQuery& query,
                             std::size_t& rowsAnswered) {
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
  rowsAnswered = static_cast<std::size_t>(rows);
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
                               std::chrono::steady_clock::time_point started, CallNote& note) {
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
    EmailBatch& batch = workerBatch();
    if (!request.paramsRead) decodeSetEmailParams(request.params, batch);
    checkStorableRows(batch);
    decodeNanos += nanosSince(started);
    auto storeStarted = std::chrono::steady_clock::now();
    std::size_t changeCount = batch.changes.size();
    note.rows = changeCount;
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
    return statsPage(*store, query, note.rows);
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
  const std::string where = d.options.host + ":" + std::to_string(d.options.port);
  if (d.options.token.empty() && !isLoopback(d.options.host)) {
    throw platform::Exception(
        "Not listening on " + where +
        " without a token: anyone who can reach that address could change the statistics. "
        "Give the server a token (serve --token-file FILE, or ZEB_TOKEN_FILE) and the same "
        "token to its clients, or listen on a loopback address such as 127.0.0.1");
  }
  if (d.options.tlsCertFile.empty() != d.options.tlsKeyFile.empty()) {
    throw platform::Exception("TLS needs both a certificate and its key");
  }
  std::shared_ptr<TlsContext> tls;
  if (!d.options.tlsCertFile.empty()) {
    tls = std::make_shared<TlsContext>(d.options.tlsCertFile, d.options.tlsKeyFile);
  }
  d.haveToken = !d.options.token.empty();
  if (d.haveToken) d.tokenDigest = digestOf(d.options.token);
  d.http = std::make_unique<HttpServer>(d.options.limits, tls);
  // A server that fails to start leaves no database file behind that it made.
  const std::string& database = d.options.databasePath;
  bool fresh = !isPostgresUri(database) && ::access(database.c_str(), F_OK) != 0;
  d.store = openStatisticsBackend({database, false, d.options.sessionTimeout, d.options.clock,
                                   d.options.reportFailure});
  d.setUpRoutes();
  // httplib would also set SO_REUSEPORT, which lets a second server bind the same port and
  // take half of the calls; a port in use must fail instead.
  d.http->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  int port = d.options.port;
  if (port == 0) {
    port = d.http->bind_to_any_port(d.options.host);
  } else if (!d.http->bind_to_port(d.options.host, port)) {
    port = -1;
  }
  if (port < 0) {
    d.store.reset();
    if (fresh) {
      for (const char* suffix : {"", "-wal", "-shm", "-pending"}) ::unlink((database + suffix).c_str());
    }
    throw platform::Exception("Cannot listen on " + where +
                              ": the address is in use or not available");
  }
  d.port = port;
  d.listenEnded = false;
  d.http->startConnections();
  d.thread = std::thread([&d] {
    d.http->listen_after_bind();
    d.listenEnded = true;
  });
  while (!d.http->is_running() && !d.listenEnded) std::this_thread::yield();
}

void Server::stop() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) return;
  d.http->stop();
  d.thread.join();
  d.http->stopConnections();
  d.store->flush();
}

Server::Answer Server::post(std::string_view object, std::string_view contentType,
                            const std::string* session, std::string body) {
  Impl& d = *impl_;
  if (!d.store) throw platform::Exception("The server has not been started");
  httplib::Request req;
  req.method = "POST";
  req.path = std::string(protocol::kPathPrefix) + std::string(object);
  // The route's pattern, so that the object is read from the path as a routed call reads it.
  static const std::regex route(std::string(protocol::kPathPrefix) + "([^/]+)");
  if (!std::regex_match(req.path, req.matches, route)) {
    return {404, errorBody("null", kMethodNotFound, "Nothing at POST " + excerpt(req.path))};
  }
  req.set_header("Content-Type", std::string(contentType));
  if (session != nullptr) req.set_header(std::string(kSessionHeader), *session);
  req.body = std::move(body);
  httplib::Response res;
  CallNote note;
  d.handleCall(req, res, note);
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
