// Writes table rows as tab-separated lines on a stream, buffered.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/data/record_set.h"

namespace zeb::cli {

// A backslash, tab, CR or LF inside a value is written as \\, \t, \r, \n, so that every row
// stays one line and every value one field.
class TsvWriter {
 public:
  explicit TsvWriter(std::FILE* out) : out_(out) { buffer_.reserve(kFlushAt + 4096); }
  ~TsvWriter();

  void field(std::string_view text);  // a tab first unless it is the line's first field
  void field(long long number);
  void field(double number);
  void endLine();
  // Every row of the table in table order: its name, then its columns in order.
  void table(platform::data::RecordSet& table);
  // Throws Exception when the stream failed (a closed pipe, a full disk).
  void flush();

 private:
  static constexpr std::size_t kFlushAt = 1 << 20;
  void separator();

  std::FILE* out_;
  std::string buffer_;
  bool lineStarted_ = false;
};

}  // namespace zeb::cli
