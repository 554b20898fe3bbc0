// How much of an HTTP/1.1 request has arrived: where its head ends, and whether its body is
// there whole (by its Content-Length, or its chunks up to the last), so that the watching thread
// of the HTTP side (http_server.h) hands a worker only requests it can answer at once.
#pragma once

#include <cstddef>
#include <string_view>

namespace zeb::server {

// Where the head that "data" begins with ends (after its blank line); npos while it is
// incomplete. A bare line feed ends a line as well as CR LF does, as for httplib's reader.
std::size_t headEnd(std::string_view data);

// How far the watching thread can take a request whose head, "headLength" bytes, begins "data".
enum class Framing {
  kIncomplete,  // its body is still arriving
  kComplete,    // all of it is there: a worker answers it without waiting for the client
  kWorker,      // a worker is to judge it as it comes: a body it refuses (too large, framed
                // wrongly), or one that its client sends only once told to go on
};

// How far the request whose head, "headLength" bytes, begins "data" has come, for bodies of at
// most "maxBody" bytes.
Framing requestFraming(std::string_view data, std::size_t headLength, std::size_t maxBody);

}  // namespace zeb::server
