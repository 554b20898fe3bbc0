#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the watching thread reads at a time: a head is small, and an idle connection should
// not keep a large buffer.
constexpr std::size_t kHeadChunk = 4096;
// What a worker reads at a time: bodies are large.
constexpr std::size_t kBodyChunk = std::size_t{64} << 10;
// How long a worker that has answered waits for the same client's next request before handing
// the connection back, when no other request waits for a worker.
constexpr milliseconds kLinger{2};
// Connections the kernel keeps for us to accept. A full queue drops new connections' SYNs, which
// their clients retry after 1, 3, 7... seconds: a long queue serves a flood's neighbours better.
constexpr int kBacklog = 4096;

std::string opensslReason() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "no reason given" : text;
}

void checkReadable(const std::string& path, const char* what) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    throw platform::Exception(std::string("Cannot read the TLS ") + what + " " + path + ": " +
                              std::strerror(errno));
  }
  std::fclose(file);
}

// Runs each accepted socket's task at once on the accepting thread: the task only hands the
// socket over (process_and_close_socket), so accepting never waits for a worker.
class HandOver : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

int pollOne(int fd, short events, milliseconds timeout) {
  pollfd watch{fd, events, 0};
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    int n = ::poll(&watch, 1, static_cast<int>(std::max<milliseconds::rep>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

thread_local bool closeAfterThisAnswer = false;

// Where the head that "data" begins with ends (after its blank line); npos while it is
// incomplete. A bare line feed ends a line as well as CR LF does, as for httplib's reader.
std::size_t headEnd(std::string_view data) {
  for (std::size_t at = data.find('\n'); at != std::string_view::npos;
       at = data.find('\n', at + 1)) {
    std::size_t next = at + 1;
    if (next < data.size() && data[next] == '\n') return next + 1;
    if (next + 1 < data.size() && data[next] == '\r' && data[next + 1] == '\n') return next + 2;
  }
  return std::string_view::npos;
}

bool equalsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// How far the watching thread can take a request whose head, "headLength" bytes, begins "data".
enum class Framing {
  kIncomplete,  // its body is still arriving
  kComplete,    // all of it is there: a worker answers it without waiting for the client
  kWorker,      // a worker is to judge it as it comes: a body it refuses (too large, framed
                // wrongly), or one that its client sends only once told to go on
};

// Whether the chunked body that begins "body" has arrived whole, up to its last chunk and the
// blank line after the trailers.
Framing chunkedFraming(std::string_view body, std::size_t maxBody) {
  std::size_t at = 0, total = 0;
  for (;;) {
    std::size_t lineEnd = body.find('\n', at);
    if (lineEnd == std::string_view::npos) {
      return body.size() - at > 1024 ? Framing::kWorker : Framing::kIncomplete;
    }
    std::string_view line = trimmed(body.substr(at, lineEnd - at));
    line = line.substr(0, line.find(';'));
    std::size_t size = 0;
    if (line.empty() || line.size() > 15) return Framing::kWorker;
    for (char c : line) {
      int digit = std::isdigit(static_cast<unsigned char>(c))         ? c - '0'
                  : std::isxdigit(static_cast<unsigned char>(c)) != 0 ? std::tolower(c) - 'a' + 10
                                                                      : -1;
      if (digit < 0) return Framing::kWorker;
      size = size * 16 + static_cast<std::size_t>(digit);
    }
    total += size;
    if (total > maxBody) return Framing::kWorker;
    at = lineEnd + 1;
    if (size == 0) {
      // The trailers, up to a blank line.
      for (;;) {
        std::size_t end = body.find('\n', at);
        if (end == std::string_view::npos) {
          return body.size() - at > 8192 ? Framing::kWorker : Framing::kIncomplete;
        }
        if (trimmed(body.substr(at, end - at)).empty()) return Framing::kComplete;
        at = end + 1;
      }
    }
    // The chunk's data and the line end after it.
    if (body.size() < at + size + 1) return Framing::kIncomplete;
    at += size;
    if (body[at] == '\r') ++at;
    if (at >= body.size()) return Framing::kIncomplete;
    if (body[at] != '\n') return Framing::kWorker;
    ++at;
  }
}

Framing requestFraming(std::string_view data, std::size_t headLength, std::size_t maxBody) {
  std::string_view head = data.substr(0, headLength);
  std::string_view length, encoding;
  bool lengthTwice = false;
  for (std::size_t at = head.find('\n'); at != std::string_view::npos;) {
    std::size_t end = head.find('\n', at + 1);
    if (end == std::string_view::npos) break;
    std::string_view line = head.substr(at + 1, end - at - 1);
    at = end;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsFolded(name, "Content-Length")) {
      lengthTwice = !length.empty();
      length = value;
    } else if (equalsFolded(name, "Transfer-Encoding")) {
      encoding = value;
    } else if (equalsFolded(name, "Expect")) {
      return Framing::kWorker;
    }
  }
  std::string_view body = data.substr(headLength);
  if (!encoding.empty()) {
    return equalsFolded(encoding, "chunked") ? chunkedFraming(body, maxBody) : Framing::kWorker;
  }
  if (length.empty()) return Framing::kComplete;
  if (lengthTwice || length.size() > 15) return Framing::kWorker;
  std::size_t size = 0;
  for (char c : length) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return Framing::kWorker;
    size = size * 10 + static_cast<std::size_t>(c - '0');
  }
  if (size > maxBody) return Framing::kWorker;
  return body.size() >= size ? Framing::kComplete : Framing::kIncomplete;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 408:
      return "Request Timeout";
    case 400:
      return "Bad Request";
    case 431:
      return "Request Header Fields Too Large";
    default:
      return "Service Unavailable";
  }
}

}  // namespace

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
  checkReadable(certFile, "certificate");
  checkReadable(keyFile, "key");
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) throw platform::Exception("Cannot set up TLS: " + opensslReason());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  auto fail = [this](const std::string& what) {
    std::string reason = opensslReason();
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    return platform::Exception(what + ": " + reason);
  };
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
    throw fail("Cannot load the TLS certificate " + certFile);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw fail("Cannot load the TLS key " + keyFile);
  }
  if (SSL_CTX_check_private_key(ctx_) != 1) {
    throw fail("The TLS key " + keyFile + " does not belong to the certificate " + certFile);
  }
}

