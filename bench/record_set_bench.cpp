// Record-set costs that the import depends on:
//  - look-up plus delete per row, in the pattern of the grouping phase (for every message in
//    log order: look up its key, delete the match, until the look-up fails), over tables of
//    10,000, 100,000 and 1,000,000 delivery rows; the 1M/10k ratio must stay <= 2;
//  - append + set + post per row for 1,000,000 sending rows, and what a row costs in memory.
#include <malloc.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/record_set.h"

namespace {

using zeb::platform::data::FieldType;
using zeb::platform::data::RecordSet;
// CPU time of this thread: the figures should not depend on what else the machine runs.
struct Clock {
  using time_point = std::chrono::nanoseconds;
  static time_point now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }
};

constexpr int kIdLength = 15;  // Postfix long queue ids
constexpr int kAddresses = 3000;

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Queue ids of "count" messages, kIdLength characters each, back to back.
std::string makeQueueIds(std::size_t count, std::uint64_t seed) {
  static constexpr char kAlphabet[] =
      "0123456789BCDFGHJKLMNPQRSTVWXYZbcdfghjklmnpqrstvwxyz";  // as Postfix uses
  std::string ids(count * kIdLength, ' ');
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ids[i] = kAlphabet[splitmix(seed) % (sizeof kAlphabet - 1)];
  }
  return ids;
}

std::vector<std::string> makeAddresses() {
  std::vector<std::string> out;
  for (int i = 0; i < kAddresses; ++i) {
    out.push_back("user" + std::to_string(i) + "@dept" + std::to_string(i % 37) +
                  ".example.com.br");
  }
  return out;
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0;
  std::size_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

double nsSince(Clock::time_point start, std::size_t rows) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
         static_cast<double>(rows);
}

const char* kDays[] = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10",
                       "11", "12", "13", "14", "15", "16", "17", "18", "19", "20",
                       "21", "22", "23", "24", "25", "26", "27", "28", "29", "30"};

struct Delivery {
  std::uint32_t message;
  std::uint32_t address;
};

// The delivery rows of about "rows" rows of log. Most messages have one recipient, some two or
// three; rows of neighbouring messages interleave, as in a real log.
struct DeliveryLog {
  std::vector<Delivery> deliveries;
  std::uint32_t messages = 0;
  std::string ids;

  DeliveryLog(std::size_t rows, std::uint64_t seed, std::size_t addresses) {
    std::uint64_t state = seed;
    while (deliveries.size() < rows) {
      std::uint64_t r = splitmix(state) % 100;
      int recipients = r < 80 ? 1 : r < 95 ? 2 : 3;
      for (int k = 0; k < recipients && deliveries.size() < rows; ++k) {
        deliveries.push_back({messages, static_cast<std::uint32_t>(splitmix(state) % addresses)});
      }
      ++messages;
    }
    for (std::size_t i = 0; i + 1 < deliveries.size(); ++i) {
      std::size_t j = i + splitmix(state) % std::min<std::size_t>(8, deliveries.size() - i);
      std::swap(deliveries[i], deliveries[j]);
    }
    ids = makeQueueIds(messages, seed);
  }
  std::string_view id(std::uint32_t m) const {
    return std::string_view(ids).substr(std::size_t{m} * kIdLength, kIdLength);
  }
  const char* day(std::uint32_t m) const { return kDays[(std::uint64_t{m} * 30 / messages) % 30]; }
};

struct LocateResult {
  double locateDeleteNs;
  double buildNs;
};

struct DeliveryTable : RecordSet {
  DeliveryTable(const DeliveryLog& log, const std::vector<std::string>& addresses)
      : RecordSet("cdsRecebimento", {{"DIA", FieldType::String, 2},
                                     {"MES", FieldType::String, 4},
                                     {"NMDEST", FieldType::String, 200},
                                     {"CDMENS", FieldType::String, 200},
                                     {"ANO", FieldType::String, 4}}) {
    open();
    setLogChanges(false);
    for (const Delivery& d : log.deliveries) {
      append();
      setText(3, log.id(d.message));
      setText(0, log.day(d.message));
      setText(1, "12");
      setText(2, addresses[d.address]);
      setText(4, "2024");
      post();
    }
    key = prepareKey("CDMENS;ANO;MES;DIA");
  }
  void buildIndex() {
    std::string_view none[] = {"no such id", "2024", "12", "01"};
    (void)locate(key, none);
  }
  KeyHandle key;
};

// Fills a delivery table, then consumes it as the grouping phase does: for every message in
// log order, look its key up and delete the match until the look-up fails.
LocateResult runLocateDelete(const DeliveryLog& log, const std::vector<std::string>& addresses) {
  DeliveryTable t(log, addresses);
  std::size_t rows = log.deliveries.size();
  auto start = Clock::now();
  t.buildIndex();
  double buildNs = nsSince(start, rows);

  start = Clock::now();
  std::size_t deleted = 0;
  for (std::uint32_t m = 0; m < log.messages; ++m) {
    std::string_view values[] = {log.id(m), "2024", "12", log.day(m)};
    while (t.locate(t.key, values)) {
      t.deleteCurrent();
      ++deleted;
    }
  }
  double ns = nsSince(start, deleted);
  if (deleted != rows || !t.isEmpty()) {
    std::fprintf(stderr, "wrong result: %zu of %zu rows deleted\n", deleted, rows);
    std::exit(1);
  }
  return {ns, buildNs};
}

