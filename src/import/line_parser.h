// The mail-log line parser: turns the Postfix lines of a mail log into sending records
// (cdsEnvio) and delivery records (cdsRecebimento).
//
// The parser does not validate the syslog format. It cuts fields at blanks and finds its
// markers by plain text searches, so that any line, however odd, yields either nothing or one
// record with values cut from that line alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
  explicit LineParser(TrafficTables& tables) : tables_(tables) {}

  // Parses one line and stores its record, if it yields one. A day token that is not a number
  // of one or two digits, or a size that is not a signed 32-bit decimal integer, raises
  // EConvertError naming the line number and the text; the record is then not stored.
  // Answers the kind of record stored.
  RecordKind parseLine(std::string_view line, std::uint64_t lineNumber) {
    return store(cutLine(line), line, lineNumber);
  }

  // Stores the record of "cut", which cutLine() made of "line", as parseLine() does; a caller
  // may cut lines ahead, on another thread, and store them here in order.
  RecordKind store(const LineCut& cut, std::string_view line, std::uint64_t lineNumber);

 private:
  TrafficTables& tables_;
  std::string scratch_[2];
};

}  // namespace zeb::import
