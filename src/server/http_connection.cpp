#include "server/http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zeb::server {

int pollOne(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd watch{fd, events, 0};
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int n = ::poll(&watch, 1,
                   static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

ssize_t HttpServer::Connection::receive(std::size_t chunk) {
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

void HttpServer::Connection::sendNow(std::string_view text) {
  if (ssl != nullptr && tlsChecked) {
    if (handshakeDone) SSL_write(ssl, text.data(), static_cast<int>(text.size()));
  } else {
    (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

bool HttpServer::ConnectionStream::is_readable() const {
  return c_.pending() > 0 || (c_.ssl != nullptr && SSL_pending(c_.ssl) > 0) ||
         pollOne(c_.fd, POLLIN, timeout_) > 0;
}
bool HttpServer::ConnectionStream::is_writable() const {
  return pollOne(c_.fd, POLLOUT, timeout_) > 0;
}

ssize_t HttpServer::ConnectionStream::read(char* ptr, size_t size) {
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

ssize_t HttpServer::ConnectionStream::write(const char* ptr, size_t size) {
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

void HttpServer::ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = c_.peerIp;
  port = c_.peerPort;
}
void HttpServer::ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  ip.clear();
  port = 0;
  if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    describePeer(address, ip, port);
  }
}
void HttpServer::ConnectionStream::describePeer(const sockaddr_storage& address, std::string& ip,
                                                int& port) {
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

}  // namespace zeb::server
