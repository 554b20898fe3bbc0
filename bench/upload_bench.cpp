// A whole import of a mail log into the application server, as the operator runs it: the log
// to per-message traffic (cdsIntermediario), then the fold into statistics rows and their upload
// in batches through the real connection into a server in this process, over loopback, with
// SQLite in a temporary file. Reports traffic rows per second for the fold and upload (the
// target: 500,000 a second) and where the time goes: the fold on the client, encoding the
// deltas, waiting for the answers (a batch is taken by the server while the client folds the
// next), and, on the server's threads meanwhile, reading the batches and accepting them; and,
// apart, the phases before the upload and when the table held every batch
// (the server merges accepted batches in the background, while the upload goes on): after the
// upload ended, and from its start, which is what an import that waits for the table pays,
// with the CPU time spent meanwhile (with PostgreSQL, its processes' too: on a machine of few
// cores, the sum bounds how soon the table can be complete).
// Last, how long stopping and closing the server took, and the process's peak memory.
//
// usage: upload_bench LOG [--again] [--db postgresql://...]
//   --again  imports the same log a second time into the same database (every day replaced)
//   --db     stores into that PostgreSQL database instead, in a schema of the benchmark's own
//            that it drops at the end (accepted batches wait in its pending table and are
//            merged in the background, as with SQLite's pending file); a checkpoint first
//            recycles the WAL files of earlier work
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "bench_backend.h"
#include "floor.h"
#include "import/module_state.h"
#include "import/net_server_object.h"
#include "import/phase_sequence.h"
#include "platform/net/net_connection.h"
#include "platform/os/file_services.h"
#include "platform/os/heap_tuning.h"
#include "platform/ui/application.h"
#include "server/email_layout.h"
#include "server/pg_connection.h"
#include "server/postgres_tables.h"
#include "server/server.h"

using namespace zeb;
using bench::Clock;

namespace {

namespace fs = std::filesystem;

double between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Where one upload's time went on the client, gathered from the busy animation that brackets
// every batch's hand-over and from the calls themselves. A batch is sent while the next one is
// folded: the client waits only for what the server has not finished by the next hand-over.
struct UploadClock {
  Clock::time_point mark;  // the busy animation shown, an answer taken or a batch sent
  Clock::time_point waitEntered;
  double stageStart = 0;  // GetEmail and SetDelEmail
  double encode = 0;      // writing the deltas
  double wait = 0;        // waiting for the answers of SetEmail
  double merge = 0;       // checking the answer, merging the change log, the rest of the hand-over
  double deltaMegabytes = 0;
  int batches = 0;
};

// The server object, timed.
class TimedServer : public import::ServerObject {
 public:
  TimedServer(import::ServerObject& inner, UploadClock& clock) : inner_(inner), clock_(clock) {}

  nlohmann::json call(std::string_view method, const nlohmann::json& params) override {
    auto start = Clock::now();
    nlohmann::json answer = inner_.call(method, params);
    clock_.stageStart += between(start, Clock::now());
    return answer;
  }
  nlohmann::json callRaw(std::string_view method, std::string paramsJson) override {
    return inner_.callRaw(method, std::move(paramsJson));
  }
  void send(std::string_view method, std::string paramsJson) override {
    clock_.encode += between(clock_.mark, Clock::now());
    clock_.deltaMegabytes += static_cast<double>(paramsJson.size()) / 1e6;
    ++clock_.batches;
    inner_.send(method, std::move(paramsJson));
    clock_.mark = Clock::now();
  }
  nlohmann::json answer() override {
    auto start = Clock::now();
    nlohmann::json answer = inner_.answer();
    clock_.mark = Clock::now();
    clock_.wait += between(start, clock_.mark);
    return answer;
  }
  bool sending() const override { return inner_.sending(); }
  void abandon() noexcept override { inner_.abandon(); }

