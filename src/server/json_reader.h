// A small pull reader over JSON text, made for decoding requests without building a document:
// values are read in place, texts come back as views into the input whenever they hold no
// escapes, and nothing is allocated per value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/core/exceptions.h"

namespace zeb::server {

// The text is not well-formed JSON (RFC 8259, UTF-8). The message names the byte offset.
class JsonSyntaxError : public platform::Exception {
 public:
  JsonSyntaxError(std::size_t offset, const std::string& what);
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

enum class JsonKind { String, Number, Object, Array, True, False, Null, End };

class JsonReader {
 public:
  // "text" must stay live and unchanged while the reader and the views it answered are in use.
  explicit JsonReader(std::string_view text) : text_(text) {}

  // The kind of the next value, after skipping white space; End at the end of the text.
  // Answers Number for any other character, which readNumber() then refuses.
  JsonKind peek() {
    skipWhitespace();
    if (pos_ >= text_.size()) return JsonKind::End;
    switch (text_[pos_]) {
      case '"':
        return JsonKind::String;
      case '{':
        return JsonKind::Object;
      case '[':
        return JsonKind::Array;
      case 't':
        return JsonKind::True;
      case 'f':
        return JsonKind::False;
      case 'n':
        return JsonKind::Null;
      default:
        return JsonKind::Number;
    }
  }
  // Consumes "c" (after white space) when it comes next.
  bool consume(char c) {
    skipWhitespace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // Consumes "c" (after white space) or throws JsonSyntaxError.
  void expect(char c);
  // Inside an object or array, after its opening bracket or a member: true when another
  // member follows (its comma consumed), false when the closing bracket came (consumed).
  bool nextMember(char close, bool first) {
    skipWhitespace();
    if (pos_ < text_.size() && text_[pos_] == close) {
      ++pos_;
      return false;
    }
    if (first) return true;  // whatever comes must be a member; reading it checks that
    if (pos_ < text_.size() && text_[pos_] == ',') {
      ++pos_;
      skipWhitespace();
      if (pos_ < text_.size() && text_[pos_] != close) return true;
      failMissingMember();
    }
    failNoSeparator(close);
  }
  // Reads a string. When it holds escapes, the decoded text is appended to "arena", whose
  // capacity must then be at least the input's size, so that earlier views stay valid.
  std::string_view readString(std::string& arena);
  // The number of characters (code points) of the last string read.
  std::size_t lastLength() const { return lastLength_; }
  // Reads an object key followed by its colon. The view stays valid until the next key.
  std::string_view readKey();
  double readNumber();
  // Skips one value of any kind, checking it, and answers its text.
  std::string_view skipValue();
  // Skips one value by its brackets and quotes only, without checking what is inside, and
  // answers its text; for values that are read properly later. Throws when the value is not
  // closed.
  std::string_view skipStructure();
  // Throws unless only white space is left.
  void expectEnd();

  std::size_t offset() const { return pos_; }
  [[noreturn]] void fail(const std::string& what) const;

 private:
  void skipWhitespace() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') break;
      ++pos_;
    }
  }
  [[noreturn]] void failMissingMember() const;
  [[noreturn]] void failNoSeparator(char close) const;
  std::string_view readStringInto(std::string& arena, bool isKey);
  void skipValueAt(int depth);
  void readLiteral(std::string_view word);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t lastLength_ = 0;
  std::string keyScratch_;
};

}  // namespace zeb::server
