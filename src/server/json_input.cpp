#include "server/json_input.h"

#include <cstdint>
#include <cstring>

namespace zeb::server {

JsonSyntaxError::JsonSyntaxError(std::size_t offset, const std::string& what)
    : platform::Exception("Malformed JSON at byte " + std::to_string(offset) + ": " + what),
      offset_(offset) {}

namespace json {

namespace {

std::string describe(simdjson::error_code error) {
  switch (error) {
    case simdjson::EMPTY:
      return "the text is empty";
    case simdjson::UTF8_ERROR:
      return "the text holds bytes that are not UTF-8";
    case simdjson::UNESCAPED_CHARS:
      return "a control character inside a string";
    case simdjson::UNCLOSED_STRING:
      return "a string is not closed";
    case simdjson::STRING_ERROR:
      return "a string with an unknown escape or a lone surrogate";
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
      return "a number that is not well-formed or out of range";
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR:
    case simdjson::INCORRECT_TYPE:
      return "expected a value";
    case simdjson::DEPTH_ERROR:
      return "values nested more than " + std::to_string(kMaxDepth) + " deep";
    case simdjson::TAPE_ERROR:
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
      return "a comma, colon, bracket or member name is missing or out of place";
    case simdjson::TRAILING_CONTENT:
      return "unexpected text after the value";
    default:
      return simdjson::error_message(error);
  }
}

// Where the first byte that is not part of a well-formed UTF-8 character stands (overlong forms,
// surrogates and values past U+10FFFF included); the text's size when there is none.
std::size_t firstNonUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = 0;
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
      return i;
    }
    if (size - i < n || p[i + 1] < lo || p[i + 1] > hi) return i;
    for (std::size_t k = 2; k < n; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return i;
    }
    i += n;
  }
  return size;
}

// Where the first control character inside a string stands; the text's size when none does.
std::size_t firstUnescaped(std::string_view text) {
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!inString) {
      inString = c == '"';
    } else if (c == '\\') {
      ++i;
    } else if (c == '"') {
      inString = false;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      return i;
    }
  }
  return text.size();
}

// Where the first value of "text" ends, by its brackets and quotes; 0 when it does not end.
std::size_t firstValueEnd(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      return i + 1;
    }
  }
  return 0;
}

}  // namespace

Input::Input() {
  // The parser grows to the longest text it meets, keeping this depth.
  if (parser_.allocate(simdjson::SIMDJSON_PADDING, kParserDepth) != simdjson::SUCCESS) {
    throw std::bad_alloc();
  }
}

document& Input::open(std::string_view text) {
  text_ = text;
  // The copy keeps its capacity, so that reading allocates nothing once it has grown.
  copy_.assign(text);
  copy_.append(simdjson::SIMDJSON_PADDING, ' ');
  if (parser_.capacity() == 0 && parser_.allocate(text.size(), kParserDepth) != simdjson::SUCCESS) {
    throw std::bad_alloc();
  }
  simdjson::padded_string_view padded(copy_.data(), text.size(), copy_.size());
  if (simdjson::error_code error = parser_.iterate(padded).get(document_)) {
    // The whole text is checked before any value is read: the place of the fault is found
    // again here, on this rare path.
    std::size_t offset = error == simdjson::UTF8_ERROR        ? firstNonUtf8(text)
                         : error == simdjson::UNESCAPED_CHARS ? firstUnescaped(text)
                                                              : text.size();
    throw JsonSyntaxError(offset, describe(error));
  }
  return document_;
}

void Input::release(std::size_t keep) noexcept {
  if (copy_.capacity() > keep) std::string().swap(copy_);
  if (parser_.capacity() > keep) {
    // Failing to allocate the small buffers now only leaves them to open().
    parser_ = simdjson::ondemand::parser();
    if (parser_.allocate(simdjson::SIMDJSON_PADDING, kParserDepth) != simdjson::SUCCESS) {
    }
  }
}

void Input::fail(simdjson::error_code error) const { fail(describe(error)); }

void Input::failRoot(simdjson::error_code error) const {
  // The parser checks that the text's last bracket closes its first before it reads on, and
  // says no more: the brackets are counted again here, on this rare path, to say where.
  if (error == simdjson::TAPE_ERROR || error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) {
    std::size_t end = firstValueEnd(text_);
    if (end == 0) throw JsonSyntaxError(text_.size(), "the text ended before the value was closed");
    if (text_.find_first_not_of(" \t\r\n", end) != std::string_view::npos) {
      throw JsonSyntaxError(text_.find_first_not_of(" \t\r\n", end),
                            describe(simdjson::TRAILING_CONTENT));
    }
  }
  fail(error);
}

object Input::rootObject() {
  object out;
  if (simdjson::error_code error = document_.get_object().get(out)) failRoot(error);
  return out;
}

