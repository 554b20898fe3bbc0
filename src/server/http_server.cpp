#include "server/http_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/core/exceptions.h"
#include "server/http_connection.h"
#include "server/http_framing.h"

namespace zeb::server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a worker that has answered waits for the same client's next request before handing
// the connection back, when no other request waits for a worker.
constexpr milliseconds kLinger{2};
// Connections the kernel keeps for us to accept. A full queue drops new connections' SYNs, which
// their clients retry after 1, 3, 7... seconds: a long queue serves a flood's neighbours better.
constexpr int kBacklog = 4096;

// Runs each accepted socket's task at once on the accepting thread: the task only hands the
// socket over (process_and_close_socket), so accepting never waits for a worker.
class HandOver : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

thread_local bool closeAfterThisAnswer = false;

}  // namespace

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
