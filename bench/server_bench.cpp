// The application server's storing speed: 1000 SetEmail batches of 1000 statistics rows each,
// sent over loopback with httplib into a temporary SQLite file, as one import sends them, then
// the same batches again under a new session (the re-import, which replaces every day first).
// Reports rows per second end to end and of the server's own time, and where the time goes:
// reading the requests (decode), accepting them (the pending file), and the rest (transfer:
// HTTP on both sides, the client's wait); then the merge into the table behind the calls, and
// when the table held every batch: after the last answer, and from the first call.
//
// usage: server_bench [BATCHES [ROWS]]   (default 1000 1000)
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/net/protocol.h"
#include "platform/os/heap_tuning.h"
#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/params_in_place.h"
#include "server/rpc_message.h"
#include "server/server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDays = 30;
constexpr int kSenders = 2000;
constexpr int kRecipients = 5000;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Addresses of about 25 characters, as a company's mail log has them.
std::string address(const char* kind, int n) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s.%05d@empresa.com.br", kind, n);
  return buffer;
}

struct Row {
  int sender, recipient, day;
  long long volume, count;
};

void appendRow(std::string& out, const Row& r) {
  char buffer[256];
  int month = 12;
  std::snprintf(buffer, sizeof buffer,
                "[\"0001\",\"%s\",\"%s\",\"2025\",\"%02d\",\"%02d\",\"%d\xC2\xB0"
                "Bim\",\"%d\xC2\xB0Sem\","
                "\"%d\xC2\xB0Tri\",%lld.0,%lld.0]",
                address("remetente", r.sender).c_str(), address("dest", r.recipient).c_str(), month,
                r.day, (month - 1) / 2 + 1, (month - 1) / 6 + 1, (month - 1) / 3 + 1, r.volume,
                r.count);
  out += buffer;
}

// The batches of one import, encoded as the module's record sets write them ("columns" before
// "changes"): mostly new rows, and some rows of the batch before updated, as when a sender
// writes to the same recipient again later that day.
std::vector<std::string> encodeBatches(int batches, int rows) {
  std::vector<std::string> bodies;
  std::vector<Row> previous;
  long long serial = 0;
  const long long total = static_cast<long long>(batches) * rows;
  for (int b = 0; b < batches; ++b) {
    std::string body = "{\"id\":" + std::to_string(b + 2) +
                       ",\"jsonrpc\":\"2.0\",\"method\":\"SetEmail\",\"params\":[{\"columns\":";
    body += zeb::server::columnsJson();
    body += ",\"changes\":[";
    std::vector<Row> current;
    int updates = previous.empty() ? 0 : rows / 20;
    for (int i = 0; i < rows; ++i) {
      if (i > 0) body += ',';
      if (i < updates) {
        Row old = previous[static_cast<std::size_t>(i) * 7 % previous.size()];
        Row now = old;
        now.volume += 2048;
        now.count += 1;
        body += "{\"old\":";
        appendRow(body, old);
        body += ",\"op\":\"update\",\"row\":";
        appendRow(body, now);
        body += '}';
        current.push_back(now);
      } else {
        long long n = serial++;
        Row r{static_cast<int>(n % kSenders), static_cast<int>((n / kSenders) % kRecipients),
              static_cast<int>(1 + n * kDays / total), 1000 + (n * 7919) % 90000, 1};
        body += "{\"op\":\"insert\",\"row\":";
        appendRow(body, r);
        body += '}';
        current.push_back(r);
      }
    }
    body += "]}]}";
    bodies.push_back(std::move(body));
    previous = std::move(current);
  }
  return bodies;
}