TlsContext::~TlsContext() {
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

struct HttpServer::Connection {
  Connection(int socket, std::atomic<int>& openCount) : fd(socket), open(openCount) { ++open; }
  ~Connection() {
    if (ssl != nullptr) {
      // A courtesy to the client, without waiting for its answer.
      if (handshakeDone) SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    --open;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::size_t pending() const { return buffer.size() - offset; }
  std::string_view data() const { return std::string_view(buffer).substr(offset); }
  void consume(std::size_t n) { offset += n; }

  // Reads what the socket has now, at most "chunk" bytes, without waiting: the count read,
  // 0 at the end of the stream, -1 when it has nothing yet (wantWrite says which way to wait),
  // -2 when the connection failed.
  ssize_t receive(std::size_t chunk) {
    if (offset == buffer.size()) {
      buffer.clear();
      offset = 0;
    }
    std::size_t old = buffer.size();
    buffer.resize(old + chunk);
    ssize_t n;
    for (;;) {
      if (ssl != nullptr) {
        ERR_clear_error();
        int got = SSL_read(ssl, buffer.data() + old, static_cast<int>(chunk));
        if (got > 0) {
          n = got;
          wantWrite = false;
        } else {
          int error = SSL_get_error(ssl, got);
          n = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? -1
              : error == SSL_ERROR_ZERO_RETURN                              ? 0
                                                                            : -2;
          wantWrite = error == SSL_ERROR_WANT_WRITE;
        }
      } else {
        n = ::recv(fd, buffer.data() + old, chunk, 0);
        if (n < 0) {
          if (errno == EINTR) continue;
          n = errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
        }
      }
      break;
    }
    buffer.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return n;
  }

  // Writes all of "text" if the socket takes it now; a refusal that cannot wait.
  void sendNow(std::string_view text) {
    if (ssl != nullptr && tlsChecked) {
      if (handshakeDone) SSL_write(ssl, text.data(), static_cast<int>(text.size()));
    } else {
      (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }

  int fd;
  std::atomic<int>& open;
  SSL* ssl = nullptr;
  bool handshakeDone = true;  // set false while a TLS handshake is under way
  bool tlsChecked = false;    // the first byte was seen to start a TLS handshake
  bool wantWrite = false;
  std::string buffer;  // received and not yet consumed from "offset" on
  std::size_t offset = 0;
  // When the present wait began: the accept, the first byte of a request, the end of the last
  // answer (then "idle"), or the last bytes of a body that is arriving (then "inBody").
  Clock::time_point since = Clock::now();
  bool idle = false;
  bool inBody = false;
  std::string peerIp;
  int peerPort = 0;
};

// A request's view of its connection: what the watching thread has read first, then the
// socket, waiting at most the read time-out for each step.
class HttpServer::ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(Connection& connection, milliseconds timeout)
      : c_(connection), timeout_(timeout) {}

  bool is_readable() const override {
    return c_.pending() > 0 || (c_.ssl != nullptr && SSL_pending(c_.ssl) > 0) ||
           pollOne(c_.fd, POLLIN, timeout_) > 0;
  }
  bool is_writable() const override { return pollOne(c_.fd, POLLOUT, timeout_) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    while (c_.pending() == 0) {
      ssize_t n = c_.receive(kBodyChunk);
      if (n > 0) break;
      if (n == 0) return 0;
      if (n == -2) return -1;
      if (pollOne(c_.fd, c_.wantWrite ? POLLOUT : POLLIN, timeout_) <= 0) return -1;
    }
    std::size_t n = std::min(size, c_.pending());
    std::memcpy(ptr, c_.data().data(), n);
    c_.consume(n);
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    for (;;) {
      short waitFor = POLLOUT;
      if (c_.ssl != nullptr) {
        ERR_clear_error();
        int n = SSL_write(c_.ssl, ptr, static_cast<int>(std::min<size_t>(size, 1 << 30)));
        if (n > 0) return n;
        int error = SSL_get_error(c_.ssl, n);
        if (error == SSL_ERROR_WANT_READ) {
          waitFor = POLLIN;
        } else if (error != SSL_ERROR_WANT_WRITE) {
          return -1;
        }
      } else {
        ssize_t n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      }
      if (pollOne(c_.fd, waitFor, timeout_) <= 0) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = c_.peerIp;
    port = c_.peerPort;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    ip.clear();
    port = 0;
    if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      describePeer(address, ip, port);
    }
  }
  socket_t socket() const override { return c_.fd; }

  static void describePeer(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in&>(address);
      ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
      port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
      ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
      port = ntohs(in6.sin6_port);
    }
    ip = text;
  }

 private:
  Connection& c_;
  milliseconds timeout_;
};

struct HttpServer::Impl {
  Impl(HttpServer& server, std::shared_ptr<TlsContext> context)
      : owner(server), tls(std::move(context)) {}

  HttpServer& owner;
  std::shared_ptr<TlsContext> tls;
  int wake[2] = {-1, -1};
  std::atomic<int> open{0};
  // The bytes of the bodies that the watching thread holds while they arrive (its own count),
  // kept within what the workers would hold reading them: past it, a body is left to a worker.
  std::size_t bodyBytes = 0;

  std::mutex mutex;  // guards what follows
  bool running = false;
  bool stopping = false;
  std::vector<std::unique_ptr<Connection>> incoming;  // new and kept-alive, for the watcher
  std::deque<std::unique_ptr<Connection>> ready;      // complete heads, for the workers
  std::condition_variable readyChanged;

  std::thread watcher;
  std::vector<std::thread> workers;

  // A full pipe (EAGAIN) already holds a wake-up.
  void wakeWatcher() {
    char byte = 1;
    (void)!::write(wake[1], &byte, 1);
  }
  void watch();
  void work();
  // Moves the connection along as far as it goes without waiting; answers false when it is to
  // be closed, and hands it to the workers (leaving "slot" empty) once its head is complete.
  bool advance(std::unique_ptr<Connection>& slot);
  void refuse(Connection& connection, int status, const std::string& message);
};

void HttpServer::Impl::refuse(Connection& connection, int status, const std::string& message) {
  std::string body = owner.refusalBody_ ? owner.refusalBody_(message) : message;
  std::string text =
      "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  connection.sendNow(text);
}

bool HttpServer::Impl::advance(std::unique_ptr<Connection>& slot) {
  Connection& c = *slot;
  const HttpLimits& limits = owner.limits_;
  if (!c.handshakeDone && !c.tlsChecked) {
    // A TLS client begins with a handshake record (type 22). A plain HTTP request would
    // otherwise be read as the head of a record some kilobytes long, and its client left
    // waiting for an answer until the head's time-out; it is told at once instead.
    unsigned char first = 0;
    ssize_t n = ::recv(c.fd, &first, 1, MSG_PEEK);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;
    if (first != 22) {
      refuse(c, 400, "This server speaks HTTPS only: ask for https://HOST:PORT");
      return false;
    }
    c.tlsChecked = true;
  }
  if (!c.handshakeDone) {
    ERR_clear_error();
    int done = SSL_do_handshake(c.ssl);
    if (done != 1) {
      int error = SSL_get_error(c.ssl, done);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
      c.wantWrite = error == SSL_ERROR_WANT_WRITE;
      return true;
    }
    c.handshakeDone = true;
    c.wantWrite = false;
  }
  for (;;) {
    std::size_t end = headEnd(c.data());
    if ((end == std::string_view::npos ? c.pending() : end) > limits.maxHeaderBytes) {
      refuse(c, 431,
             "The request line and headers are over the limit of " +
                 std::to_string(limits.maxHeaderBytes) + " bytes");
      return false;
    }
    if (end != std::string_view::npos) {
      std::string_view head = c.data().substr(0, end);
      auto lines = static_cast<std::size_t>(std::count(head.begin(), head.end(), '\n'));
      if (lines > limits.maxHeaderCount + 2) {
        refuse(c, 431,
               "The request has " + std::to_string(lines - 2) + " header lines; at most " +
                   std::to_string(limits.maxHeaderCount) + " are taken");
        return false;
      }
      // The body is read here too, so that a client that sends it slowly holds no worker.
      std::size_t bodyBudget =
          limits.maxBodyBytes * static_cast<std::size_t>(std::max(1, limits.workers));
      if (requestFraming(c.data(), end, limits.maxBodyBytes) != Framing::kIncomplete ||
          bodyBytes + c.pending() > bodyBudget) {
        c.inBody = false;
        std::lock_guard lock(mutex);
        ready.push_back(std::move(slot));
        readyChanged.notify_one();
        return true;
      }
      if (!c.inBody) {
        c.inBody = true;
        c.since = Clock::now();
      }
    }
    ssize_t n = c.receive(c.inBody ? kBodyChunk : kHeadChunk);
    if (n <= 0) return n == -1;
    // A TLS handshake sent to plain HTTP: nothing it could read is to be said.
    if (c.ssl == nullptr && c.data().front() == 22) return false;
    if (c.inBody) bodyBytes += static_cast<std::size_t>(n);
    if (c.idle || c.inBody) {
      c.idle = false;
      c.since = Clock::now();
    }
  }
}

void HttpServer::Impl::watch() {
  const HttpLimits& limits = owner.limits_;
  std::list<std::unique_ptr<Connection>> watched;
  std::vector<pollfd> fds;
  std::vector<std::list<std::unique_ptr<Connection>>::iterator> order;
  auto deadline = [&limits](const Connection& c) {
    return c.since + (c.idle     ? limits.idleTimeout
                      : c.inBody ? limits.readTimeout
                                 : limits.headerTimeout);
  };
  for (;;) {
    std::vector<std::unique_ptr<Connection>> arrived;
    {
      std::lock_guard lock(mutex);
      if (stopping) break;
      arrived.swap(incoming);
    }
    for (auto& c : arrived) {
      if (advance(c) && c) watched.push_back(std::move(c));
    }
    // Past the limit, the connections nearest their time-out make room: those waiting for a
    // head, oldest first (the list is in the order they began to wait), before idle ones.
    for (bool idleToo : {false, true}) {
      for (auto it = watched.begin(); open.load() > limits.maxConnections && it != watched.end();) {
        it = (*it)->idle && !idleToo ? std::next(it) : watched.erase(it);
      }
    }
    bodyBytes = 0;
    for (const auto& c : watched) {
      if (c->inBody) bodyBytes += c->pending();
    }
    auto now = Clock::now();
    auto wait = limits.idleTimeout;
    for (auto it = watched.begin(); it != watched.end();) {
      auto due = deadline(**it);
      if (due <= now) {
        if ((*it)->inBody) {
          refuse(**it, 408,
                 "The request's body stopped arriving for " +
                     std::to_string(limits.readTimeout.count()) + " ms");
        } else if (!(*it)->idle && (*it)->pending() > 0) {
          refuse(**it, 408,
                 "The request's head did not arrive within " +
                     std::to_string(limits.headerTimeout.count()) + " ms");
        }
        it = watched.erase(it);
        continue;
      }
      wait = std::min(wait, std::chrono::ceil<milliseconds>(due - now));
      ++it;
    }
    fds.assign(1, pollfd{wake[0], POLLIN, 0});
    order.clear();
    for (auto it = watched.begin(); it != watched.end(); ++it) {
      fds.push_back(pollfd{(*it)->fd, static_cast<short>((*it)->wantWrite ? POLLOUT : POLLIN), 0});
      order.push_back(it);
    }
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (n < 0) continue;
    if (fds[0].revents != 0) {
      char drain[256];
      while (::read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = order[i - 1];
      if (!advance(*it) || !*it) watched.erase(it);
    }
  }
  watched.clear();
}

void HttpServer::Impl::work() {
  for (;;) {
    std::unique_ptr<Connection> connection;
    {
      std::unique_lock lock(mutex);
      readyChanged.wait(lock, [this] { return stopping || !ready.empty(); });
      if (ready.empty()) return;
      connection = std::move(ready.front());
      ready.pop_front();
    }
    owner.serve(std::move(connection));
  }
}

HttpServer::HttpServer(HttpLimits limits, std::shared_ptr<TlsContext> tls)
    : limits_(limits), impl_(std::make_unique<Impl>(*this, std::move(tls))) {
  new_task_queue = [] { return new HandOver; };
  set_payload_max_length(limits_.maxBodyBytes);
  auto seconds = std::chrono::ceil<std::chrono::seconds>(limits_.idleTimeout).count();
  // What the answers announce in their Keep-Alive header.
  set_keep_alive_timeout(static_cast<time_t>(seconds));
  set_keep_alive_max_count(std::numeric_limits<int>::max());
  if (::pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw platform::Exception(std::string("Cannot set up the server: ") + std::strerror(errno));
  }
}

HttpServer::~HttpServer() {
  stopConnections();
  ::close(impl_->wake[0]);
  ::close(impl_->wake[1]);
}

void HttpServer::startConnections() {
  Impl& d = *impl_;
  std::lock_guard lock(d.mutex);
  if (d.running) return;
  d.running = true;
  // httplib listens with a backlog of 5: a burst of connects would wait for the kernel to
  // retry their SYN (a second) while the accepting thread is not scheduled. Listening again
  // widens the queue.
  if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, kBacklog);
  d.watcher = std::thread([&d] { d.watch(); });
  for (int i = 0; i < std::max(1, limits_.workers); ++i) {
    d.workers.emplace_back([&d] { d.work(); });
  }
}

void HttpServer::stopConnections() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.mutex);
    if (!d.running) return;
    d.running = false;
    d.stopping = true;
  }
  d.readyChanged.notify_all();
  d.wakeWatcher();
  d.watcher.join();
  for (std::thread& worker : d.workers) worker.join();
  d.workers.clear();
  d.incoming.clear();
  d.ready.clear();
}

