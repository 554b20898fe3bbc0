#include "tsv_writer.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::cli {

using platform::data::FieldType;

TsvWriter::~TsvWriter() {
  // Errors are reported by an explicit flush(); a destructor must not throw.
  if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
}

void TsvWriter::separator() {
  if (lineStarted_) buffer_.push_back('\t');
  lineStarted_ = true;
}

void TsvWriter::field(std::string_view text) {
  separator();
  platform::appendTabEscaped(buffer_, text);
}

void TsvWriter::field(long long number) {
  separator();
  char digits[32];
  auto result = std::to_chars(digits, digits + sizeof digits, number);
  buffer_.append(digits, result.ptr);
}

void TsvWriter::field(double number) {
  separator();
  char digits[64];
  // Whole numbers (counts and byte sums) print without a fraction.
  auto result = std::to_chars(digits, digits + sizeof digits, number);
  buffer_.append(digits, result.ptr);
}

void TsvWriter::endLine() {
  buffer_.push_back('\n');
  lineStarted_ = false;
  if (buffer_.size() >= kFlushAt) flush();
}

void TsvWriter::table(platform::data::RecordSet& table) {
  const auto& fields = table.fields();
  if (table.isEmpty()) return;
  for (table.first(); !table.eof(); table.next()) {
    field(table.name());
    for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
      switch (fields[i].type) {
        case FieldType::String:
          field(table.text(i));
          break;
        case FieldType::Integer:
          field(static_cast<long long>(table.integer(i)));
          break;
        case FieldType::Double:
          field(table.number(i));
          break;
      }
    }
    endLine();
  }
}

void TsvWriter::flush() {
  if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size()) {
    buffer_.clear();
    throw platform::Exception("Writing the output failed: " + std::string(std::strerror(errno)));
  }
  buffer_.clear();
  if (std::fflush(out_) != 0) {
    throw platform::Exception("Writing the output failed: " + std::string(std::strerror(errno)));
  }
}

}  // namespace zeb::cli
