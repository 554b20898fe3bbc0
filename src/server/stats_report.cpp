#include "server/stats_report.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/core/exceptions.h"
#include "server/rpc_message.h"

namespace zeb::server {

namespace {

constexpr std::size_t kFlushAt = 1 << 16;

// Buffers the output and reports a failed write once.
class Output {
 public:
  Output(std::FILE* out, std::string_view name) : out_(out), name_(name) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::string& buffer() { return buffer_; }
  void maybeFlush() {
    if (buffer_.size() >= kFlushAt) flush();
  }
  void flush() {
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size()) {
      fail();
    }
    buffer_.clear();
    if (std::fflush(out_) != 0) fail();
  }

 private:
  [[noreturn]] void fail() const {
    // A full disk or a closed pipe: the reason is the operator's next step.
    throw platform::EInOutError(errno, std::string(name_), "writing the statistics to");
  }

  std::FILE* out_;
  std::string_view name_;
  std::string buffer_;
};

std::size_t characters(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string cell(const EmailRow& row, std::size_t column) {
  if (column == kVRVOLDADOS) return formatNumber(row.volume);
  if (column == kQTEMAIL) return formatNumber(row.count);
  return std::string(row.texts[column]);
}

void writeTsv(const RowSource& rows, Output& out) {
  std::string& b = out.buffer();
  rows([&](const EmailRow& row) {
    for (std::size_t i = 0; i < kTextColumnCount; ++i) {
      for (char c : row.texts[i]) {
        switch (c) {
          case '\\':
            b += "\\\\";
            break;
          case '\t':
            b += "\\t";
            break;
          case '\r':
            b += "\\r";
            break;
          case '\n':
            b += "\\n";
            break;
          default:
            b += c;
        }
      }
      b += '\t';
    }
    b += formatNumber(row.volume);
    b += '\t';
    b += formatNumber(row.count);
    b += '\n';
    out.maybeFlush();
  });
}

void appendCsvField(std::string& b, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    b += text;
    return;
  }
  b += '"';
  for (char c : text) {
    if (c == '"') b += '"';
    b += c;
  }
  b += '"';
}

void writeCsv(const RowSource& rows, Output& out) {
  std::string& b = out.buffer();
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    if (i > 0) b += ',';
    b += kColumns[i].name;
  }
  b += "\r\n";
  rows([&](const EmailRow& row) {
    for (std::size_t i = 0; i < kColumnCount; ++i) {
      if (i > 0) b += ',';
      if (i < kTextColumnCount) {
        appendCsvField(b, row.texts[i]);
      } else {
        b += cell(row, i);
      }
    }
    b += "\r\n";
    out.maybeFlush();
  });
}

void writeJson(const RowSource& rows, Output& out) {
  std::string& b = out.buffer();
  b += '[';
  bool first = true;
  rows([&](const EmailRow& row) {
    b += first ? "\n  {" : ",\n  {";
    first = false;
    for (std::size_t i = 0; i < kColumnCount; ++i) {
      if (i > 0) b += ", ";
      b += '"';
      b += kColumns[i].name;
      b += "\": ";
      b += i < kTextColumnCount ? jsonQuoted(row.texts[i]) : cell(row, i);
    }
    b += '}';
    out.maybeFlush();
  });
  b += first ? "]\n" : "\n]\n";
}

void writeTable(const RowSource& rows, Output& out) {
  constexpr std::string_view kGap = "  ";
  std::array<std::size_t, kColumnCount> widths{};
  for (std::size_t i = 0; i < kColumnCount; ++i) widths[i] = kColumns[i].name.size();
  double volume = 0, count = 0;
  std::size_t rowCount = 0;
  rows([&](const EmailRow& row) {
    for (std::size_t i = 0; i < kColumnCount; ++i) {
      std::size_t w = i < kTextColumnCount ? characters(row.texts[i]) : cell(row, i).size();
      if (w > widths[i]) widths[i] = w;
    }
    volume += row.volume;
    count += row.count;
    ++rowCount;
  });
  std::string totalLabel =
      "Total: " + std::to_string(rowCount) + (rowCount == 1 ? " row" : " rows");
  std::string volumeText = formatNumber(volume), countText = formatNumber(count);
  widths[kVRVOLDADOS] = std::max(widths[kVRVOLDADOS], volumeText.size());
  widths[kQTEMAIL] = std::max(widths[kQTEMAIL], countText.size());

  std::string& b = out.buffer();
  // Texts are padded on the right, numbers on the left; the last column carries no trailing
  // spaces.
  auto put = [&](std::size_t column, std::string_view text) {
    std::size_t pad = widths[column] - std::min(widths[column], characters(text));
    if (column > 0) b += kGap;
    if (!kColumns[column].isText) b.append(pad, ' ');
    b += text;
    if (kColumns[column].isText) b.append(pad, ' ');
  };
  for (std::size_t i = 0; i < kColumnCount; ++i) put(i, kColumns[i].name);
  b += '\n';
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    if (i > 0) b += kGap;
    b.append(widths[i], '-');
  }
  b += '\n';
  rows([&](const EmailRow& row) {
    for (std::size_t i = 0; i < kColumnCount; ++i) {
      if (i < kTextColumnCount) {
        put(i, row.texts[i]);
      } else {
        put(i, cell(row, i));
      }
    }
    b += '\n';
    out.maybeFlush();
  });
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    if (i > 0) b += kGap;
    b.append(widths[i], '-');
  }
  b += '\n';
  // The label takes the text columns' room; the sums stand under their columns.
  std::size_t textWidth = 0;
  for (std::size_t i = 0; i < kTextColumnCount; ++i)
    textWidth += widths[i] + (i > 0 ? kGap.size() : 0);
  b += totalLabel;
  b.append(textWidth > totalLabel.size() ? textWidth - totalLabel.size() : 0, ' ');
  put(kVRVOLDADOS, volumeText);
  put(kQTEMAIL, countText);
  b += '\n';
}

}  // namespace

bool parseReportFormat(std::string_view text, ReportFormat& format) {
  if (text == "table") {
    format = ReportFormat::kTable;
  } else if (text == "tsv") {
    format = ReportFormat::kTsv;
  } else if (text == "csv") {
    format = ReportFormat::kCsv;
  } else if (text == "json") {
    format = ReportFormat::kJson;
  } else {
    return false;
  }
  return true;
}

std::string formatNumber(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.2e18) {
    return std::to_string(static_cast<std::int64_t>(value));
  }
  std::array<char, 32> buffer;
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), end);
}

void writeReport(ReportFormat format, const RowSource& rows, std::FILE* out,
                 std::string_view outName) {
  Output output(out, outName);
  switch (format) {
    case ReportFormat::kTable:
      writeTable(rows, output);
      break;
    case ReportFormat::kTsv:
      writeTsv(rows, output);
      break;
    case ReportFormat::kCsv:
      writeCsv(rows, output);
      break;
    case ReportFormat::kJson:
      writeJson(rows, output);
      break;
  }
  output.flush();
}

}  // namespace zeb::server