 private:
  import::ServerObject& inner_;
  UploadClock& clock_;
};

struct StepClock {
  Clock::time_point at[7];  // the start of every step, then the end of the run
};

void row(const char* name, double seconds, double whole, double rows) {
  std::printf("    %-28s %8.3f s  %5.1f%%  %11.0f rows/s\n", name, seconds, 100 * seconds / whole,
              rows / seconds);
}

double processCpu() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU time that PostgreSQL's processes on this machine have used so far, read from /proc:
// what a server on another machine would spend there (with a server elsewhere, nothing). The backends that serve connections
// apart from the others (the WAL writer, the checkpointer...). Processes that have ended are not
// counted; none ends during an import.
struct PostgresCpu {
  double backends = 0, others = 0;
};
PostgresCpu postgresCpu(server::PgConnection& c) {
  std::vector<server::PgResult> pids = c.exec(
      "SELECT pid, backend_type = 'client backend' FROM pg_stat_activity", "finding pids");
  PostgresCpu cpu;
  for (int i = 0; i < server::pgRows(pids.front()); ++i) {
    std::ifstream stat("/proc/" + std::string(server::pgField(pids.front(), i, 0)) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command's closing parenthesis: state is field 3, utime and stime 14 and 15. A
    // server on another machine has no such file here: it counts nothing.
    std::size_t command = text.rfind(')');
    if (command == std::string::npos) continue;
    std::istringstream fields(text.substr(command + 1));
    std::string field;
    double ticks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
      if (n >= 14) ticks += std::stod(field);
    }
    double seconds = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    (server::fieldIsTrue(server::pgField(pids.front(), i, 1)) ? cpu.backends : cpu.others) +=
        seconds;
  }
  return cpu;
}

int importOnce(const char* log, server::Server& server, platform::net::TNetConnection& net,
               const char* title, server::PgConnection* postgres) {
  UploadClock clock;
  // A hand-over without changes sends nothing: its time counts as merging.
  bench::BenchBackend backend(
      "upload_bench", [&clock] { clock.mark = Clock::now(); },
      [&clock] { clock.merge += between(clock.mark, Clock::now()); });
  platform::ui::ScopedBackend scope(backend);
  import::NetServerObject object(net);
  TimedServer timed(object, clock);
  StepClock steps;
  import::PhaseOptions options;
  options.server = &timed;
  // The CPU that the upload and the merge behind it take, from the upload's start to the
  // table's completion, in this process and in PostgreSQL's.
  double cpuAtUpload = 0;
  PostgresCpu postgresAtUpload;
  options.stageStarted = [&](import::ImportStage stage) {
    if (stage == import::ImportStage::kUpload) {
      if (postgres) postgresAtUpload = postgresCpu(*postgres);
      cpuAtUpload = processCpu();
    }
    steps.at[static_cast<int>(stage)] = Clock::now();
  };
  import::TrafficTables tables;
  server::ServerMetrics before = server.metrics();

  import::UploadResult result;
  try {
    boRegsImp = false;
    boImport = true;
    result = import::runPhases(log, tables, options).upload;
    steps.at[5] = Clock::now();
    tables.closeAll();
    platform::os::deleteFile(stArqTemp);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "upload_bench: %s\n", e.what());
    tables.closeAll();
    if (!stArqTemp.empty()) platform::os::deleteFile(stArqTemp);
    return 1;
  }
  steps.at[6] = Clock::now();
  // The upload ends when the last batch is accepted; the table catches up behind it.
  server.flush();
  Clock::time_point inTable = Clock::now();
  double uploadCpu = processCpu() - cpuAtUpload;
  PostgresCpu postgresUploadCpu;
  if (postgres) {
    postgresUploadCpu = postgresCpu(*postgres);
    postgresUploadCpu.backends -= postgresAtUpload.backends;
    postgresUploadCpu.others -= postgresAtUpload.others;
  }
  double catchUp = between(steps.at[5], inTable);
  server::ServerMetrics after = server.metrics();
  if (!boImport) {
    std::fprintf(stderr, "upload_bench: the run stopped before the end\n");
    return 1;
  }

  double mb = static_cast<double>(platform::os::fileSize(log)) / 1e6;
  double rows = result.processed;
  double workFile = between(steps.at[0], steps.at[1]);
  double parse = between(steps.at[1], steps.at[2]);
  double analysis = between(steps.at[2], steps.at[3]);
  double grouping = between(steps.at[3], steps.at[4]);
  double toTraffic = between(steps.at[0], steps.at[4]);
  double upload = between(steps.at[4], steps.at[5]);
  double cleanUp = between(steps.at[5], steps.at[6]);
  double decode = static_cast<double>(after.decodeNanos - before.decodeNanos) / 1e9;
  double store = static_cast<double>(after.storeNanos - before.storeNanos) / 1e9;
  double sends = clock.encode + clock.wait + clock.merge;
  double fold = upload - clock.stageStart - sends;

