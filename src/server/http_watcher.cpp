// The watching thread of the HTTP side: it takes every connection that waits for a request
// through its head and body without blocking, hands complete requests to the workers, and
// closes what is too slow, too large or past the connection limit (http_server.h says how).
#include <openssl/err.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <string>

#include "server/http_connection.h"
#include "server/http_framing.h"

namespace zeb::server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

}  // namespace zeb::server
