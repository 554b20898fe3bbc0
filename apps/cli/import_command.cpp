// zeb18000 import: the headless host of the import screen. It loads the module, opens the screen
// through IniProc, puts the log into the file field, presses the import command and shows the
// screen through the console backend.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "console_backend.h"
#include "host/base_screen.h"
#include "host/brenmor.h"
#include "host/exception_handler.h"
#include "hosting/embedded_server.h"
#include "hosting/loaded_module.h"
#include "import/log_paths.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "server/server.h"
#include "stop_signals.h"

namespace zeb::cli {

namespace {

namespace ui = platform::ui;

constexpr const char* kDescription =
    R"(Imports the Postfix mail log LOG into the e-mail statistics of the application server, as
the screen ZEB18000 does: the statistics per sender, recipient and day (message count, bytes,
period codes) under the branch code, replacing what the server held for the days the log
carries from its earliest date on. Progress goes to stderr (a status line on a terminal, a
line per phase otherwise), the summary to stdout.

Several logs are imported as one log (a rotation set: 'zeb18000 import mail.log.2.gz
mail.log.1 mail.log'), oldest first by the time stamp of each one's first line, whatever
the order given; a log without a stamp keeps its place. Importing them one at a time would
lose the part of the day that a rotation split off. A log that begins with the gzip magic is
inflated as it is read. '-' is standard input, which, like a pipe or '<(zcat mail.log.1.gz)',
is read to its end; progress then counts MiB read. The field of the screen holds the logs as
"mail.log.2.gz" "mail.log.1" "mail.log" (a single log as it is).

Without --server (and without ZEB_SERVER) the command starts the application server inside
itself, on a loopback port, over the SQLite database of --db, and returns only when the
statistics are in the database: 'zeb18000 stats --db PATH' shows them right after.

Ctrl-C asks "Parar importação?" on a terminal and stops at once otherwise; SIGTERM and SIGHUP
stop at once. A stop during the upload keeps the batches already sent, whole; the work file is
deleted however the run ends.
)";

constexpr const char* kFooter = R"(
Environment:
  ZEB_SERVER          the application server's address, when --server is not given
  ZEB_TOKEN_FILE      the file holding the server's token, when --token-file is not given
  ZEB_BRANCH          the branch code, when --branch is not given
  ZEB_CONTENT_FILTER  the content filters, HOST:PORT comma-separated, when
                      --content-filter is not given
  ZEB_MODULE          the module library to load (default: libzeb18000.so beside the
                      program)

Exit status: 0 imported; 1 failed (the reason on stderr); 2 bad usage; 130 stopped.
)";

struct Options {
  std::vector<std::string> logs;
  std::string server;
  std::string db = "zeb18000.db";
  std::string branch;
  std::vector<std::string> contentFilters;
  ClientSecurityOptions security;
  bool json = false;
  bool quiet = false;
};

template <typename T>
T& control(ui::Form& screen, const char* name) {
  auto* found = dynamic_cast<T*>(screen.findChild(name));
  if (found == nullptr) throw platform::Exception(std::string("the screen has no ") + name);
  return *found;
}

long long number(const std::string& text) {
  return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

int runImport(const Options& options) {
  std::unique_ptr<ConsoleBackend> console =
      options.quiet ? std::make_unique<QuietConsole>() : std::make_unique<ConsoleBackend>();
  // A stop question must never take a line of a log that comes through standard input.
  console->setStdinIsData(std::find(options.logs.begin(), options.logs.end(), "/dev/stdin") !=
                          options.logs.end());
  ui::ScopedBackend backendScope(*console);
  StopSignals signals(*console);
  console->setStopHandler([&console](bool confirm) { console->pressStopButton(confirm); });

  // The server: the one named, or one of our own over the database.
  host::HostSettings settings;
  settings.branch = options.branch;
  settings.contentFilters = options.contentFilters;
  std::unique_ptr<server::Server> embedded;
  if (options.server.empty()) {
    embedded = hosting::startEmbeddedServer(options.db, settings);
  } else {
    settings.serverSecurity = resolveClientSecurity(options.server, options.security,
                                                    settings.serverHost, settings.serverPort);
  }
  host::setHostSettings(settings);

  auto module = std::make_unique<hosting::LoadedModule>();
  module->iniProc();
  ui::Form* form = nullptr;
  for (ui::Form* f : ui::application().forms()) {
    if (f->name() == "frmImpEmailInternet") form = f;
  }
  if (form == nullptr) throw platform::Exception("the module opened no import screen");
  auto* screen = dynamic_cast<host::TfrmPadrImportExport*>(form);
  if (screen == nullptr) throw platform::Exception("the import screen is not an import screen");
  const host::TMessages& messages = screen->msgPadrao;
  console->setPhaseTexts({messages.Msg("Prep_Dados"), messages.Msg("Rec_dad"),
                          messages.Msg("An_dad"), messages.Msg("Org_dad"), messages.Msg("Imp")});

  control<ui::Edit>(*form, "edtArqEmail").setText(import::joinLogPaths(options.logs));
  auto started = std::chrono::steady_clock::now();
  int status = 0;
  try {
    screen->sbtImportExport.press();
  } catch (const platform::EAbort& e) {
    console->finish();
    // The dialog has said what failed; the detail says why.
    if (!e.detail().empty()) std::fprintf(stderr, "zeb18000: %s\n", e.detail().c_str());
    status = 1;
  } catch (const std::exception& e) {
    console->finish();
    const std::string& phase = screen->lblProgresso.caption();
    if (phase.empty()) {
      std::fprintf(stderr, "zeb18000: %s\n", e.what());
    } else {
      std::fprintf(stderr, "zeb18000: %s: %s\n", phase.c_str(), e.what());
    }
    status = 1;
  }
  console->finish();

  // What the screen shows, kept before it goes.
  // A stopped run says so on its status line; the module's own flag is not read here, since
  // this program may hold a copy of it (inspect links the import).
  bool stopped = screen->lblProgresso.caption().starts_with(messages.Msg("user_canc"));
  auto caption = [form](const char* name) { return control<ui::Label>(*form, name).caption(); };
  const std::string finalStatus = screen->lblProgresso.caption();
  const std::string imported = caption("lblQtImpEmail"), grouped = caption("lblDadAgrup"),
                    period = caption("lblPerImpEmail");
  const std::string summary = caption("lblPerEmail") + " " + period + "\n" + caption("lblQtEmail") +
                              " " + imported + "\n" + caption("lblRegAgrup") + " " + grouped + "\n";
  // The screen goes first, and its connection with it, so that the server's stop waits for no
  // idle connection; the stop puts every accepted batch into the table before the command
  // returns, a failed run's too.
  module.reset();
  if (embedded) {
    try {
      embedded->stop();
    } catch (const std::exception& e) {
      // Every batch sent is safe in the pending file, but not in the table that readers see.
      std::fprintf(stderr,
                   "zeb18000: the batches sent could not be merged into the table; they wait in "
                   "%s-pending for the next start: %s\n",
                   options.db.c_str(), e.what());
      status = 1;
    }
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (status != 0) return status;

  if (options.json) {
    nlohmann::json object = {{"status", finalStatus},      {"imported", number(imported)},
                             {"grouped", number(grouped)}, {"period", period},
                             {"stopped", stopped},         {"seconds", seconds}};
    std::printf("%s\n", object.dump().c_str());
  } else if (!options.quiet) {
    // On a terminal the status line has just said it, on the same screen.
    if (!(::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO))) {
      std::printf("%s\n", finalStatus.c_str());
    }
    if (!imported.empty()) std::fputs(summary.c_str(), stdout);
  }
  std::fflush(stdout);
  return stopped ? 130 : 0;
}

}  // namespace

int importCommand(std::span<char*> args) {
  CommandLine line("import",
                   "zeb18000 import [--server ADDRESS [--tls] [--ca-file FILE] [--insecure]\n"
                   "       [--token-file FILE] | --db PATH] [--branch CODE]\n"
                   "       [--content-filter HOST:PORT]... [--json] [--quiet] [--] LOG...",
                   kDescription, kFooter);
  Options options;
  CLI::App& app = line.app();
  addLogsOption(app, options.logs);
  CLI::Option* server =
      app.add_option("--server", options.server,
                     "the application server, HOST:PORT or https://HOST:PORT (default:\n"
                     "ZEB_SERVER, else the embedded server over --db)")
          ->type_name("ADDRESS");
  CLI::Option* db = app.add_option("--db", options.db,
                                   "the embedded server's SQLite database (default ./zeb18000.db)")
                        ->type_name("PATH");
  app.add_option("--branch", options.branch,
                 "the branch code of the statistics, 1 to 4 characters (default:\n"
                 "ZEB_BRANCH, else 0001)")
      ->type_name("CODE");
  addContentFilterOption(app, options.contentFilters);
  addClientSecurityOptions(app, options.security);
  app.add_flag("--json", options.json,
               "print one JSON object on stdout: status, imported, grouped, period,\n"
               "stopped, seconds");
  app.add_flag("--quiet", options.quiet, "print nothing but errors");
  return line.run(args, [&]() -> int {
    if (server->count() > 0 && db->count() > 0) {
      throw UsageError("--db is the embedded server's; it does not go with --server");
    }
    if (options.server.empty() && db->count() == 0) {
      if (const char* env = std::getenv("ZEB_SERVER"); env != nullptr && *env != '\0') {
        options.server = env;
      }
    }
    std::string host;
    int port = 0;
    bool tls = false;
    if (!options.server.empty() && !splitServerAddress(options.server, host, port, tls)) {
      throw UsageError(
          "the server needs HOST:PORT or https://HOST:PORT (such as "
          "127.0.0.1:18000), not '" +
          options.server + "'");
    }
    if (options.server.empty() &&
        (options.security.tls || options.security.insecure || !options.security.caFile.empty() ||
         !options.security.tokenFile.empty())) {
      throw UsageError("--tls, --ca-file, --insecure and --token-file are for --server");
    }
    if (options.branch.empty()) {
      const char* env = std::getenv("ZEB_BRANCH");
      options.branch = env != nullptr && *env != '\0' ? env : "0001";
    }
    if (options.branch.size() > 4) {
      throw UsageError("the branch code has 1 to 4 characters, not '" + options.branch + "'");
    }
    if (options.db.empty()) throw UsageError("--db needs a path");
    options.logs = logPaths(options.logs);
    resolveContentFilters(options.contentFilters);
    return runImport(options);
  });
}

}  // namespace zeb::cli