  std::printf(
      "== %s: %.1f MB log, %.0f traffic rows, %llu statistics rows in %d batches "
      "(%.1f MB of deltas)\n",
      title, mb, rows, static_cast<unsigned long long>(after.changes - before.changes),
      clock.batches, clock.deltaMegabytes);
  std::printf("  log -> cdsIntermediario     %8.3f s  %7.1f MB/s  %11.0f rows/s\n", toTraffic,
              mb / toTraffic, rows / toTraffic);
  std::printf("    %-28s %8.3f s\n    %-28s %8.3f s\n    %-28s %8.3f s\n    %-28s %8.3f s\n",
              "work file", workFile, "parse", parse, "analysis", analysis, "grouping", grouping);
  std::printf("  fold + upload (end to end)  %8.3f s  %11.0f rows/s  (target >= 500,000)\n", upload,
              rows / upload);
  row("fold on the client", fold, upload, rows);
  row("encode the deltas", clock.encode, upload, rows);
  row("wait for the answers", clock.wait, upload, rows);
  row("check + merge", clock.merge, upload, rows);
  row("GetEmail + SetDelEmail", clock.stageStart, upload, rows);
  std::printf("  meanwhile on the server's threads:\n");
  row("server decode", decode, upload, rows);
  row("server accept (pending file)", store, upload, rows);
  double merge = static_cast<double>(after.mergeNanos - before.mergeNanos) / 1e9;
  std::printf(
      "  merged into the table (background thread): %.3f s merging, %llu batches;\n"
      "    the table held every batch %.3f s after the upload ended,\n"
      "    %.3f s after the upload started\n",
      merge, static_cast<unsigned long long>(after.mergedBatches - before.mergedBatches), catchUp,
      between(steps.at[4], inTable));
  std::printf("    CPU meanwhile: this process %.3f s", uploadCpu);
  if (postgres) {
    std::printf(", PostgreSQL's processes %.3f s (backends %.3f s, others %.3f s)",
                postgresUploadCpu.backends + postgresUploadCpu.others, postgresUploadCpu.backends,
                postgresUploadCpu.others);
  }
  std::printf(" (%u cores)\n", std::thread::hardware_concurrency());
  std::printf("  clean-up (tables closed, work file deleted) %.3f s\n", cleanUp);
  std::printf("  whole run (log -> stored)   %8.3f s  %11.0f rows/s\n",
              toTraffic + upload + cleanUp, rows / (toTraffic + upload + cleanUp));
  double whole = between(steps.at[0], inTable);
  std::printf("  whole run (log -> in the table) %6.3f s  %11.0f rows/s\n", whole, rows / whole);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool again = false;
  std::string postgres;
  bool badUsage = argc < 2;
  for (int i = 2; i < argc && !badUsage; ++i) {
    if (std::strcmp(argv[i], "--again") == 0) {
      again = true;
    } else if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
      postgres = argv[++i];
    } else {
      badUsage = true;
    }
  }
  if (badUsage) {
    std::fprintf(stderr, "usage: upload_bench LOG [--again] [--db postgresql://...]\n");
    return 2;
  }
  platform::os::tuneHeapForLargeTables(argv);
  const char* log = argv[1];

  fs::path dir = fs::temp_directory_path() / ("zeb_upload_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string database = (dir / "stats.db").string();
  std::string schema = "zeb_upload_bench_" + std::to_string(::getpid());
  int status = 0;
  try {
    if (!postgres.empty()) {
      server::PgConnection setUp(postgres);
      setUp.exec("CREATE SCHEMA " + schema, "making the schema");
      // A checkpoint first, so that the WAL files of earlier work are recycled, as on a server
      // that has run a while: a new cluster makes every 16 MiB WAL file anew and fills it with
      // zeros, in whichever backend writes the WAL out (about 0.7 s of the accepting backend's
      // CPU per GiB of log). Only a superuser or a member of pg_checkpoint may ask for one.
      try {
        setUp.exec("CHECKPOINT", "asking for a checkpoint");
      } catch (const std::exception& e) {
        std::printf("no checkpoint before the import (%s): WAL files may be made anew\n", e.what());
      }
      database = postgres + (postgres.find('?') == std::string::npos ? "?" : "&") +
                 "options=-csearch_path%3D" + schema;
      std::printf("database: PostgreSQL, %s\n", server::shownUri(database).c_str());
    }
    server::ServerOptions serverOptions;
    serverOptions.port = 0;
    serverOptions.databasePath = database;
    auto server = std::make_unique<server::Server>(serverOptions);
    server->start();
    platform::net::TNetConnection net;
    net.setHost("127.0.0.1");
    net.setPort(server->port());
    net.setServerName(std::string(server::kObjectName));
    net.setConnected(true);
    std::printf("machine: %u cores\n", std::thread::hardware_concurrency());

    import::moduleStartUp();
    std::unique_ptr<server::PgConnection> meter;
    if (!postgres.empty()) meter = std::make_unique<server::PgConnection>(postgres);
    status = importOnce(log, *server, net, "import", meter.get());
    if (status == 0 && again) {
      net.setConnected(false);  // a new import session, as a new screen would open
      net.setConnected(true);
      status = importOnce(log, *server, net, "the same log again", meter.get());
    }
    net.setConnected(false);
    // What an import that runs its own server pays after the table is complete.
    auto stopStart = Clock::now();
    server->stop();
    auto closeStart = Clock::now();
    server.reset();
    std::printf("server stopped in %.3f s, closed (write-ahead log copied back) in %.3f s\n",
                between(stopStart, closeStart), between(closeStart, Clock::now()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "upload_bench: %s\n", e.what());
    status = 1;
  }
  std::uintmax_t bytes = 0;
  if (!postgres.empty()) {
    try {
      server::PgConnection c(postgres);
      std::vector<server::PgResult> size =
          c.exec("SELECT pg_total_relation_size('" + schema + ".estatistica_email')", "sizing it");
      bytes = std::stoull(std::string(server::pgField(size.front(), 0, 0)));
      c.exec("DROP SCHEMA " + schema + " CASCADE", "dropping the schema");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "upload_bench: %s\n", e.what());
    }
  }
  for (const char* suffix : {"", "-wal"}) {
    std::error_code missing;
    std::uintmax_t size = fs::file_size(database + suffix, missing);
    if (!missing) bytes += size;
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("database: %.1f MB; peak RSS %.1f MiB\n", static_cast<double>(bytes) / 1e6,
              static_cast<double>(usage.ru_maxrss) / 1024);
  fs::remove_all(dir);
  return status;
}