// What a delivery row costs in memory, with and without the key index; measured in a child of
// its own so that nothing freed before flatters the figures.
void benchDeliveryMemory(const DeliveryLog& log, const std::vector<std::string>& addresses) {
  std::fflush(stdout);
  if (fork() != 0) {
    int status = 0;
    wait(&status);
    return;
  }
  auto rows = static_cast<double>(log.deliveries.size());
  std::size_t before = residentBytes();
  DeliveryTable t(log, addresses);
  double table = static_cast<double>(residentBytes() - before) / rows;
  t.buildIndex();
  double indexed = static_cast<double>(residentBytes() - before) / rows;
  std::printf("  %8zu rows: %5.1f bytes/row, %5.1f with the key index (RSS growth)\n",
              log.deliveries.size(), table, indexed);
  std::fflush(stdout);
  _exit(0);
}

void benchLocateDelete(const std::vector<std::string>& addresses) {
  std::printf("locate + deleteCurrent per row (grouping pattern, key CDMENS;ANO;MES;DIA)\n");
  struct Size {
    std::size_t rows;
    int runsPerRound;
    double best = 1e300;
    double bestBuild = 1e300;
  };
  Size sizes[] = {{10000, 20}, {100000, 3}, {1000000, 1}};
  std::vector<DeliveryLog> logs;
  for (const Size& s : sizes) logs.emplace_back(s.rows, 1000 + s.rows, addresses.size());
  // Rounds over all sizes, best of each: a burst of load from elsewhere on the machine then
  // spoils one run, not one size.
  constexpr int kRounds = 7;
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      for (int run = 0; run < sizes[i].runsPerRound; ++run) {
        LocateResult r = runLocateDelete(logs[i], addresses);
        sizes[i].best = std::min(sizes[i].best, r.locateDeleteNs);
        sizes[i].bestBuild = std::min(sizes[i].bestBuild, r.buildNs);
      }
    }
  }
  for (const Size& s : sizes) {
    std::printf("  %8zu rows: %6.1f ns/row   (index build on first look-up: %5.1f ns/row)\n",
                s.rows, s.best, s.bestBuild);
  }
  std::printf("  ratio 1M/10k: %.2f (target <= 2)\n", sizes[2].best / sizes[0].best);
  benchDeliveryMemory(logs[2], addresses);
}

struct AppendResult {
  double ns;
  double bytes;
};

// Parses as the parser stores sending lines: ANO stays empty.
AppendResult fillSending(const std::string& ids, const std::vector<std::uint32_t>& senders,
                         const std::vector<std::string>& addresses, bool log) {
  std::size_t rows = senders.size();
  std::size_t before = residentBytes();
  auto start = Clock::now();
  RecordSet t("cdsEnvio", {{"CDMENS", FieldType::String, 200},
                           {"CDREMET", FieldType::String, 200},
                           {"DIA", FieldType::String, 2},
                           {"MES", FieldType::String, 4},
                           {"SIZE", FieldType::Integer, 0},
                           {"ANO", FieldType::String, 4}});
  t.open();
  t.setLogChanges(log);
  for (std::size_t i = 0; i < rows; ++i) {
    t.append();
    t.setText(0, std::string_view(ids).substr(i * kIdLength, kIdLength));
    t.setText(2, kDays[(i * 30 / rows) % 30]);
    t.setText(3, "12");
    t.setText(1, addresses[senders[i]]);
    t.setInteger(4, static_cast<std::int32_t>(1000 + i % 50000));
    t.post();
  }
  double ns = nsSince(start, rows);
  return {ns, static_cast<double>(residentBytes() - before) / static_cast<double>(rows)};
}

void benchAppend(const std::vector<std::string>& addresses) {
  constexpr std::size_t kRows = 1000000;
  std::string ids = makeQueueIds(kRows, 42);
  std::vector<std::uint32_t> senders(kRows);
  std::uint64_t state = 7;
  for (auto& s : senders) s = static_cast<std::uint32_t>(splitmix(state) % addresses.size());

  std::printf("append + 5 sets + post, %zu cdsEnvio rows (15-char unique ids, %d senders)\n", kRows,
              kAddresses);
  for (bool log : {false, true}) {
    // Each measurement in a child of its own, so that memory freed by one does not flatter the
    // resident-size growth of the next.
    std::fflush(stdout);
    pid_t child = fork();
    if (child != 0) {
      int status = 0;
      waitpid(child, &status, 0);
      continue;
    }
    // Freed memory stays in the process, so that the second fill runs on pages already mapped:
    // first touches of fresh pages cost far more on some virtual machines than the table's
    // own work, and the two figures tell them apart.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    AppendResult cold = fillSending(ids, senders, addresses, log);
    AppendResult warm = fillSending(ids, senders, addresses, log);
    std::printf(
        "  change log %s: %6.1f ns/row on fresh memory, %6.1f ns/row on reused memory, "
        "%5.1f bytes/row (RSS growth)\n",
        log ? "on " : "off", cold.ns, warm.ns, cold.bytes);
    std::fflush(stdout);
    _exit(0);
  }
}

}  // namespace

// With an argument "append" or "locate", runs only that part (handy under a profiler).
int main(int argc, char** argv) {
  std::string_view only = argc > 1 ? argv[1] : "";
  std::vector<std::string> addresses = makeAddresses();
  if (only.empty() || only == "append") benchAppend(addresses);
  if (only.empty() || only == "locate") benchLocateDelete(addresses);
  return 0;
}
