#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli_options.h"
#include "commands.h"
#include "server/server.h"
#include "server/statistics_backend.h"

namespace zeb::cli {

namespace {

constexpr const char* kUsage =
    "zeb18000 serve [--listen HOST:PORT] [--db PATH | --db postgresql://USER@HOST[:PORT]/DB]";

constexpr const char* kDescription =
    R"(Runs the application server: the remote object ZEB18000.rdmImpEmailInt (GetEmail,
SetDelEmail, SetEmail) as JSON-RPC 2.0 over HTTP at /rpc/ZEB18000.rdmImpEmailInt, storing the
statistics in the SQLite database PATH (created when missing) or in a PostgreSQL database
(tables created on first use). It prints where it listens and serves until SIGINT (Ctrl-C) or
SIGTERM. A database of a newer version of zeb18000, or one that is not ours, is refused.

What it does with the calls:
  GetEmail      answers the statistics layout with no rows
  SetDelEmail   starts an import in the calling session (header X-Zeb-Session): stored
                statistics from that date on are to be replaced; nothing is deleted yet
  SetEmail      takes one batch, whole or not at all: each branch's day on or after that date
                that the batch carries, and that the session has not replaced yet, loses its
                stored rows first; then the batch's rows are stored. A batch with a row that
                no import produces is refused whole: a day its month lacks (31 February), a
                volume or count that is negative or not whole (or a count of 0), period codes
                of another month
Imports of one branch that overlap in time end as if run one after another in the order of
their SetDelEmail calls: a day holds the rows of the latest of them that carries it, and an
earlier import's changes of that day are dropped. Sessions quiet for an hour are forgotten.

A batch is answered once it is written to PATH-pending, which survives a crash of the server;
the server then merges it into the table in the background, in the order the batches came,
when no batch has come for a moment (at the latest ten seconds after it came); past 256 MiB
the file is emptied before the next batch, once everything in it is merged. A stop merges what
is waiting and removes the file, leaving the database as the one file PATH (unless a reader has
it open then); a stop whose merge fails says why and leaves the file, as a crash does, to the
next start (or to 'zeb18000 stats'). Merge failures while serving are printed on stderr as they
happen; the merge is retried every second.
One server at a time may use a SQLite database.

With PostgreSQL (any libpq URI, postgresql:// or postgres://; the password from ~/.pgpass or
PGPASSWORD, never in the URI) there is no pending file: a batch is answered once its
transaction has committed, and any number of servers may share the database, each taking any
call of any session (the sessions live in the database).
)";

constexpr const char* kFooter =
    R"(Exit status: 0 after a clean stop; 1 when the database cannot be opened (or another server uses
it), the address cannot be bound, or the stop cannot merge what is waiting (the message goes to
stderr); 2 on bad usage.
)";

// Port 0 takes any free port.
void parseListen(const std::string& listen, server::ServerOptions& options) {
  if (!splitHostPort(listen, options.host, options.port, 0)) {
    throw UsageError("--listen needs HOST:PORT (such as 127.0.0.1:18000), not '" + listen + "'");
  }
}

int serve(const server::ServerOptions& options) {
  // The signals are taken by this thread alone: blocked before the server starts its threads,
  // which inherit the mask, and then waited for.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  struct RestoreMask {
    sigset_t mask;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};

  server::ServerOptions withReport = options;
  // A merge that fails is retried while the server runs; the operator hears of it at once.
  withReport.reportFailure = [](const std::exception& failure) {
    std::fprintf(stderr, "zeb18000 server: %s\n", failure.what());
  };
  server::Server server(withReport);
  server.start();
  std::printf(
      "zeb18000: serving ZEB18000.rdmImpEmailInt at http://%s:%d/rpc/ZEB18000.rdmImpEmailInt"
      " (database %s); stop with Ctrl-C\n",
      server.host().c_str(), server.port(), server::shownDatabase(options.databasePath).c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  std::printf("zeb18000: stopping on %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
  std::fflush(stdout);
  try {
    server.stop();
  } catch (const std::exception&) {
    std::fprintf(stderr,
                 "zeb18000: stopped with batches not merged into the table; they wait in %s-pending"
                 " for the next start\n",
                 options.databasePath.c_str());
    throw;
  }
  return 0;
}

}  // namespace

int serveCommand(std::span<char*> args) {
  server::ServerOptions options;
  std::string listen;
  CommandLine line("serve", kUsage, kDescription, kFooter);
  CLI::Option* listenGiven =
      line.app()
          .add_option("--listen", listen,
                      "the address to listen on (default 127.0.0.1:18000: this machine\n"
                      "only; 0.0.0.0:18000 for every network; port 0 takes any free port)")
          ->type_name("HOST:PORT");
  line.app()
      .add_option("--db", options.databasePath,
                  "the SQLite database (default ./zeb18000.db), or a PostgreSQL\n"
                  "connection URI such as postgresql://zeb@db.example.com/stats")
      ->type_name("PATH|URI");
  return line.run(args, [&] {
    if (*listenGiven) parseListen(listen, options);
    if (options.databasePath.empty()) throw UsageError("--db needs a path");
    return serve(options);
  });
}

}  // namespace zeb::cli
