#include "server/json_reader.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace zeb::server {

namespace {

constexpr int kMaxDepth = 64;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The length of the UTF-8 sequence that starts at "p" (lead byte at or above 0x80), or 0 when
// it is not a well-formed one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
  unsigned char c = p[0];
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < n) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// Whether a well-formed number that does not fit a double is too small (rather than too large):
// whether its first significant digit stands at a negative power of ten.
bool tooSmall(std::string_view number) {
  long long magnitude = 0;  // the power of ten of the first significant digit
  bool seenPoint = false, seenDigit = false;
  long long intDigits = 0, leadingFractionZeros = 0;
  std::size_t i = number[0] == '-' ? 1 : 0;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    char c = number[i];
    if (c == '.') {
      seenPoint = true;
    } else if (!seenPoint) {
      if (seenDigit || c != '0') {
        seenDigit = true;
        ++intDigits;
      }
    } else if (!seenDigit) {
      if (c == '0') {
        ++leadingFractionZeros;
      } else {
        seenDigit = true;
      }
    }
  }
  magnitude = intDigits > 0 ? intDigits - 1 : -(leadingFractionZeros + 1);
  long long exponent = 0;
  bool negative = false;
  if (i < number.size()) {
    ++i;
    if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
    for (; i < number.size() && exponent < 1000000; ++i)
      exponent = exponent * 10 + (number[i] - '0');
  }
  return magnitude + (negative ? -exponent : exponent) < 0;
}

}  // namespace

JsonSyntaxError::JsonSyntaxError(std::size_t offset, const std::string& what)
    : platform::Exception("Malformed JSON at byte " + std::to_string(offset) + ": " + what),
      offset_(offset) {}

void JsonReader::fail(const std::string& what) const { throw JsonSyntaxError(pos_, what); }

void JsonReader::expect(char c) {
  if (!consume(c)) {
    if (pos_ >= text_.size()) fail(std::string("expected '") + c + "' but the text ended");
    fail(std::string("expected '") + c + "'");
  }
}

void JsonReader::failMissingMember() const {
  if (pos_ >= text_.size()) fail("expected a value but the text ended");
  fail("a value is missing after ','");
}

void JsonReader::failNoSeparator(char close) const {
  if (pos_ >= text_.size()) fail(std::string("expected ',' or '") + close + "' but the text ended");
  fail(std::string("expected ',' or '") + close + "'");
}

std::string_view JsonReader::readString(std::string& arena) { return readStringInto(arena, false); }

std::string_view JsonReader::readKey() {
  skipWhitespace();
  if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a member name in quotes");
  std::string_view key = readStringInto(keyScratch_, true);
  expect(':');
  return key;
}

std::string_view JsonReader::readStringInto(std::string& arena, bool isKey) {
  skipWhitespace();
  if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a string");
  ++pos_;
  const auto* const begin = reinterpret_cast<const unsigned char*>(text_.data());
  const auto* const end = begin + text_.size();
  const unsigned char* p = begin + pos_;
  const unsigned char* const start = p;
  std::size_t continuation = 0;  // UTF-8 continuation bytes, not characters of their own
  std::string* out = nullptr;    // set once an escape turns up
  std::size_t outStart = 0;
  const unsigned char* copied = start;  // bytes before this are in "out" already
  auto failAt = [&](const unsigned char* at, const std::string& what) {
    pos_ = static_cast<std::size_t>(at - begin);
    fail(what);
  };
  auto hex4 = [&](const unsigned char* at) -> std::uint32_t {
    if (end - at < 4) failAt(at, "a \\u escape needs four hex digits");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hexValue(static_cast<char>(at[i]));
      if (h < 0) failAt(at, "a \\u escape needs four hex digits");
      v = v * 16 + static_cast<std::uint32_t>(h);
    }
    return v;
  };
  for (;;) {
    while (p < end && *p >= 0x20 && *p != '"' && *p != '\\' && *p < 0x80) ++p;
    if (p >= end) failAt(p, "a string is not closed");
    unsigned char c = *p;
    if (c == '"') break;
    if (c < 0x20) failAt(p, "a control character inside a string");
    if (c >= 0x80) {
      std::size_t n = utf8SequenceLength(p, end);
      if (n == 0) failAt(p, "a string holds bytes that are not UTF-8");
      continuation += n - 1;
      p += n;
      continue;
    }
    // A backslash: from here on the decoded text is built in the arena.
    if (out == nullptr) {
      out = isKey ? &keyScratch_ : &arena;
      if (isKey) keyScratch_.clear();
      outStart = out->size();
    }
    out->append(reinterpret_cast<const char*>(copied), static_cast<std::size_t>(p - copied));
    if (p + 1 >= end) failAt(p, "a string is not closed");
    char e = static_cast<char>(p[1]);
    std::uint32_t cp = 0;
    std::size_t used = 2;
    switch (e) {
      case '"':
      case '\\':
      case '/':
        cp = static_cast<unsigned char>(e);
        break;
      case 'b':
        cp = '\b';
        break;
      case 'f':
        cp = '\f';
        break;
      case 'n':
        cp = '\n';
        break;
      case 'r':
        cp = '\r';
        break;
      case 't':
        cp = '\t';
        break;
      case 'u':
        cp = hex4(p + 2);
        used = 6;
        if (cp >= 0xDC00 && cp <= 0xDFFF) failAt(p, "a lone low surrogate in a \\u escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (end - p < 12 || p[6] != '\\' || p[7] != 'u') {
            failAt(p, "a high surrogate without its low half in a \\u escape");
          }
          std::uint32_t low = hex4(p + 8);
          if (low < 0xDC00 || low > 0xDFFF) {
            failAt(p, "a high surrogate without its low half in a \\u escape");
          }
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          used = 12;
        }
        break;
      default:
        failAt(p, std::string("an unknown escape '\\") + e + "'");
    }
    appendUtf8(*out, cp);
    p += used;
    copied = p;
  }
  pos_ = static_cast<std::size_t>(p - begin) + 1;
  if (out == nullptr) {
    std::size_t bytes = static_cast<std::size_t>(p - start);
    lastLength_ = bytes - continuation;
    return {reinterpret_cast<const char*>(start), bytes};
  }
  out->append(reinterpret_cast<const char*>(copied), static_cast<std::size_t>(p - copied));
  std::string_view decoded(out->data() + outStart, out->size() - outStart);
  std::size_t chars = 0;
  for (char c : decoded) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  lastLength_ = chars;
  return decoded;
}

