// Reading requests with simdjson's On Demand parser, without building a document: values are
// read where they stand, and every value is checked as it is read. The helpers here make sure
// that nothing is left unchecked (a value that the caller does not want is read through and
// thrown away), so that text which is not JSON (RFC 8259, UTF-8) is always refused as such,
// whatever part of it the caller wanted.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/core/exceptions.h"

namespace zeb::server {

// The text is not well-formed JSON. The message names the byte offset where it was found.
class JsonSyntaxError : public platform::Exception {
 public:
  JsonSyntaxError(std::size_t offset, const std::string& what);
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

namespace json {

using simdjson::ondemand::array;
using simdjson::ondemand::document;
using simdjson::ondemand::json_type;
using simdjson::ondemand::object;
using simdjson::ondemand::value;

// Arrays and objects nested deeper than this are refused.
inline constexpr std::size_t kMaxDepth = 64;
// The parser's own bound, past ours, which it must never reach.
inline constexpr std::size_t kParserDepth = kMaxDepth + 8;

// One text being read. The parser needs bytes to spare after the text, so the text is copied
// into a buffer of the input's own, reused from text to text; source() maps what is read back
// to the caller's text.
class Input {
 public:
  Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Starts reading "text", which must stay live and unchanged while it is read. Throws
  // JsonSyntaxError when the text is empty or not UTF-8.
  document& open(std::string_view text);

  // The same bytes as "view" (a view into the copy being read) in the text given to open().
  std::string_view source(std::string_view view) const {
    return std::string_view(text_.data() + (view.data() - copy_.data()), view.size());
  }

  // The document's value as an object or an array: the caller has seen that it is one.
  object rootObject();
  array rootArray();

  // Throws JsonSyntaxError for "error", naming where the reading stands.
  [[noreturn]] void fail(simdjson::error_code error) const;
  [[noreturn]] void fail(const std::string& what) const;

  // The value of "result", or JsonSyntaxError.
  template <typename T>
  T get(simdjson::simdjson_result<T>&& result) const {
    T out{};
    if (simdjson::error_code error = std::move(result).get(out)) fail(error);
    return out;
  }

  // A string value. A text without escapes comes back as a view into the caller's text; one
  // with escapes is decoded and appended to "arena", whose capacity must then be at least the
  // text's size, so that earlier views stay valid. "characters" (when not null) gets the
  // number of characters (code points) when the text has more bytes than "within", else a
  // number no greater than "within".
  std::string_view text(value v, std::string& arena, std::size_t* characters = nullptr,
                        std::size_t within = 0);
  // A string value as a new string.
  std::string text(value v);
  // A number value.
  double number(value v) { return get(v.get_double()); }

  // Reads "v" through, checking it, and forgets it.
  void skip(value v, std::size_t depth = 1);
  // Reads a whole document through, checking it, up to its end.
  void skipDocument();
  // The text of "v" (an array or an object) as it stands in the caller's text, skipped by its
  // brackets only: the caller reads it properly later, from the text.
  std::string_view structure(value v);
  // The text of a value that has been read through, as it stands in the caller's text:
  // "first" is the value's raw_json_token(), taken before it was read.
  std::string_view readThrough(std::string_view first) const;
  // Throws unless the document has been read to its end.
  void expectEnd();

  // Lets go of the buffers that an unusually long text made grow past "keep" bytes, once its
  // reading is over.
  void release(std::size_t keep = std::size_t{8} << 20) noexcept;

  // Calls release() when the reading of a text ends, however it ends.
  class Releaser {
   public:
    explicit Releaser(Input& input) : input_(input) {}
    ~Releaser() { input_.release(); }
    Releaser(const Releaser&) = delete;
    Releaser& operator=(const Releaser&) = delete;

   private:
    Input& input_;
  };

 private:
  [[noreturn]] void failRoot(simdjson::error_code error) const;

  simdjson::ondemand::parser parser_;
  std::string copy_;
  std::string scratch_;  // where a text with escapes is decoded
  std::string_view text_;
  document document_;
};

}  // namespace json
}  // namespace zeb::server
