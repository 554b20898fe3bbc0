// What the threads of the HTTP side (http_server.h) share: a connection the server owns, with
// what has been read from it; a request's stream over it; and the watching thread's and the
// workers' common state. The watching thread's work is in http_watcher.cpp, the workers' in
// http_server.cpp.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/http_server.h"

namespace zeb::server {

// What the watching thread reads at a time: a head is small, and an idle connection should
// not keep a large buffer.
inline constexpr std::size_t kHeadChunk = 4096;
// What a worker reads at a time: bodies are large.
inline constexpr std::size_t kBodyChunk = std::size_t{64} << 10;

// poll() on one descriptor for "events", for at most "timeout" however often it is
// interrupted: the count of descriptors ready (0 at the time-out, negative on failure).
int pollOne(int fd, short events, std::chrono::milliseconds timeout);

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
  ssize_t receive(std::size_t chunk);

  // Writes all of "text" if the socket takes it now; a refusal that cannot wait.
  void sendNow(std::string_view text);

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
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  bool idle = false;
  bool inBody = false;
  std::string peerIp;
  int peerPort = 0;
};

// A request's view of its connection: what the watching thread has read first, then the
// socket, waiting at most the read time-out for each step.
class HttpServer::ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(Connection& connection, std::chrono::milliseconds timeout)
      : c_(connection), timeout_(timeout) {}

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return c_.fd; }

  // The address and port of "address", an IPv4 or IPv6 one; empty and 0 for any other.
  static void describePeer(const sockaddr_storage& address, std::string& ip, int& port);

 private:
  Connection& c_;
  std::chrono::milliseconds timeout_;
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
  void watch();  // the watching thread (http_watcher.cpp)
  void work();   // a worker (http_server.cpp)
  // Moves the connection along as far as it goes without waiting; answers false when it is to
  // be closed, and hands it to the workers (leaving "slot" empty) once its head is complete.
  bool advance(std::unique_ptr<Connection>& slot);
  void refuse(Connection& connection, int status, const std::string& message);
};

}  // namespace zeb::server
