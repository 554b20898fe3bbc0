#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "cli_options.h"
#include "commands.h"
#include "platform/net/net_security.h"
#include "platform/net/protocol.h"
#include "server/email_layout.h"
#include "server/server.h"
#include "server/statistics_backend.h"

namespace zeb::cli {

namespace {

constexpr const char* kUsage =
    "zeb18000 serve [--listen HOST:PORT] [--db PATH|URI] [--token-file FILE]\n"
    "       [--tls-cert FILE --tls-key FILE] [--log] [LIMITS]";

constexpr const char* kDescription =
    R"(Runs the application server: the remote object ZEB18000.rdmImpEmailInt (GetEmail,
SetDelEmail, SetEmail) as JSON-RPC 2.0 over HTTP at /rpc/ZEB18000.rdmImpEmailInt, storing the
statistics in the SQLite database PATH (created when missing) or in a PostgreSQL database
(tables created on first use). It prints where it listens and serves until SIGINT (Ctrl-C) or
SIGTERM. A database of a newer version of zeb18000, or one that is not ours, is refused.

Access: with --token-file (or ZEB_TOKEN_FILE) every request must carry the header
'Authorization: Bearer TOKEN' with the token on the file's first line; a request without it,
or with another, is answered 401 and changes nothing. Without a token the server listens only
on a loopback address: it refuses to start on any other. With --tls-cert and --tls-key it
speaks HTTPS only. Clients take the same token file (import/stats --token-file) and an
https:// address.

Connections: a request's head (request line and headers) must arrive within the header
time-out; a body or an answer that makes no progress for the read time-out ends the
connection; a kept-alive connection may stay idle for the idle time-out. Waiting connections
hold no worker: only complete heads are served, by the workers. Past the connection limit the
waiting connection nearest its time-out is closed. A stop closes idle connections at once.
A request without "id" (a JSON-RPC notification) is carried out and answered 204, no body.

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
    R"(With --log, one line per request goes to stderr: the time (UTC), the session, the method, the
rows (SetEmail: changes taken; GetEmailStats: rows answered), the outcome (ok, or the HTTP
status, the JSON-RPC error code and its message) and the milliseconds it took. The token never
appears in it.

Environment:
  ZEB_TOKEN_FILE  the file holding the token, when --token-file is not given

Exit status: 0 after a clean stop; 1 when the database cannot be opened (or another server uses
it), the address cannot be bound, the TLS files or the token file cannot be read, a non-loopback
address has no token, or the stop cannot merge what is waiting (the message goes to stderr); 2 on
bad usage.
)";

