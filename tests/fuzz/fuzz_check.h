// What the fuzz harnesses share: a check that stops the run with the input's fault spelt out, so
// that libFuzzer keeps the input and the replay test fails on it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zeb::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace zeb::fuzz

// FUZZ_CHECK(condition, detail): "detail" is only built when the condition fails.
#define FUZZ_CHECK(condition, detail)                                                         \
  do {                                                                                        \
    if (!(condition)) ::zeb::fuzz::fail(__FILE__, __LINE__, #condition, std::string(detail)); \
  } while (0)
