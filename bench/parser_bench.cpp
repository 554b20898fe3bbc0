// Parser throughput on one core: lines per second for cutting alone, for cutting and storing
// the records, and for the whole parse phase reading the file through the line reader.
//
// usage: parser_bench LOG [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "import/line_parser.h"
#include "import/module_state.h"
#include "import/parse_phase.h"
#include "platform/os/heap_tuning.h"

using namespace zeb;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void report(const char* what, std::size_t lines, std::size_t bytes, double best) {
  std::printf("%-34s %8.3f s  %7.2f M lines/s  %7.1f MB/s\n", what, best, lines / best / 1e6,
              bytes / best / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  platform::os::tuneHeapForLargeTables(argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: parser_bench LOG [repetitions]\n");
    return 2;
  }
  int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    lines.emplace_back(text.data() + at, lf - at);
    at = lf + 1;
  }
  std::printf("log: %s, %zu lines, %zu bytes\n", argv[1], lines.size(), text.size());

  double best = 1e9;
  std::size_t records = 0;
  for (int r = 0; r < reps; ++r) {
    auto start = Clock::now();
    std::size_t found = 0;
    for (auto line : lines) found += import::cutLine(line).kind != import::RecordKind::None;
    best = std::min(best, seconds(start));
    records = found;
  }
  report("cut only (in memory)", lines.size(), text.size(), best);
  std::printf("  lines with a record kind: %zu\n", records);

  best = 1e9;
  std::size_t envio = 0, recebimento = 0;
  for (int r = 0; r < reps; ++r) {
    import::TrafficTables tables;
    tables.cdsEnvio.open();
    tables.cdsRecebimento.open();
    import::LineParser parser(tables);
    auto start = Clock::now();
    std::uint64_t n = 0;
    for (auto line : lines) parser.parseLine(line, ++n);
    best = std::min(best, seconds(start));
    envio = tables.cdsEnvio.recordCount();
    recebimento = tables.cdsRecebimento.recordCount();
  }
  report("cut and store (in memory)", lines.size(), text.size(), best);
  std::printf("  cdsEnvio %zu rows, cdsRecebimento %zu rows\n", envio, recebimento);

  best = 1e9;
  import::moduleStartUp();
  for (int r = 0; r < reps; ++r) {
    import::TrafficTables tables;
    tables.cdsEnvio.open();
    tables.cdsRecebimento.open();
    auto start = Clock::now();
    import::parsePhase(argv[1], tables, {});
    best = std::min(best, seconds(start));
  }
  report("parse phase (file, page cache)", lines.size(), text.size(), best);
  return 0;
}
