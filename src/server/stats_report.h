// Listings of stored statistics for people and for other programs.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "server/email_layout.h"

namespace zeb::server {

enum class ReportFormat {
  kTable,  // aligned columns under a header, then the totals of VRVOLDADOS and QTEMAIL
  kTsv,    // one row a line, the 11 columns tab-separated; no header
  kCsv,    // RFC 4180: a header line, then one record a line, CR LF line ends
  kJson,   // an array of objects keyed by column name
};

// Parses "table", "tsv", "csv" or "json"; false for anything else.
bool parseReportFormat(std::string_view text, ReportFormat& format);

// Calls its argument once per row, in the order to list them. The table format walks the rows
// twice (widths first), so a source must be able to run more than once.
using RowSource = std::function<void(const std::function<void(const EmailRow&)>&)>;

// Writes the rows in "format" to "out". Texts are written as stored (UTF-8); in tsv a
// backslash, tab, CR or LF inside a value is written as \\, \t, \r, \n. Numbers are written as
// integers when whole. Throws EInOutError naming "outName" when writing fails ("writing the
// statistics to 'standard output' failed: No space left on device").
void writeReport(ReportFormat format, const RowSource& rows, std::FILE* out,
                 std::string_view outName = "standard output");

// A number as the listings write it: an integer when whole, else the shortest exact decimal.
std::string formatNumber(double value);

}  // namespace zeb::server