void HttpServer::closeAfterAnswer() { closeAfterThisAnswer = true; }

bool HttpServer::nextHeadCame(Connection& connection) {
  Impl& d = *impl_;
  if (connection.pending() > 0) return false;
  {
    std::lock_guard lock(d.mutex);
    if (d.stopping || !d.ready.empty()) return false;
  }
  if (pollOne(connection.fd, POLLIN, kLinger) <= 0) return false;
  std::size_t end = std::string_view::npos;
  while (connection.pending() <= limits_.maxHeaderBytes && connection.receive(kHeadChunk) > 0) {
    end = headEnd(connection.data());
    if (end != std::string_view::npos) break;
  }
  // Anything short of a complete head within the limits is the watching thread's to judge.
  if (end == std::string_view::npos || end > limits_.maxHeaderBytes) return false;
  std::string_view head = connection.data().substr(0, end);
  if (static_cast<std::size_t>(std::count(head.begin(), head.end(), '\n')) >
      limits_.maxHeaderCount + 2) {
    return false;
  }
  // So is a body that does not follow at once: it must not hold this worker.
  auto until = Clock::now() + kLinger;
  for (;;) {
    Framing framing = requestFraming(connection.data(), end, limits_.maxBodyBytes);
    if (framing != Framing::kIncomplete) return true;
    ssize_t n = connection.receive(kBodyChunk);
    if (n == 0 || n == -2) return false;
    auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
    if (n == -1 && (left.count() <= 0 ||
                    pollOne(connection.fd, connection.wantWrite ? POLLOUT : POLLIN, left) <= 0)) {
      return false;
    }
  }
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  Impl& d = *impl_;
  auto connection = std::make_unique<Connection>(sock, d.open);
  int flags = ::fcntl(sock, F_GETFL, 0);
  ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
    ConnectionStream::describePeer(peer, connection->peerIp, connection->peerPort);
  }
  if (d.tls) {
    connection->ssl = SSL_new(d.tls->get());
    if (connection->ssl == nullptr) return false;
    SSL_set_fd(connection->ssl, sock);
    SSL_set_accept_state(connection->ssl);
    connection->handshakeDone = false;
  }
  {
    std::lock_guard lock(d.mutex);
    if (d.stopping) return false;
    d.incoming.push_back(std::move(connection));
  }
  d.wakeWatcher();
  return true;
}

