#include "server/http_framing.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace zeb::server {

namespace {

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

}  // namespace

std::size_t headEnd(std::string_view data) {
  for (std::size_t at = data.find('\n'); at != std::string_view::npos;
       at = data.find('\n', at + 1)) {
    std::size_t next = at + 1;
    if (next < data.size() && data[next] == '\n') return next + 1;
    if (next + 1 < data.size() && data[next] == '\r' && data[next + 1] == '\n') return next + 2;
  }
  return std::string_view::npos;
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

}  // namespace zeb::server
