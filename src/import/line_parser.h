// The mail-log line parser: turns the Postfix lines of a mail log into sending records
// (cdsEnvio) and delivery records (cdsRecebimento).
//
// The parser does not validate the syslog format. It cuts fields at blanks and finds its
// markers by plain text searches, so that any line, however odd, yields either nothing or one
// record with values cut from that line alone.
//
// A line has one of two heads, and the rest of it is read the same way after either:
// - classic syslog: month name, day, time ("Mar 14 00:08:33 host postfix/qmgr[1]: ...");
// - an RFC 3339 date-time, as rsyslog's high-precision format writes it
//   ("2026-03-14T00:08:33.787870+01:00 host postfix/qmgr[1]: ..."): YYYY-MM-DD, "T", hh:mm:ss,
//   an optional fraction, then "Z" or +hh:mm / -hh:mm, and a blank. The date is taken as the
//   server logged it, in its own local time (the offset is checked but never applied), and it
//   carries the year. Only a well-formed stamp (real month, day of that month, time and offset)
//   counts; any other line takes the classic head unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "import/content_filter.h"
#include "import/traffic_tables.h"

namespace zeb::import {

enum class RecordKind { None, Sending, Delivery };

// The values cut from one line. Views point into the line's bytes.
struct LineCut {
  RecordKind kind = RecordKind::None;
  std::string_view monthToken;  // field 1
  std::string_view dayToken;    // field 2 with the blank that ends it
  std::string_view queueId;
  std::string_view address;
  std::string_view sizeText;  // "0" when a sending line has no "size="; empty on deliveries
  // Set only on a line with an RFC 3339 head, whose month and day tokens then stay empty: the
  // stamp's own date as its digits, "2026", "03", "14".
  std::string_view stampYear;
  std::string_view stampMonth;
  std::string_view stampDay;
};

// Cuts a line (without its line end). Positions are those of the line's characters: a line that
// is valid UTF-8 is read as UTF-8, any other as Windows-1252, where every byte is a character.
LineCut cutLine(std::string_view line);

// The month number of a three-letter English month name in any letter case, as two digits
// ("Dec" gives "12"); the empty text for anything else ("December", "").
std::string_view NmMesToNrMes(std::string_view name);

// Parses lines and stores their records. The tables must be open.
class LineParser {
 public:
  // Deliveries to one of "filters" are left out, as hand-overs to a content filter.
  explicit LineParser(TrafficTables& tables, ContentFilters filters = {})
      : tables_(tables), filters_(std::move(filters)) {}

  // Parses one line and stores its record, if it yields one. A day token that is not a number
  // of one or two digits, or a size that is not a signed 32-bit decimal integer, raises
  // EConvertError naming the line number and the text; the record is then not stored.
  // A record of a line with an RFC 3339 head stores the stamp's year in ANO; any other leaves
  // ANO empty, for the analysis to fill. Answers the kind of record stored.
  RecordKind parseLine(std::string_view line, std::uint64_t lineNumber) {
    return store(cutLine(line), line, lineNumber);
  }

  // Stores the record of "cut", which cutLine() made of "line", as parseLine() does; a caller
  // may cut lines ahead, on another thread, and store them here in order.
  RecordKind store(const LineCut& cut, std::string_view line, std::uint64_t lineNumber);

 private:
  TrafficTables& tables_;
  ContentFilters filters_;
  std::string scratch_[2];
};

}  // namespace zeb::import