// The processor time of reading the requests alone, on this thread (the envelope, the delta and
// the rows' checks, as a SetEmail call reads them: the delta while the envelope is read), best of
// three: the figure to compare JSON readers by, as it does not depend on what else the machine
// runs.
void decodeAlone(const std::vector<std::string>& bodies, double megabytes) {
  double best = 1e9;
  zeb::server::EmailBatch batch;
  for (int pass = 0; pass < 3; ++pass) {
    timespec start{}, end{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (const std::string& body : bodies) {
      zeb::server::RpcRequest request;
      const zeb::server::ParamsInPlace setEmail{
          "SetEmail", [&](zeb::server::json::Input& input, zeb::server::json::value params) {
            zeb::server::decodeSetEmailParams(input, params, body.size(), batch);
          }};
      zeb::server::parseRequest(body, request, setEmail);
      if (!request.paramsRead) zeb::server::decodeSetEmailParams(request.params, batch);
      zeb::server::checkStorableRows(batch);
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    best = std::min(best, static_cast<double>(end.tv_sec - start.tv_sec) +
                              static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9);
  }
  std::printf("decode alone        %.3f s  %8.0f MB/s  (processor time of one thread, best of 3)\n",
              best, megabytes / best);
}

struct Pass {
  double wall;
  zeb::server::ServerMetrics metrics;
  double catchUp;  // from the last answer until the table held every batch
  double inTable;  // from the first call until then
};

Pass runImport(zeb::server::Server& server, const std::vector<std::string>& bodies,
               const char* session) {
  httplib::Client client("127.0.0.1", server.port());
  client.set_tcp_nodelay(true);
  client.set_keep_alive(true);
  client.set_read_timeout(std::chrono::seconds(60));
  httplib::Headers headers = {{std::string(zeb::platform::net::protocol::kSessionHeader), session}};
  auto check = [](const httplib::Result& res) {
    if (!res || res->status != 200 || res->body.find("\"error\"") != std::string::npos) {
      std::fprintf(stderr, "server_bench: a call failed: %s\n",
                   res ? res->body.c_str() : httplib::to_string(res.error()).c_str());
      std::exit(1);
    }
  };
  zeb::server::ServerMetrics before = server.metrics();
  auto start = Clock::now();
  check(
      client.Post(std::string(zeb::platform::net::protocol::kObjectPath), headers,
                  R"({"id":1,"jsonrpc":"2.0","method":"SetDelEmail","params":["2025","12","01"]})",
                  "application/json"));
  for (const std::string& body : bodies) {
    check(client.Post(std::string(zeb::platform::net::protocol::kObjectPath), headers, body,
                      "application/json"));
  }
  auto answered = Clock::now();
  double wall = seconds(answered - start);
  server.flush();
  auto merged = Clock::now();
  double catchUp = seconds(merged - answered);
  zeb::server::ServerMetrics after = server.metrics();
  return {wall,
          {after.batches - before.batches, after.changes - before.changes,
           after.decodeNanos - before.decodeNanos, after.storeNanos - before.storeNanos,
           after.checkpointNanos - before.checkpointNanos, after.mergeNanos - before.mergeNanos,
           after.mergedBatches - before.mergedBatches},
          catchUp,
          seconds(merged - start)};
}

void report(const char* name, const Pass& p, double megabytes) {
  double decode = static_cast<double>(p.metrics.decodeNanos) / 1e9;
  double store = static_cast<double>(p.metrics.storeNanos) / 1e9;
  double rows = static_cast<double>(p.metrics.changes);
  double transfer = p.wall - decode - store;
  std::printf("%s: %llu batches, %.0f rows, %.1f MB of requests\n", name,
              static_cast<unsigned long long>(p.metrics.batches), rows, megabytes);
  std::printf("  end to end        %7.3f s  %10.0f rows/s\n", p.wall, rows / p.wall);
  std::printf("  server's own time %7.3f s  %10.0f rows/s  (target >= 1,000,000)\n", decode + store,
              rows / (decode + store));
  std::printf("    decode          %7.3f s  %5.1f%%  %10.0f rows/s\n", decode,
              100 * decode / p.wall, rows / decode);
  std::printf("    accept          %7.3f s  %5.1f%%  %10.0f rows/s\n", store, 100 * store / p.wall,
              rows / store);
  std::printf("  transfer          %7.3f s  %5.1f%%\n", transfer, 100 * transfer / p.wall);
  double merge = static_cast<double>(p.metrics.mergeNanos) / 1e9;
  std::printf("  merged into the table %7.3f s  %10.0f rows/s  (background thread, %llu batches)\n",
              merge, rows / merge, static_cast<unsigned long long>(p.metrics.mergedBatches));
  std::printf(
      "    the table held every batch %.3f s after the last answer, %.3f s after the first call\n",
      p.catchUp, p.inTable);
  std::printf("  checkpoints       %7.3f s  (background thread)\n",
              static_cast<double>(p.metrics.checkpointNanos) / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
  int batches = argc > 1 ? std::atoi(argv[1]) : 1000;
  int rows = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (batches <= 0 || rows <= 0) {
    std::fprintf(stderr, "usage: server_bench [BATCHES [ROWS]]\n");
    return 2;
  }
  // As the server program runs: freed memory is reused rather than mapped afresh per request.
  zeb::platform::os::tuneHeapForLargeTables(argv);
  fs::path dir = fs::temp_directory_path() / ("zeb_server_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);

  auto encodeStart = Clock::now();
  std::vector<std::string> bodies = encodeBatches(batches, rows);
  double encode = seconds(Clock::now() - encodeStart);
  double megabytes = 0;
  for (const std::string& b : bodies) megabytes += static_cast<double>(b.size()) / 1e6;
  std::printf("machine: %u cores; batches encoded in %.3f s (not counted)\n",
              std::thread::hardware_concurrency(), encode);
  decodeAlone(bodies, megabytes);

  int status = 0;
  try {
    zeb::server::ServerOptions options;
    options.port = 0;
    options.databasePath = (dir / "stats.db").string();
    zeb::server::Server server(options);
    server.start();
    report("first import", runImport(server, bodies, "0123456789abcdef0123456789abcdef"),
           megabytes);
    report("same log again", runImport(server, bodies, "fedcba9876543210fedcba9876543210"),
           megabytes);
    server.stop();
    std::printf("database: %.1f MB\n",
                static_cast<double>(fs::file_size(options.databasePath)) / 1e6);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_bench: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(dir);
  return status;
}