array Input::rootArray() {
  array out;
  if (simdjson::error_code error = document_.get_array().get(out)) failRoot(error);
  return out;
}

void Input::fail(const std::string& what) const {
  std::size_t offset = text_.size();
  const char* at = nullptr;
  if (!const_cast<document&>(document_).current_location().get(at) && at >= copy_.data() &&
      at <= copy_.data() + text_.size()) {
    offset = static_cast<std::size_t>(at - copy_.data());
  }
  throw JsonSyntaxError(offset, what);
}

std::string_view Input::text(value v, std::string& arena, std::size_t* characters,
                             std::size_t within) {
  // The token as it stands: the quotes, what is between them, and any blanks after them. Taken
  // before the value is read, as reading consumes it.
  std::string_view token = v.raw_json_token();
  simdjson::ondemand::raw_json_string raw = get(v.get_raw_json_string());
  std::size_t end = token.size();
  while (end > 0 && token[end - 1] != '"') --end;
  std::string_view inner = token.substr(1, end >= 2 ? end - 2 : 0);
  std::string_view out;
  if (std::memchr(inner.data(), '\\', inner.size()) == nullptr) {
    // No escape: the text is the token's, byte for byte (the bytes were checked as UTF-8 and
    // for control characters when the reading began).
    out = source(inner);
  } else {
    scratch_.resize(inner.size() + simdjson::SIMDJSON_PADDING);
    auto* dst = reinterpret_cast<std::uint8_t*>(scratch_.data());
    std::string_view decoded = get(parser_.unescape(raw, dst));
    std::size_t at = arena.size();
    arena.append(decoded);
    out = std::string_view(arena).substr(at);
  }
  if (characters != nullptr) {
    std::size_t n = out.size();
    if (n > within) {
      n = 0;
      for (char c : out) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    *characters = n;
  }
  return out;
}

std::string Input::text(value v) {
  std::string arena;
  std::string_view token = v.raw_json_token();
  arena.reserve(token.size());
  return std::string(text(v, arena));
}

void Input::skip(value v, std::size_t depth) {
  if (depth > kMaxDepth) fail(simdjson::DEPTH_ERROR);
  switch (get(v.type())) {
    case json_type::object:
      for (auto field : get(v.get_object())) {
        get(field.unescaped_key());
        skip(get(field.value()), depth + 1);
      }
      break;
    case json_type::array:
      for (auto element : get(v.get_array())) skip(get(std::move(element)), depth + 1);
      break;
    case json_type::string:
      get(v.get_string());
      break;
    case json_type::number:
      get(v.get_double());
      break;
    case json_type::boolean:
      get(v.get_bool());
      break;
    case json_type::null:
      if (!get(v.is_null())) fail(simdjson::N_ATOM_ERROR);
      break;
  }
}

void Input::skipDocument() {
  document& doc = document_;
  json_type type = get(doc.type());
  switch (type) {
    case json_type::object:
    case json_type::array:
      if (type == json_type::object) {
        for (auto field : rootObject()) {
          get(field.unescaped_key());
          skip(get(field.value()), 2);
        }
      } else {
        for (auto element : rootArray()) skip(get(std::move(element)), 2);
      }
      expectEnd();
      break;
    // A lone scalar is refused by its reader when anything follows it.
    case json_type::string:
      get(doc.get_string());
      break;
    case json_type::number:
      get(doc.get_double());
      break;
    case json_type::boolean:
      get(doc.get_bool());
      break;
    case json_type::null:
      if (!get(doc.is_null())) fail(simdjson::N_ATOM_ERROR);
      break;
  }
}

std::string_view Input::structure(value v) {
  json_type type = get(v.type());
  std::string_view raw = type == json_type::object ? get(get(v.get_object()).raw_json())
                                                   : get(get(v.get_array()).raw_json());
  return source(raw);
}

std::string_view Input::readThrough(std::string_view first) const {
  // Reading stands on the token after the value, or past the end: the value ends at the last
  // byte before that which is not a blank.
  const char* end = copy_.data() + text_.size();
  const char* at = nullptr;
  if (!const_cast<document&>(document_).current_location().get(at) && at >= first.data() &&
      at < end) {
    end = at;
  }
  while (end > first.data() &&
         (end[-1] == ' ' || end[-1] == '\n' || end[-1] == '\r' || end[-1] == '\t')) {
    --end;
  }
  return source(std::string_view(first.data(), static_cast<std::size_t>(end - first.data())));
}

void Input::expectEnd() {
  // The location is past the end once the last token has been read.
  const char* at = nullptr;
  if (document_.current_location().get(at) == simdjson::SUCCESS) fail(simdjson::TRAILING_CONTENT);
}

}  // namespace json
}  // namespace zeb::server
