// What the application server allows each connection and request, and how many it serves at
// once. The defaults suit an office's imports; serve's options change them.
#pragma once

#include <chrono>
#include <cstddef>

namespace zeb::server {

struct HttpLimits {
  std::size_t maxBodyBytes = std::size_t{64} << 20;    // per request; more: 413
  std::size_t maxHeaderBytes = std::size_t{64} << 10;  // the request line and headers; more: 431
  std::size_t maxHeaderCount = 100;                    // header lines; more: 431
  // From a connection's start, or the first byte of a request on a kept-alive one, to the end
  // of its head; then the connection is closed (408).
  std::chrono::milliseconds headerTimeout{10'000};
  // While a body is read or an answer written: at most this long without progress.
  std::chrono::milliseconds readTimeout{10'000};
  // A kept-alive connection with no request under way is closed after this long.
  std::chrono::milliseconds idleTimeout{60'000};
  int workers = 16;           // requests served at once
  int maxConnections = 1000;  // open connections, idle and waiting ones included
};

}  // namespace zeb::server
