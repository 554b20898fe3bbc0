// Writing JSON text straight into a string, for the record set's deltas: numbers in their
// shortest form and an output cursor that grows the string in large steps.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/core/text.h"

namespace zeb::platform::data::internal {

// Room enough for any number that writeJsonNumber() writes.
constexpr std::size_t kNumberRoom = 32;

// The shortest text that reads back as "value" (std::to_chars), at "p"; answers its end.
inline char* writeJsonNumber(char* p, double value) {
  // Counts and byte sums are whole numbers, which integer formatting writes several times faster.
  // The shortest form of a whole number is its digits unless five or more trailing zeros make the
  // exponent form shorter ("1e+05"); those, fractions, -0 and the huge go the general way.
  if (value > -9007199254740992.0 && value < 9007199254740992.0) {
    auto whole = static_cast<std::int64_t>(value);
    if (static_cast<double>(whole) == value && whole % 100000 != 0) {
      return std::to_chars(p, p + kNumberRoom, whole).ptr;
    }
    if (whole == 0 && value == 0 && !std::signbit(value)) {
      *p = '0';
      return p + 1;
    }
  }
  return std::to_chars(p, p + kNumberRoom, value).ptr;
}

// Appends to a string through a raw pointer. The string is grown ahead in large steps and cut to
// what was written by finish(), so that writing a value costs a bounds check and a copy rather
// than a call that checks and grows for every piece.
class JsonOut {
 public:
  JsonOut(std::string& out, std::size_t expect) : out_(out) { extend(out.size(), expect); }

  // Makes room for "n" more bytes; the put functions below need it first.
  void need(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) extend(written(), std::max(n, out_.size()));
  }
  void put(char c) { *p_++ = c; }
  void put(const char* text, std::size_t n) {
    std::memcpy(p_, text, n);
    p_ += n;
  }
  void putNumber(double value) { p_ = writeJsonNumber(p_, value); }
  void putNumber(std::int32_t value) { p_ = std::to_chars(p_, p_ + kNumberRoom, value).ptr; }
  void literal(std::string_view text) {
    need(text.size());
    put(text.data(), text.size());
  }
  // A text that needs escaping, written by the common writer.
  void escaped(std::string_view text) {
    finish();
    appendJsonString(out_, text);
    extend(out_.size(), text.size());
  }
  // Cuts the string to what was written.
  void finish() { out_.resize(written()); }
  std::size_t written() const { return static_cast<std::size_t>(p_ - out_.data()); }

 private:
  void extend(std::size_t at, std::size_t room) {
    out_.resize(at + std::max<std::size_t>(room, 4096));
    p_ = out_.data() + at;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace zeb::platform::data::internal
