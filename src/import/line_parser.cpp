#include "import/line_parser.h"

#include <algorithm>
#include <cstring>

#include "host/text_services.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::import {

using host::LTrim;

namespace {

constexpr std::string_view kQmgr = "qmgr";
constexpr std::string_view kPipe = "pipe";
constexpr std::string_view kSmtp = "smtp";
constexpr std::string_view kPostfix = "postfix/";

// The text from the first blank on, without leading blanks; the whole text when there is no
// blank. This is how every field is skipped.
std::string_view skipToBlank(std::string_view text) {
  std::size_t p = text.find(' ');
  return p == std::string_view::npos ? text : LTrim(text.substr(p));
}

// True when the text holds "status=deferred", "relay=clamav" or "status=bounced". One pass over
// the "=" signs finds all three; memchr is far faster than three substring searches.
bool hasExclusionMarker(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  for (const char* at = begin;;) {
    const char* eq =
        static_cast<const char*>(std::memchr(at, '=', static_cast<std::size_t>(end - at)));
    if (eq == nullptr) return false;
    std::string_view before(begin, static_cast<std::size_t>(eq - begin));
    std::string_view after(eq + 1, static_cast<std::size_t>(end - eq - 1));
    if (before.ends_with("status") &&
        (after.starts_with("deferred") || after.starts_with("bounced")))
      return true;
    if (before.ends_with("relay") && after.starts_with("clamav")) return true;
    at = eq + 1;
  }
}

// Byte offset in "text" after skipping "count" characters from byte "from"; never past the end.
// In UTF-8 a character's lead byte gives its length.
std::size_t skipChars(std::string_view text, std::size_t from, int count, bool utf8) {
  std::size_t i = from;
  for (int k = 0; k < count && i < text.size(); ++k) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    if (utf8 && lead >= 0xC0) length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    i += length;
  }
  return std::min(i, text.size());
}

// Cuts the text after the tag field: the queue identifier before the first ":", then the
// message text after it. A missing ":" leaves an empty identifier.
std::string_view cutQueueId(std::string_view text, std::string_view& queueId) {
  text = skipToBlank(text);  // drops the tag field
  std::size_t p = text.find(':');
  if (p == std::string_view::npos) {
    queueId = {};
    return LTrim(text);
  }
  queueId = text.substr(0, p);
  return LTrim(text.substr(p + 1));
}

// The address: from the character after "<word>=<" (a fixed start; neither "=" nor "<" is
// looked for) up to the first ">" of the text.
std::string_view cutAddress(std::string_view text, std::size_t wordLength, std::string_view line) {
  std::size_t gt = text.find('>');
  if (gt == std::string_view::npos) return {};
  // The two characters after the word decide the start; only when they are not ASCII does the
  // line's reading (UTF-8 or Windows-1252) matter.
  bool utf8 = true;
  for (std::size_t i = wordLength; i < wordLength + 2 && i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      utf8 = platform::isValidUtf8(line);
      break;
    }
  }
  std::size_t start = skipChars(text, wordLength, 2, utf8);
  return gt > start ? text.substr(start, gt - start) : std::string_view{};
}

bool isDigit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

int twoDigits(const char* at) { return (at[0] - '0') * 10 + (at[1] - '0'); }

int daysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The length of the RFC 3339 date-time that "line" begins with, when a blank follows it; 0 for
// anything else. A date that no calendar has (30 February) or a time past 23:59:60 is no stamp:
// a line that merely looks like one must not carry a made-up date into the statistics.
std::size_t stampLength(std::string_view line) {
  // "YYYY-MM-DDThh:mm:ss", then at least "Z" and the blank.
  if (line.size() < 21) return 0;
  const char* s = line.data();
  auto digits = [s](std::size_t i) { return isDigit(s[i]) && isDigit(s[i + 1]); };
  if (!(digits(0) && digits(2) && s[4] == '-' && digits(5) && s[7] == '-' && digits(8) &&
        (s[10] == 'T' || s[10] == 't') && digits(11) && s[13] == ':' && digits(14) &&
        s[16] == ':' && digits(17))) {
    return 0;
  }
  int year = twoDigits(s) * 100 + twoDigits(s + 2);
  int month = twoDigits(s + 5);
  int day = twoDigits(s + 8);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return 0;
  // Second 60 is a leap second.
  if (twoDigits(s + 11) > 23 || twoDigits(s + 14) > 59 || twoDigits(s + 17) > 60) return 0;
  std::size_t i = 19;
  if (s[i] == '.') {
    std::size_t first = ++i;
    while (i < line.size() && isDigit(s[i])) ++i;
    if (i == first) return 0;
  }
  if (i < line.size() && (s[i] == 'Z' || s[i] == 'z')) {
    ++i;
  } else if (i + 6 <= line.size() && (s[i] == '+' || s[i] == '-') && digits(i + 1) &&
             s[i + 3] == ':' && digits(i + 4) && twoDigits(s + i + 1) <= 23 &&
             twoDigits(s + i + 4) <= 59) {
    i += 6;
  } else {
    return 0;
  }
  return i < line.size() && s[i] == ' ' ? i : 0;
}

