// Any bytes as one mail-log line. The parser must neither crash nor read past the line; a record
// it stores holds the values cut from that line, each valid UTF-8 and within its column's width;
// and it refuses a line (EConvertError) only for a day or a size that does not convert, naming
// the line.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "import/line_parser.h"
#include "import/traffic_tables.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace {

using namespace zeb::import;

constexpr std::uint64_t kLineNumber = 4711;

bool blank(std::string_view text) { return text.find_first_not_of(' ') == std::string_view::npos; }

bool within(std::string_view part, std::string_view line) {
  if (part.empty()) return true;
  return part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size();
}

// What the day token must be for the record to be stored: digits, one or two, between blanks.
bool dayConverts(std::string_view token) {
  std::size_t first = token.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  std::size_t last = token.find_last_not_of(' ');
  std::string_view digits = token.substr(first, last + 1 - first);
  if (digits.size() > 2) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The size as a signed 32-bit decimal integer: an optional sign, then digits only.
bool sizeConverts(std::string_view text, std::int64_t& value) {
  std::size_t i = text.empty() ? 0 : (text[0] == '+' || text[0] == '-');
  if (i == text.size()) return false;
  bool negative = text[0] == '-';
  value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  return value <= 2147483647LL;
}

// The value a cut becomes in a table: the line's reading as UTF-8 or Windows-1252, cut to the
// column's width.
std::string stored(std::string_view cut, std::string_view line, int width) {
  std::string text =
      zeb::platform::isValidUtf8(line) ? std::string(cut) : zeb::platform::windows1252ToUtf8(cut);
  return std::string(zeb::platform::utf8Prefix(text, static_cast<std::size_t>(width)));
}

std::string show(std::string_view line) {
  std::string out = "line: ";
  zeb::platform::appendAsUtf8(out, line);
  return out;
}

void checkText(const RecordSet& table, int field, std::string_view expected,
               std::string_view line) {
  std::string_view value = table.text(field);
  const auto& def = table.fields()[static_cast<std::size_t>(field)];
  FUZZ_CHECK(zeb::platform::isValidUtf8(value), def.name + " is not UTF-8; " + show(line));
  FUZZ_CHECK(zeb::platform::utf8Length(value) <= static_cast<std::size_t>(def.size),
             def.name + " is wider than its column; " + show(line));
  FUZZ_CHECK(value == expected, def.name + " is '" + std::string(value) + "', expected '" +
                                    std::string(expected) + "'; " + show(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TrafficTables tables;
  std::string_view line(reinterpret_cast<const char*>(data), size);

  LineCut cut = cutLine(line);
  for (std::string_view part : {cut.monthToken, cut.dayToken, cut.queueId, cut.address,
                                cut.stampYear, cut.stampMonth, cut.stampDay}) {
    FUZZ_CHECK(within(part, line), "a cut lies outside the line; " + show(line));
  }
  FUZZ_CHECK(within(cut.sizeText, line) || cut.sizeText == "0",
             "the size text lies outside the line; " + show(line));

  bool yields = cut.kind != RecordKind::None && !blank(cut.queueId) && !blank(cut.address);
  std::int64_t size64 = 0;
  bool sizeOk =
      cut.kind != RecordKind::Sending || blank(cut.sizeText) || sizeConverts(cut.sizeText, size64);
  // A line with an RFC 3339 head carries its date, checked against the calendar by the cut.
  const bool stamped = !cut.stampYear.empty();
  FUZZ_CHECK(!stamped || (cut.stampMonth.size() == 2 && cut.stampDay.size() == 2 &&
                          cut.stampYear.size() == 4),
             "a stamp's date is not YYYY, MM, DD; " + show(line));
  bool dayOk = stamped || dayConverts(cut.dayToken);

  tables.openLogTables();
  LineParser parser(tables);
  RecordKind kind;
  try {
    kind = parser.parseLine(line, kLineNumber);
  } catch (const zeb::platform::EConvertError& e) {
    std::string message = e.what();
    FUZZ_CHECK(yields && (!dayOk || !sizeOk),
               "an unexpected refusal: " + message + "; " + show(line));
    std::string expected = !dayOk ? "line 4711: day '" : "line 4711: size '";
    FUZZ_CHECK(message.starts_with(expected), "the refusal reads: " + message + "; " + show(line));
    FUZZ_CHECK(tables.cdsEnvio.isEmpty() && tables.cdsRecebimento.isEmpty(),
               "a refused line stored a record; " + show(line));
    return 0;
  }
  FUZZ_CHECK(kind == (yields ? cut.kind : RecordKind::None),
             "the record kind differs from the cut's; " + show(line));
  FUZZ_CHECK(!yields || (dayOk && sizeOk), "a bad day or size was stored; " + show(line));

  std::size_t sending = tables.cdsEnvio.recordCount();
  std::size_t delivery = tables.cdsRecebimento.recordCount();
  FUZZ_CHECK(sending == (kind == RecordKind::Sending) && delivery == (kind == RecordKind::Delivery),
             "not exactly one record in its table; " + show(line));
  if (kind == RecordKind::None) return 0;

  std::string day = std::string(2, '0');
  if (stamped) {
    day = std::string(cut.stampDay);
  } else {
    std::string_view token = cut.dayToken;
    std::size_t first = token.find_first_not_of(' ');
    std::size_t last = token.find_last_not_of(' ');
    std::string_view digits = token.substr(first, last + 1 - first);
    day.replace(2 - digits.size(), digits.size(), digits);
  }
  std::string_view month = stamped ? cut.stampMonth : NmMesToNrMes(cut.monthToken);
  std::string_view year = stamped ? cut.stampYear : std::string_view();
  if (kind == RecordKind::Sending) {
    RecordSet& t = tables.cdsEnvio;
    t.first();
    checkText(t, envio::CDMENS, stored(cut.queueId, line, t.fields()[envio::CDMENS].size), line);
    checkText(t, envio::CDREMET, stored(cut.address, line, t.fields()[envio::CDREMET].size), line);
    checkText(t, envio::DIA, day, line);
    checkText(t, envio::MES, month, line);
    checkText(t, envio::ANO, year, line);
    FUZZ_CHECK(t.integer(envio::SIZE) == size64, "SIZE differs from the size text; " + show(line));
  } else {
    RecordSet& t = tables.cdsRecebimento;
    t.first();
    checkText(t, recebimento::CDMENS,
              stored(cut.queueId, line, t.fields()[recebimento::CDMENS].size), line);
    checkText(t, recebimento::NMDEST,
              stored(cut.address, line, t.fields()[recebimento::NMDEST].size), line);
    checkText(t, recebimento::DIA, day, line);
    checkText(t, recebimento::MES, month, line);
    checkText(t, recebimento::ANO, year, line);
  }
  return 0;
}
