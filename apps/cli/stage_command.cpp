#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "console_backend.h"
#include "host/brenmor.h"
#include "import/module_state.h"
#include "import/phase_sequence.h"
#include "import/traffic_tables.h"
#include "import/upload.h"
#include "platform/core/exceptions.h"
#include "platform/os/file.h"
#include "platform/os/file_services.h"
#include "platform/ui/application.h"
#include "stop_signals.h"
#include "tsv_writer.h"

namespace zeb::cli {

namespace {

constexpr const char* kUsage =
    "zeb18000 inspect --stage STAGE [--year YYYY] [--branch CODE]\n"
    "       [--content-filter HOST:PORT]... [--count] [--] LOG...";

constexpr const char* kDescription =
    R"(Runs the import over the mail log LOG up to STAGE, without any server, and prints what that
stage produces. Several logs are read as one, oldest first, as 'zeb18000 import' reads them;
gzip logs are inflated, and '-' is standard input, read to its end. The stage's output is
one row a line, tab-separated, the table name first and then the columns in table order.
Texts are UTF-8; a backslash, tab, CR or LF inside a value is written as \\, \t,
\r, \n. Numbers are decimal. The work file is deleted at the end, whatever ends the command
(an error, Ctrl-C, SIGTERM, SIGHUP, or a closed output pipe).

Stages:
  workfile  the work file's bytes exactly (the log with CR LF line ends, trimmed at both
            ends) on stdout, and "inLinhas=N stAno=YYYY" on stderr
  parse     the sending records (cdsEnvio: CDMENS, CDREMET, DIA, MES, SIZE, ANO), then the
            delivery records (cdsRecebimento: DIA, MES, NMDEST, CDMENS, ANO), in log order,
            read through the work file; ANO is still empty, except on lines with an
            RFC 3339 time stamp (2026-03-14T00:08:33+01:00), which carry their year
  pair      the per-message traffic (cdsIntermediario: NMORIGEM, NMDESTINO, ANETLEMAIL,
            MEETLEMAIL, DIETLEMAIL, VRVOLDADOS), then the lines "earliest" and "last" with
            year, month and day; a log without traffic is reported invalid
  fold      the statistics rows that an import would store (cdsDados: CDFILIAL, NMORIGEM,
            NMDESTINO, ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, BIETLEMAIL, SEETLEMAIL,
            TRETLEMAIL, VRVOLDADOS, QTEMAIL), folded into an empty packet without any
            server, then the lines "imported N", "grouped N" and "period" with the text of
            the screen's period label
)";

constexpr const char* kFooter = R"(
Environment:
  ZEB_CONTENT_FILTER  the content filters, HOST:PORT comma-separated, when
                      --content-filter is not given (as for import)

Exit status: 0 on success; 1 when the stage fails or the log is invalid (the message goes to
stderr); 2 on bad usage; 130 when stopped by a signal.
)";

struct Options {
  std::string stage;
  std::optional<std::string> year;
  std::optional<std::string> branch;
  std::vector<std::string> contentFilters;
  bool count = false;
  std::vector<std::string> logs;
};

bool isYear(std::string_view text) {
  if (text.size() != 4) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void checkOptions(const Options& options) {
  if (options.branch && options.stage != "fold") {
    throw UsageError("--branch applies to the fold stage");
  }
  if (options.branch && (options.branch->empty() || options.branch->size() > 4)) {
    throw UsageError("--branch needs a code of 1 to 4 characters, not '" + *options.branch + "'");
  }
  if (options.count && options.stage == "workfile") {
    throw UsageError("--count applies to the parse, pair and fold stages");
  }
  if (options.year && !isYear(*options.year)) {
    throw UsageError("--year needs four digits, not '" + *options.year + "'");
  }
}

// Stands in for the application server: an empty statistics packet, and every change taken
// without being stored, so that the fold can be seen without any server.
class NoServer : public import::ServerObject {
 public:
  explicit NoServer(nlohmann::json columns) : columns_(std::move(columns)) {}
  nlohmann::json call(std::string_view method, const nlohmann::json&) override {
    if (method == "GetEmail") {
      return {{"jsonrpc", "2.0"},
              {"id", 1},
              {"result", {{"columns", columns_}, {"rows", nlohmann::json::array()}}}};
    }
    return {{"jsonrpc", "2.0"}, {"id", 1}, {"result", true}};
  }
  nlohmann::json callRaw(std::string_view method, std::string) override {
    return call(method, nullptr);
  }

 private:
  nlohmann::json columns_;
};

// Deletes the work file when the inspection ends, whatever the path.
class WorkFileGuard {
 public:
  WorkFileGuard() = default;
  WorkFileGuard(const WorkFileGuard&) = delete;
  WorkFileGuard& operator=(const WorkFileGuard&) = delete;
  ~WorkFileGuard() { deleteNow(); }
  void deleteNow() {
    if (stArqTemp.empty()) return;
    try {
      platform::os::deleteFile(stArqTemp);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "zeb18000: %s\n", e.what());
    }
    stArqTemp.clear();
  }
};

