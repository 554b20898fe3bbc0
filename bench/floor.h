// The floor of any design that writes a work file: a plain copy of the log with LF turned into
// CR LF into a temporary file, then read back. Benchmarks time their path beside it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os/file_services.h"

namespace zeb::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

inline void check(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::exit(1);
  }
}

// The floor: one pass of reading, converting and writing, and one pass of reading back.
// Answers the number of bytes read back.
inline std::size_t plainCopy(const char* log) {
  constexpr std::size_t kChunk = 1 << 20;
  std::vector<char> in(kChunk), out(2 * kChunk);
  std::string temp = platform::os::makeTemporaryFile();
  int src = ::open(log, O_RDONLY);
  int dst = ::open(temp.c_str(), O_WRONLY | O_TRUNC);
  check(src >= 0 && dst >= 0, "open");
  for (;;) {
    ssize_t n = ::read(src, in.data(), kChunk);
    check(n >= 0, "read");
    if (n == 0) break;
    const char* p = in.data();
    const char* end = p + n;
    char* o = out.data();
    while (p < end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
      const char* stop = lf != nullptr ? lf : end;
      std::memcpy(o, p, stop - p);
      o += stop - p;
      if (lf == nullptr) break;
      *o++ = '\r';
      *o++ = '\n';
      p = lf + 1;
    }
    check(::write(dst, out.data(), o - out.data()) == o - out.data(), "write");
  }
  ::close(src);
  check(::close(dst) == 0, "close");
  int back = ::open(temp.c_str(), O_RDONLY);
  check(back >= 0, "open");
  std::size_t total = 0;
  for (ssize_t n; (n = ::read(back, in.data(), kChunk)) > 0;) total += n;
  ::close(back);
  platform::os::deleteFile(temp);
  return total;
}

}  // namespace zeb::bench
