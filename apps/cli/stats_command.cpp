#include <cstdio>
#include <string>
#include <string_view>

#include "arguments.h"
#include "commands.h"
#include "server/statistics_store.h"
#include "server/stats_report.h"

namespace zeb::cli {

namespace {

constexpr const char* kHelp =
    R"(Usage: zeb18000 stats --db PATH [--branch CODE] [--from YYYY-MM-DD] [--to YYYY-MM-DD]
                      [--format table|tsv|csv|json]

Lists the e-mail statistics stored by 'zeb18000 serve' in the database PATH, sorted by branch
(CDFILIAL), date, origin and destination (addresses without regard to letter case). Texts are
UTF-8; numbers are written as integers when whole.

Options:
  --db PATH        the server's database (required). Batches the server has taken and not
                   yet merged into its table (PATH-pending) are merged first, which needs the
                   right to write the database; nothing else is written
  --branch CODE    only the rows of this branch code (CDFILIAL), such as 0001
  --from DATE      only the days from DATE on (YYYY-MM-DD, inclusive)
  --to DATE        only the days up to DATE (YYYY-MM-DD, inclusive)
  --format FORMAT  table (default): aligned columns under their names, then a line with the
                   row count and the totals of VRVOLDADOS and QTEMAIL
                   tsv: one row a line, the 11 columns CDFILIAL, NMORIGEM, NMDESTINO,
                   ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, BIETLEMAIL, SEETLEMAIL, TRETLEMAIL,
                   VRVOLDADOS, QTEMAIL tab-separated, no header; a backslash, tab, CR or LF
                   inside a value is written as \\, \t, \r, \n
                   csv: RFC 4180, a header line with the column names, CR LF line ends
                   json: an array of objects keyed by the column names
  -h, --help       show this help

Exit status: 0 on success; 1 when the database cannot be read (the message goes to stderr);
2 on bad usage.
)";

struct Options {
  std::string db;
  server::RowFilter filter;
  server::ReportFormat format = server::ReportFormat::kTable;
};

// "YYYY-MM-DD" as "YYYYMMDD"; empty when it is not such a date.
std::string dateKey(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return {};
  std::string key = std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) +
                    std::string(text.substr(8, 2));
  if (key.find_first_not_of("0123456789") != std::string::npos) return {};
  int month = std::stoi(key.substr(4, 2)), day = std::stoi(key.substr(6, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31) return {};
  return key;
}

Options parseOptions(std::span<char*> args) {
  Options options;
  std::string from, to, format;
  bool haveDb = false;
  ArgumentReader reader(args);
  while (!reader.done()) {
    if (reader.option("--db", options.db)) {
      haveDb = true;
    } else if (!reader.option("--branch", options.filter.branch) &&
               !reader.option("--from", from) && !reader.option("--to", to) &&
               !reader.option("--format", format)) {
      reader.unknown();
    }
  }
  if (!haveDb || options.db.empty()) throw UsageError("--db is required");
  if (!from.empty()) {
    options.filter.from = dateKey(from);
    if (options.filter.from.empty())
      throw UsageError("--from needs YYYY-MM-DD, not '" + from + "'");
  }
  if (!to.empty()) {
    options.filter.to = dateKey(to);
    if (options.filter.to.empty()) throw UsageError("--to needs YYYY-MM-DD, not '" + to + "'");
  }
  if (!format.empty() && !server::parseReportFormat(format, options.format)) {
    throw UsageError("unknown format '" + format + "' (formats: table, tsv, csv, json)");
  }
  return options;
}

}  // namespace

int statsCommand(std::span<char*> args) {
  if (wantsHelp(args)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  Options options = parseOptions(args);
  server::StatisticsStore store(options.db, server::StatisticsStore::Mode::kReadOnly);
  server::writeReport(
      options.format,
      [&](const std::function<void(const server::EmailRow&)>& row) {
        store.forEach(options.filter, row);
      },
      stdout);
  return 0;
}

}  // namespace zeb::cli