// Answers false when a stop signal came first.
bool copyToStdout(const std::string& path) {
  platform::os::File in(path, platform::os::File::Mode::kRead);
  std::string block(1 << 20, '\0');
  for (;;) {
    if (StopSignals::lastSignal() != 0) return false;
    std::size_t n = in.read(block.data(), block.size());
    if (n == 0) break;
    if (std::fwrite(block.data(), 1, n, stdout) != n) {
      throw platform::Exception("Writing the output failed");
    }
  }
  if (std::fflush(stdout) != 0) throw platform::Exception("Writing the output failed");
  return true;
}

void printCount(TsvWriter& out, const platform::data::RecordSet& table) {
  out.field(table.name());
  out.field(static_cast<long long>(table.recordCount()));
  out.endLine();
}

void printDate(TsvWriter& out, std::string_view label, const import::DateText& date) {
  out.field(label);
  for (const auto& part : date) out.field(part);
  out.endLine();
}

int inspect(const Options& options) {
  // Progress only where someone watches it: piped or redirected, stderr keeps to errors.
  std::unique_ptr<ConsoleBackend> console;
  if (::isatty(2)) {
    console = std::make_unique<ConsoleBackend>();
  } else {
    console = std::make_unique<QuietConsole>();
  }
  platform::ui::ScopedBackend backendScope(*console);
  import::moduleStartUp();
  host::HostSettings settings = host::hostSettings();
  if (options.branch) settings.branch = *options.branch;
  settings.contentFilters = options.contentFilters;
  host::setHostSettings(settings);
  WorkFileGuard guard;
  import::TrafficTables tables;
  NoServer server(tables.cdsDados.columnsJson());
  import::PhaseResult result;
  {
    // A stop signal ends the phases at their next unit of work; nothing is printed then.
    StopSignals signals(*console);
    console->setStopHandler([](bool) { boImport = false; });
    import::PhaseOptions phases;
    phases.server = &server;
    if (options.year) phases.year = *options.year;
    phases.last = options.stage == "workfile" ? import::ImportStage::kWorkFile
                  : options.stage == "parse"  ? import::ImportStage::kParse
                  : options.stage == "pair"   ? import::ImportStage::kGrouping
                                              : import::ImportStage::kUpload;
    result = import::runPhases(options.logs, tables, phases);
    console->finish();
    if (StopSignals::lastSignal() != 0) return 130;
    if (options.stage == "workfile") {
      if (!copyToStdout(stArqTemp)) return 130;
      std::fprintf(stderr, "inLinhas=%d stAno=%s\n", static_cast<int>(inLinhas), stAno.c_str());
      return 0;
    }
  }
  // The tables hold everything now: the work file goes before the printing, which the signals'
  // usual actions may end.
  guard.deleteNow();

  TsvWriter out(stdout);
  if (options.stage == "parse") {
    if (options.count) {
      printCount(out, tables.cdsEnvio);
      printCount(out, tables.cdsRecebimento);
    } else {
      out.table(tables.cdsEnvio);
      out.table(tables.cdsRecebimento);
    }
    out.flush();
    return 0;
  }

  if (options.stage == "fold") {
    const import::UploadResult& upload = result.upload;
    if (options.count) {
      printCount(out, tables.cdsDados);
    } else {
      out.table(tables.cdsDados);
    }
    out.field("imported");
    out.field(static_cast<long long>(upload.processed));
    out.endLine();
    out.field("grouped");
    out.field(static_cast<long long>(upload.grouped));
    out.endLine();
    out.field("period");
    out.field(upload.period);
    out.endLine();
    out.flush();
    return 0;
  }
  if (options.count) {
    printCount(out, tables.cdsIntermediario);
  } else {
    out.table(tables.cdsIntermediario);
  }
  printDate(out, "earliest", result.grouping.earliest);
  printDate(out, "last", result.grouping.last);
  out.flush();
  return 0;
}

}  // namespace

int inspectCommand(std::span<char*> args) {
  Options options;
  CommandLine line("inspect", kUsage, kDescription, kFooter);
  CLI::App& app = line.app();
  app.add_option("--stage", options.stage, "the stage to run: workfile, parse, pair or fold")
      ->type_name("STAGE")
      ->required()
      ->check(CLI::IsMember({"workfile", "parse", "pair", "fold"}));
  app.add_option("--year", options.year,
                 "the year of the log's last records (earlier records take the years\n"
                 "before it as their months step back); without it, the year in which\n"
                 "LOG (of several, the newest) was last modified. Records with an RFC 3339\n"
                 "time stamp keep the stamp's year, and the records before them are dated\n"
                 "back from it")
      ->type_name("YYYY");
  app.add_option("--branch", options.branch,
                 "the branch code of new statistics rows (fold stage; default 0001)")
      ->type_name("CODE");
  addContentFilterOption(app, options.contentFilters);
  app.add_flag("--count", options.count,
               "print one line per table of the stage, its name and its row count, in\n"
               "place of the rows (parse, pair and fold stages)");
  addLogsOption(app, options.logs);
  return line.run(args, [&] {
    checkOptions(options);
    options.logs = logPaths(options.logs);
    resolveContentFilters(options.contentFilters);
    return inspect(options);
  });
}

}  // namespace zeb::cli
