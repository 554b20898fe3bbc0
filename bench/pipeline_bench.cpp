// The whole path from a mail log to per-message traffic (cdsIntermediario): work file, parse,
// analysis and grouping, as an import run takes it, timed per phase beside the floor (a plain
// LF -> CR LF copy into a temporary file, read back). Reports the peak resident memory of the
// process, so run one path per process.
//
// usage: pipeline_bench LOG [--no-floor]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floor.h"
#include "import/analysis.h"
#include "import/module_state.h"
#include "import/phase_sequence.h"
#include "import/traffic_tables.h"
#include "import/work_file.h"
#include "platform/os/file_services.h"
#include "platform/os/heap_tuning.h"
#include "platform/os/line_reader.h"

using namespace zeb;
using bench::Clock;
using bench::seconds;

namespace {

// Transparent huge pages in use now, in MiB (0 where the system does not say).
double hugePagesMiB() {
  std::FILE* f = std::fopen("/proc/self/smaps_rollup", "r");
  if (f == nullptr) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "AnonHugePages: %lf", &kib) == 1) break;
  }
  std::fclose(f);
  return kib / 1024;
}

double peakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pipeline_bench LOG [--no-floor]\n");
    return 2;
  }
  platform::os::tuneHeapForLargeTables(argv);
  const char* log = argv[1];
  bool floor = !(argc > 2 && std::strcmp(argv[2], "--no-floor") == 0);
  double mb = platform::os::fileSize(log) / 1e6;

  double floorSeconds = 0;
  if (floor) {
    auto start = Clock::now();
    bench::plainCopy(log);
    floorSeconds = seconds(start);
    std::printf("floor (copy LF->CRLF, read back) %7.3f s  %7.1f MB/s\n", floorSeconds,
                mb / floorSeconds);
  }

  import::moduleStartUp();
  import::TrafficTables tables;
  Clock::time_point at[4];
  std::size_t envio = 0, receb = 0;
  import::PhaseOptions options;
  options.last = import::ImportStage::kGrouping;
  options.stageStarted = [&](import::ImportStage stage) {
    if (stage != import::ImportStage::kWorkFile) at[static_cast<int>(stage) - 1] = Clock::now();
    if (stage == import::ImportStage::kAnalysis) {
      envio = tables.cdsEnvio.recordCount();
      receb = tables.cdsRecebimento.recordCount();
    }
  };
  boImport = true;
  auto start = Clock::now();
  import::Grouping grouping = import::runPhases(log, tables, options).grouping;
  auto end = Clock::now();
  auto between = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };
  double workFile = between(start, at[0]);
  double parse = between(at[0], at[1]);
  double analysis = between(at[1], at[2]);
  double group = between(at[2], end);
  double total = seconds(start);
  double huge = hugePagesMiB();
  platform::os::deleteFile(stArqTemp);

  std::printf("work file %.3f s, parse %.3f s, analysis %.3f s, grouping %.3f s\n", workFile, parse,
              analysis, group);
  std::printf("path (log -> cdsIntermediario)  %7.3f s  %7.1f MB/s", total, mb / total);
  if (floor) std::printf("  = %.2fx the floor", total / floorSeconds);
  std::printf("\nrecords: cdsEnvio %zu, cdsRecebimento %zu, pairs %d, unpaired deliveries %zu\n",
              envio, receb, grouping.pairCount, tables.cdsRecebimento.recordCount());
  std::printf("peak RSS %.1f MiB (huge pages at the end: %.0f MiB)\n", peakMiB(), huge);
  return 0;
}