// One line of --log.
void logCall(const server::CallRecord& call) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(call.time);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(call.time.time_since_epoch()).count() %
      1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string outcome = "ok";
  if (call.code != 0 || call.status >= 400) {
    outcome = "HTTP " + std::to_string(call.status);
    if (call.code != 0) outcome += " error " + std::to_string(call.code) + ": " + call.message;
  }
  for (char& c : outcome) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  std::fprintf(stderr, "%s.%03dZ session=%s method=%s rows=%zu %.1f ms %s\n", stamp,
               static_cast<int>(millis), call.session.empty() ? "-" : call.session.c_str(),
               call.method.empty() ? "-" : call.method.c_str(), call.rows, call.milliseconds,
               outcome.c_str());
}

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
  std::string host =
      server.host().find(':') != std::string::npos ? "[" + server.host() + "]" : server.host();
  std::printf("zeb18000: serving %s at %s://%s:%d%s (database %s%s); stop with Ctrl-C\n",
              std::string(server::kObjectName).c_str(),
              options.tlsCertFile.empty() ? "http" : "https", host.c_str(), server.port(),
              std::string(platform::net::protocol::kObjectPath).c_str(),
              server::shownDatabase(options.databasePath).c_str(),
              options.token.empty() ? "" : ", token required");
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
  std::string listen, tokenFile;
  bool log = false;
  double headerTimeout = 10, readTimeout = 10, idleTimeout = 60;
  std::size_t maxBodyMiB = 64;
  CommandLine line("serve", kUsage, kDescription, kFooter);
  CLI::App& app = line.app();
  CLI::Option* listenGiven =
      app.add_option("--listen", listen,
                     "the address to listen on (default 127.0.0.1:18000: this machine\n"
                     "only; 0.0.0.0:18000 for every network, which needs a token; port\n"
                     "0 takes any free port)")
          ->type_name("HOST:PORT");
  app.add_option("--db", options.databasePath,
                 "the SQLite database (default ./zeb18000.db), or a PostgreSQL\n"
                 "connection URI such as postgresql://zeb@db.example.com/stats")
      ->type_name("PATH|URI");
  app.add_option("--token-file", tokenFile,
                 "require the token on the first line of FILE in every request\n"
                 "(default: the file that ZEB_TOKEN_FILE names, else no token)")
      ->type_name("FILE");
  app.add_option("--tls-cert", options.tlsCertFile,
                 "serve HTTPS with this PEM certificate (or chain); needs --tls-key")
      ->type_name("FILE");
  app.add_option("--tls-key", options.tlsKeyFile, "the PEM private key of --tls-cert")
      ->type_name("FILE");
  app.add_flag("--log", log, "one line per request on stderr (see below)");
  app.add_option("--max-body", maxBodyMiB, "the largest request body in MiB (default 64)")
      ->type_name("MIB")
      ->check(CLI::Range(std::size_t{1}, std::size_t{4096}).description(""));
  app.add_option("--max-header-bytes", options.limits.maxHeaderBytes,
                 "the largest request head (request line and headers) in bytes\n"
                 "(default 65536)")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1024}, std::size_t{16} << 20).description(""));
  app.add_option("--max-headers", options.limits.maxHeaderCount,
                 "the most header lines in a request (default 100)")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{4}, std::size_t{10000}).description(""));
  app.add_option("--header-timeout", headerTimeout,
                 "seconds for a request's head to arrive (default 10)")
      ->type_name("S")
      ->check(CLI::Range(0.1, 3600.0).description(""));
  app.add_option("--read-timeout", readTimeout,
                 "seconds a body or an answer may make no progress (default 10)")
      ->type_name("S")
      ->check(CLI::Range(0.1, 3600.0).description(""));
  app.add_option("--idle-timeout", idleTimeout,
                 "seconds a kept-alive connection may stay idle (default 60)")
      ->type_name("S")
      ->check(CLI::Range(0.1, 86400.0).description(""));
  app.add_option("--workers", options.limits.workers, "requests served at once (default 16)")
      ->type_name("N")
      ->check(CLI::Range(1, 1024).description(""));
  app.add_option("--max-connections", options.limits.maxConnections,
                 "open connections, idle ones included (default 1000)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000).description(""));
  return line.run(args, [&] {
    if (*listenGiven) parseListen(listen, options);
    if (options.databasePath.empty()) throw UsageError(
          "--db needs a SQLite database's path or a PostgreSQL URI (postgresql://...), not an "
          "empty text");
    if (options.tlsCertFile.empty() != options.tlsKeyFile.empty()) {
      throw UsageError(options.tlsCertFile.empty() ? "--tls-key needs --tls-cert"
                                                   : "--tls-cert needs --tls-key");
    }
    auto seconds = [](double s) {
      return std::chrono::milliseconds(static_cast<std::int64_t>(s * 1000));
    };
    options.limits.headerTimeout = seconds(headerTimeout);
    options.limits.readTimeout = seconds(readTimeout);
    options.limits.idleTimeout = seconds(idleTimeout);
    options.limits.maxBodyBytes = maxBodyMiB << 20;
    std::string file = tokenFileOrEnvironment(tokenFile);
    if (!file.empty()) options.token = platform::net::readTokenFile(file);
    if (log) options.logCall = logCall;
    return serve(options);
  });
}

}  // namespace zeb::cli