void HttpServer::serve(std::unique_ptr<Connection> connection) {
  Impl& d = *impl_;
  for (;;) {
    bool stopping;
    {
      std::lock_guard lock(d.mutex);
      stopping = d.stopping;
    }
    ConnectionStream stream(*connection, limits_.readTimeout);
    bool closed = false;
    closeAfterThisAnswer = false;
    bool answered = process_request(stream, stopping, closed, nullptr);
    if (!answered || closed || stopping || closeAfterThisAnswer) return;
    // A client that sent its next request behind this one, or sends it at once (an import's
    // next batch), is answered without a trip through the watching thread.
    std::size_t next = headEnd(connection->data());
    if ((next != std::string_view::npos &&
         requestFraming(connection->data(), next, limits_.maxBodyBytes) != Framing::kIncomplete) ||
        nextHeadCame(*connection)) {
      continue;
    }
    connection->idle = connection->pending() == 0;
    connection->inBody = false;
    connection->since = Clock::now();
    if (connection->idle) {
      connection->buffer.clear();
      connection->offset = 0;
      connection->buffer.shrink_to_fit();
    }
    {
      std::lock_guard lock(d.mutex);
      if (d.stopping) return;
      d.incoming.push_back(std::move(connection));
    }
    d.wakeWatcher();
    return;
  }
}

}  // namespace zeb::server