double JsonReader::readNumber() {
  skipWhitespace();
  const std::size_t start = pos_;
  std::size_t p = pos_;
  auto digits = [&] {
    std::size_t first = p;
    while (p < text_.size() && isDigit(text_[p])) ++p;
    return p - first;
  };
  if (p < text_.size() && text_[p] == '-') ++p;
  if (p >= text_.size() || !isDigit(text_[p])) fail("expected a value");
  if (text_[p] == '0') {
    ++p;
    if (p < text_.size() && isDigit(text_[p])) fail("a number with a leading zero");
  } else {
    digits();
  }
  if (p < text_.size() && text_[p] == '.') {
    ++p;
    if (digits() == 0) {
      pos_ = p;
      fail("a number needs digits after its decimal point");
    }
  }
  if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
    ++p;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
    if (digits() == 0) {
      pos_ = p;
      fail("a number needs digits in its exponent");
    }
  }
  double value = 0;
  auto [ptr, ec] = std::from_chars(text_.data() + start, text_.data() + p, value);
  if (ec == std::errc::result_out_of_range) {
    // Too small is harmless and reads as zero; too large is refused.
    if (!tooSmall(text_.substr(start, p - start))) fail("a number out of range");
    value = 0;
  } else if (ec != std::errc() || ptr != text_.data() + p || !std::isfinite(value)) {
    fail("a number out of range");
  }
  pos_ = p;
  return value;
}

void JsonReader::readLiteral(std::string_view word) {
  if (text_.substr(pos_, word.size()) != word) fail("expected a value");
  pos_ += word.size();
}

std::string_view JsonReader::skipValue() {
  skipWhitespace();
  std::size_t start = pos_;
  skipValueAt(0);
  return text_.substr(start, pos_ - start);
}

std::string_view JsonReader::skipStructure() {
  skipWhitespace();
  const std::size_t start = pos_;
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  // On any fault the checking skip reads the value again, to report it as it always does.
  auto refuse = [&]() -> std::string_view {
    pos_ = start;
    skipValue();
    fail("expected a value");
  };
  std::size_t p = pos_;
  std::uint64_t objects = 0;  // one bit per open bracket: set for '{'
  int depth = 0;
  do {
    if (p >= size) return refuse();
    char c = data[p];
    if (c == '"') {
      // To the closing quote; a backslash takes the character after it along. Texts here are
      // short, so a plain loop beats a search call per text.
      ++p;
      for (;;) {
        while (p < size && data[p] != '"' && data[p] != '\\') ++p;
        if (p >= size) return refuse();
        if (data[p] == '"') break;
        p += 2;
      }
    } else if (c == '[' || c == '{') {
      if (depth == kMaxDepth) return refuse();
      objects = (objects << 1) | (c == '{' ? 1 : 0);
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0 || ((objects & 1) != 0) != (c == '}')) return refuse();
      objects >>= 1;
      --depth;
    } else if (depth == 0) {
      // A scalar runs to the next delimiter.
      while (p + 1 < size && data[p + 1] != ',' && data[p + 1] != ']' && data[p + 1] != '}' &&
             data[p + 1] != ' ' && data[p + 1] != '\n' && data[p + 1] != '\r' &&
             data[p + 1] != '\t') {
        ++p;
      }
    }
    ++p;
  } while (depth > 0);
  pos_ = p;
  return text_.substr(start, p - start);
}

void JsonReader::skipValueAt(int depth) {
  switch (peek()) {
    case JsonKind::String: {
      // Checked the same way as a read, but the decoded text is not kept.
      keyScratch_.clear();
      readStringInto(keyScratch_, true);
      return;
    }
    case JsonKind::Number:
      readNumber();
      return;
    case JsonKind::True:
      return readLiteral("true");
    case JsonKind::False:
      return readLiteral("false");
    case JsonKind::Null:
      return readLiteral("null");
    case JsonKind::End:
      fail("expected a value but the text ended");
    case JsonKind::Object:
    case JsonKind::Array: {
      if (depth >= kMaxDepth) fail("values nested more than 64 deep");
      bool object = text_[pos_] == '{';
      char close = object ? '}' : ']';
      ++pos_;
      for (bool first = true; nextMember(close, first); first = false) {
        if (object) readKey();
        skipValueAt(depth + 1);
      }
      return;
    }
  }
}

void JsonReader::expectEnd() {
  skipWhitespace();
  if (pos_ < text_.size()) fail("unexpected text after the value");
}

}  // namespace zeb::server