// The classic head: month, day (with its ending blank), and the time, which is dropped.
// Answers the line from field 4 on.
std::string_view cutClassicHead(std::string_view line, LineCut& cut) {
  std::size_t p = line.find(' ');
  std::string_view rest;
  if (p == std::string_view::npos) {
    rest = LTrim(line);
  } else {
    cut.monthToken = line.substr(0, p);
    rest = LTrim(line.substr(p));
  }
  p = rest.find(' ');
  if (p != std::string_view::npos) {
    cut.dayToken = rest.substr(0, p + 1);
    rest = LTrim(rest.substr(p));
  }
  return skipToBlank(rest);
}

}  // namespace

std::string_view NmMesToNrMes(std::string_view name) {
  // The two-digit texts are what Ajusta makes of the month numbers 1 to 12.
  static constexpr std::string_view kNames[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  static constexpr std::string_view kNumbers[12] = {"01", "02", "03", "04", "05", "06",
                                                    "07", "08", "09", "10", "11", "12"};
  if (name.size() != 3) return {};
  char upper[3] = {platform::asciiUpper(name[0]), platform::asciiUpper(name[1]),
                   platform::asciiUpper(name[2])};
  std::string_view key(upper, 3);
  for (int i = 0; i < 12; ++i) {
    if (key == kNames[i]) return kNumbers[i];
  }
  return {};
}

LineCut cutLine(std::string_view line) {
  LineCut cut;
  // A machine that stops while its log is being written can leave a run of NUL bytes where the
  // file had grown, and the next line is written right after them: the line is read as if they
  // were not there, rather than taken for one that is not a log line.
  while (!line.empty() && line.front() == '\0') line.remove_prefix(1);

  // A classic head begins with a month name, so one look at the first byte keeps classic lines
  // off the stamp's path.
  std::string_view rest;
  std::size_t stamp = !line.empty() && isDigit(line[0]) ? stampLength(line) : 0;
  if (stamp != 0) {
    cut.stampYear = line.substr(0, 4);
    cut.stampMonth = line.substr(5, 2);
    cut.stampDay = line.substr(8, 2);
    rest = LTrim(line.substr(stamp));
  } else {
    rest = cutClassicHead(line, cut);
  }

  // Kind of line: one pass over every "postfix/" finds the first queue-daemon, pipe and smtp
  // tags. A queue-daemon tag anywhere makes a sending line; else pipe wins over smtp.
  std::size_t qmgr = std::string_view::npos, pipe = std::string_view::npos,
              smtp = std::string_view::npos;
  // Every "postfix/" has its "/" seven bytes in; memchr finds the slashes fast.
  const char* base = rest.data();
  const char* end = base + rest.size();
  for (const char* at = base + kPostfix.size() - 1; at < end;) {
    const char* slash =
        static_cast<const char*>(std::memchr(at, '/', static_cast<std::size_t>(end - at)));
    if (slash == nullptr) break;
    at = slash + 1;
    std::size_t pos = static_cast<std::size_t>(slash - base) + 1 - kPostfix.size();
    if (rest.substr(pos, kPostfix.size()) != kPostfix) continue;
    std::string_view name = rest.substr(pos + kPostfix.size(), 4);
    if (name == kQmgr) {
      qmgr = pos;
      break;
    }
    if (name == kPipe && pipe == std::string_view::npos) pipe = pos;
    if (name == kSmtp && smtp == std::string_view::npos) smtp = pos;
  }

  if (qmgr != std::string_view::npos) {
    std::string_view text = cutQueueId(rest.substr(qmgr), cut.queueId);
    if (text.substr(0, 4) != "from") {
      cut.queueId = {};
      return cut;
    }
    cut.kind = RecordKind::Sending;
    cut.address = cutAddress(text, 4, line);
    std::size_t s = text.find("size=");
    if (s == std::string_view::npos) {
      cut.sizeText = "0";
    } else {
      text = text.substr(s);
      std::size_t c = text.find(',');
      if (c != std::string_view::npos) cut.sizeText = text.substr(5, c - 5);
    }
    return cut;
  }

  std::size_t t = pipe != std::string_view::npos ? pipe : smtp;
  if (t == std::string_view::npos) return cut;
  std::string_view text = cutQueueId(rest.substr(t), cut.queueId);
  // Deferred and bounced deliveries and hand-overs to the content filter are no traffic. Only
  // a delivery line is searched for their markers: the server's lines (connect, client=) are
  // many, and a line that is no delivery is none either way.
  if (text.substr(0, 2) != "to" || hasExclusionMarker(rest)) {
    cut.queueId = {};
    return cut;
  }
  cut.kind = RecordKind::Delivery;
  cut.address = cutAddress(text, 2, line);
  return cut;
}

namespace {

// A signed 32-bit decimal integer, nothing else: an optional sign and digits.
bool toInt32(std::string_view text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

std::string shown(std::string_view bytes) {
  std::string out;
  platform::appendAsUtf8(out, bytes);
  return out;
}

}  // namespace

RecordKind LineParser::store(const LineCut& cut, std::string_view line, std::uint64_t lineNumber) {
  if (cut.kind == RecordKind::None || host::EmptyString(cut.queueId) ||
      host::EmptyString(cut.address)) {
    return RecordKind::None;
  }
  // Without filters, the usual case, this costs one test per delivery.
  if (cut.kind == RecordKind::Delivery && !filters_.empty()) {
    std::size_t end =
        static_cast<std::size_t>(cut.address.data() - line.data()) + cut.address.size();
    if (filters_.isHandOver(line.substr(end))) return RecordKind::None;
  }

  // A stamp's day and month are two digits already, checked against the calendar.
  const bool stamped = !cut.stampYear.empty();
  std::string day;
  if (stamped) {
    day = cut.stampDay;
  } else {
    try {
      day = host::Ajusta(cut.dayToken, 2);
    } catch (const platform::EConvertError&) {
      throw platform::EConvertError("line " + std::to_string(lineNumber) + ": day '" +
                                    shown(cut.dayToken) + "' is not a number of one or two digits");
    }
  }
  std::int32_t size = 0;
  if (cut.kind == RecordKind::Sending && !host::EmptyString(cut.sizeText) &&
      !toInt32(cut.sizeText, size)) {
    throw platform::EConvertError("line " + std::to_string(lineNumber) + ": size '" +
                                  shown(cut.sizeText) + "' is not a signed 32-bit integer");
  }

  // Values are stored as UTF-8: a line that is not valid UTF-8 is Windows-1252.
  std::string_view queueId = cut.queueId;
  std::string_view address = cut.address;
  if (!(platform::isAscii(queueId) && platform::isAscii(address)) && !platform::isValidUtf8(line)) {
    scratch_[0] = platform::windows1252ToUtf8(queueId);
    scratch_[1] = platform::windows1252ToUtf8(address);
    queueId = scratch_[0];
    address = scratch_[1];
  }
  std::string_view month = stamped ? cut.stampMonth : NmMesToNrMes(cut.monthToken);

  if (cut.kind == RecordKind::Sending) {
    RecordSet& t = tables_.cdsEnvio;
    t.append();
    t.setText(envio::CDMENS, queueId);
    t.setText(envio::DIA, day);
    t.setText(envio::MES, month);
    t.setText(envio::CDREMET, address);
    t.setInteger(envio::SIZE, size);
    if (stamped) t.setText(envio::ANO, cut.stampYear);
    t.post();
    tables_.envioLines.push_back(lineNumber);
  } else {
    RecordSet& t = tables_.cdsRecebimento;
    t.append();
    t.setText(recebimento::CDMENS, queueId);
    t.setText(recebimento::DIA, day);
    t.setText(recebimento::MES, month);
    t.setText(recebimento::NMDEST, address);
    if (stamped) t.setText(recebimento::ANO, cut.stampYear);
    t.post();
    tables_.recebimentoLines.push_back(lineNumber);
  }
  return cut.kind;
}

}  // namespace zeb::import
