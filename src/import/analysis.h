// Traffic analysis and grouping: every parsed record gets its year, and sending records are
// paired with their deliveries into per-message traffic (cdsIntermediario).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "import/phase_ui.h"
#include "import/traffic_tables.h"

namespace zeb::import {

// A date as three texts: year (4 digits), month (2), day (2). Texts compare by character
// codes, year first, which orders them because month and day carry leading zeros.
using DateText = std::array<std::string, 3>;

// The same date viewed in a table's texts.
using DateView = std::array<std::string_view, 3>;

// Year first, then month, then day; each compared as text by character codes.
template <typename A, typename B>
bool dateBefore(const A& a, const B& b) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (a[i] != b[i]) return std::string_view(a[i]) < std::string_view(b[i]);
  }
  return false;
}
inline bool dateBefore(const DateText& a, const DateText& b) {
  return dateBefore<DateText, DateText>(a, b);
}

// The texts of a date viewed in a table.
inline DateText dateText(const DateView& d) {
  return {std::string(d[0]), std::string(d[1]), std::string(d[2])};
}
inline void assignDate(DateText& to, const DateView& from) {
  for (std::size_t i = 0; i < 3; ++i) to[i].assign(from[i]);
}

// What the grouping hands to the upload.
struct Grouping {
  std::int32_t pairCount = 0;  // rows written to cdsIntermediario
  DateText earliest;           // the earliest date of a sending record
  DateText last;               // the date of the last sending record processed
};

// Gives every record of cdsEnvio and cdsRecebimento its year (ANO), walking all records
// together from the newest back in log order, with a current year that starts as the log year
// (stAno):
// - a record that has a year already (its line carried one, in an RFC 3339 time stamp) keeps
//   it, and the current year becomes it: the records before it are dated back from it;
// - any other record gets the current year, except that every step back to a greater month
//   number moves the current year one back first (the newest record never moves it).
// So a classic log is dated from the log year, a stamped log by its stamps alone (a log across
// New Year included), and the classic records of a mixed log from the nearest stamped record
// after them, or from the log year when none follows. Ends early when boImport is cleared; the
// records not yet reached keep the year they had. A record without a month number, with a day
// that its month lacks in its year (30 February), or a sending record with a negative size
// raises EConvertError naming its line, after "logName" when one is given.
void analysisPhase(TrafficTables& tables, const PhaseUi& ui, std::string_view logName = {});

// Pairs every delivery record with the latest sending record of the same queue identifier
// (letter case ignored) that comes before it in the log, and writes one cdsIntermediario row
// per pair with the sending record's date, sender and size. Rows come by sending record in
// table order and, for each, its deliveries in table order. Consumes cdsEnvio and the paired
// cdsRecebimento rows. When the log yields no traffic (and no stop was asked for), clears the
// status line and boImport, runs ui.unlockScreen, and reports the "Arq_Inv" text through
// MensErro, which aborts.
// The abort carries the reason (EAbort::detail()), such as "no delivery line among 12 lines".
Grouping groupingPhase(TrafficTables& tables, const PhaseUi& ui);

// Why a log yields no traffic, from its counts of sending and delivery records and of lines.
std::string noTrafficReason(std::size_t sendingLines, std::size_t deliveryLines,
                            std::int64_t lines);

}  // namespace zeb::import
