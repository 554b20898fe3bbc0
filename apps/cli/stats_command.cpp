#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "host/host_port.h"
#include "hosting/stats_client.h"
#include "platform/net/net_connection.h"
#include "server/statistics_backend.h"
#include "server/stats_report.h"

namespace zeb::cli {

namespace {

constexpr const char* kUsage =
    "zeb18000 stats (--db PATH|URI | --server ADDRESS [--tls] [--ca-file FILE] [--insecure]\n"
    "                      [--token-file FILE]) [--branch CODE] [--from YYYY-MM-DD]\n"
    "                      [--to YYYY-MM-DD] [--format table|tsv|csv|json]";

constexpr const char* kDescription =
    R"(Lists the e-mail statistics stored by 'zeb18000 serve', read from its database PATH or asked
of the running server at ADDRESS (HOST:PORT, or https://HOST:PORT), sorted by branch (CDFILIAL), date, origin and destination
(addresses without regard to letter case). Both give the same listing. Texts are UTF-8; numbers
are written as integers when whole.
)";

constexpr const char* kFooter =
    R"(Exit status: 0 on success; 1 when the database cannot be read or the server fails or
refuses the query (the message goes to stderr); 2 on bad usage.

Environment:
  ZEB_TOKEN_FILE  the file holding the server's token, when --token-file is not given
)";

struct Options {
  std::string db;
  std::string server;
  std::string host;
  int port = 0;
  ClientSecurityOptions security;
  platform::net::NetSecurity resolved;
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

// Checks what the options do not and turns the dates into keys.
void checkOptions(Options& options, const std::string& from, const std::string& to,
                  const std::string& format) {
  if (options.db.empty() == options.server.empty()) {
    throw UsageError(options.db.empty() ? "--db or --server is required"
                                        : "--db and --server do not go together");
  }
  if (options.server.empty() &&
      (options.security.tls || options.security.insecure || !options.security.caFile.empty() ||
       !options.security.tokenFile.empty())) {
    throw UsageError("--tls, --ca-file, --insecure and --token-file are for --server");
  }
  if (!options.server.empty()) {
    options.resolved =
        resolveClientSecurity(options.server, options.security, options.host, options.port);
  }
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
}

// "YYYYMMDD" as the server takes dates.
std::string dashed(const std::string& key) {
  return key.substr(0, 4) + "-" + key.substr(4, 2) + "-" + key.substr(6, 2);
}

// Asks the running server, a page at a time. The table format reads the rows twice (widths
// first); it asks twice rather than hold a large range in memory.
int reportFromServer(const Options& options) {
  platform::net::TNetConnection connection;
  connection.setHost(options.host);
  connection.setPort(options.port);
  connection.setServerName(std::string(server::kObjectName));
  connection.setSecurity(options.resolved);
  // The open ends of a range are the widest dates the server takes.
  hosting::StatsRange range{
      options.filter.branch,
      options.filter.from == "00000000" ? "0001-01-01" : dashed(options.filter.from),
      options.filter.to == "99999999" ? "9999-12-31" : dashed(options.filter.to)};
  server::writeReport(
      options.format,
      [&](const std::function<void(const server::EmailRow&)>& write) {
        hosting::StatsReader reader(connection, range);
        std::vector<hosting::StatsRow> rows;
        while (reader.fetchMore(rows)) {
          for (const hosting::StatsRow& row : rows) write(row.view());
          rows.clear();
        }
      },
      stdout);
  return 0;
}

int report(const Options& options) {
  if (!options.server.empty()) return reportFromServer(options);
  server::BackendOptions open;
  open.database = options.db;
  open.readOnly = true;
  std::unique_ptr<server::StatisticsBackend> store = server::openStatisticsBackend(open);
  server::writeReport(
      options.format,
      [&](const std::function<void(const server::EmailRow&)>& row) {
        store->forEach(options.filter, row);
      },
      stdout);
  return 0;
}

}  // namespace

int statsCommand(std::span<char*> args) {
  Options options;
  std::string from, to, format;
  CommandLine line("stats", kUsage, kDescription, kFooter);
  CLI::App& app = line.app();
  app.add_option("--db", options.db,
                 "the server's database: a SQLite file or a PostgreSQL URI\n"
                 "(postgresql://...). For SQLite, batches the server has taken and not yet\n"
                 "merged into its table (PATH-pending) are merged first, which needs\n"
                 "the right to write the database; nothing else is written. With\n"
                 "nothing pending, the right to read the database's files is enough")
      ->type_name("PATH|URI");
  app.add_option("--server", options.server,
                 "the running application server, HOST:PORT or https://HOST:PORT,\n"
                 "asked through its read-only query; it answers every batch it has\n"
                 "taken, merged or not")
      ->type_name("ADDRESS");
  addClientSecurityOptions(app, options.security);
  app.add_option("--branch", options.filter.branch,
                 "only the rows of this branch code (CDFILIAL), such as 0001")
      ->type_name("CODE");
  app.add_option("--from", from, "only the days from DATE on (YYYY-MM-DD, inclusive)")
      ->type_name("DATE");
  app.add_option("--to", to, "only the days up to DATE (YYYY-MM-DD, inclusive)")->type_name("DATE");
  app.add_option("--format", format,
                 "table (default): aligned columns under their names, then a line\n"
                 "with the row count and the totals of VRVOLDADOS and QTEMAIL\n"
                 "tsv: one row a line, the 11 columns CDFILIAL, NMORIGEM, NMDESTINO,\n"
                 "ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, BIETLEMAIL, SEETLEMAIL,\n"
                 "TRETLEMAIL, VRVOLDADOS, QTEMAIL tab-separated, no header; a\n"
                 "backslash, tab, CR or LF inside a value is written as \\\\, \\t, \\r, \\n\n"
                 "csv: RFC 4180, a header line with the column names, CR LF line ends\n"
                 "json: an array of objects keyed by the column names")
      ->type_name("FORMAT");
  return line.run(args, [&] {
    checkOptions(options, from, to, format);
    return report(options);
  });
}

}  // namespace zeb::cli
