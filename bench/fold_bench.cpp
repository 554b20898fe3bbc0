// The client's share of the statistics upload: a mail log through the real phases to per-message
// traffic (cdsIntermediario), then the upload against a server object that answers at once
// (GetEmail: the cdsDados layout without rows; SetDelEmail: true; SetEmail: nothing inserted).
// What remains is the fold of the traffic into cdsDados and the encoding of its deltas, timed
// apart: the encoding is the time from the busy animation of a send to the call that takes the
// delta, and the rest of the upload, less the stage start and the merges, is the fold.
//
// usage: fold_bench LOG [--digest]
//   --digest  also prints a digest of every delta sent, to compare two builds' output byte for
//             byte (hashing costs time of its own, which is left out of the figures)
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench_backend.h"
#include "floor.h"
#include "import/analysis.h"
#include "import/module_state.h"
#include "import/phase_sequence.h"
#include "import/upload.h"
#include "import/work_file.h"
#include "platform/os/file_services.h"
#include "platform/os/heap_tuning.h"
#include "platform/os/line_reader.h"
#include "platform/ui/application.h"

using namespace zeb;
using bench::Clock;

namespace {

// A moment on the wall clock and in this thread's processor time: on a shared machine the
// second shows what the work cost when other programs take the processor or its caches.
struct Stamp {
  Clock::time_point wall;
  double cpu = 0;

  static Stamp now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return {Clock::now(), static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9};
  }
};

struct Span {
  double wall = 0;
  double cpu = 0;

  void add(const Stamp& from, const Stamp& to) {
    wall += std::chrono::duration<double>(to.wall - from.wall).count();
    cpu += to.cpu - from.cpu;
  }
  Span operator-(const Span& other) const { return {wall - other.wall, cpu - other.cpu}; }
};

struct FoldClock {
  Stamp busyShown;  // a send began: the delta is encoded next
  Stamp callLeft;
  Span stageStart;  // GetEmail and SetDelEmail
  Span encode;
  Span merge;  // from the call's answer to the hidden animation
  Span digestTime;
  double deltaMegabytes = 0;
  int batches = 0;
  bool digest = false;
  std::uint64_t hash = 0xCBF29CE484222325ULL;
};

nlohmann::json answerOf(nlohmann::json result) {
  return {{"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

// A server that stores nothing and answers at once.
class NullServer : public import::ServerObject {
 public:
  NullServer(nlohmann::json columns, FoldClock& clock)
      : columns_(std::move(columns)), clock_(clock) {}

  nlohmann::json call(std::string_view method, const nlohmann::json&) override {
    Stamp start = Stamp::now();
    nlohmann::json result = true;
    if (method == "GetEmail") {
      result = {{"columns", columns_}, {"rows", nlohmann::json::array()}};
    }
    nlohmann::json out = answerOf(std::move(result));
    clock_.stageStart.add(start, Stamp::now());
    return out;
  }
  nlohmann::json callRaw(std::string_view, std::string paramsJson) override {
    Stamp entered = Stamp::now();
    clock_.encode.add(clock_.busyShown, entered);
    clock_.deltaMegabytes += static_cast<double>(paramsJson.size()) / 1e6;
    ++clock_.batches;
    if (clock_.digest) {
      // FNV-1a over every byte sent, batch after batch.
      for (unsigned char c : paramsJson) clock_.hash = (clock_.hash ^ c) * 0x100000001B3ULL;
    }
    nlohmann::json out = answerOf({{"inserted", 0}});
    clock_.callLeft = Stamp::now();
    clock_.digestTime.add(entered, clock_.callLeft);
    return out;
  }

 private:
  nlohmann::json columns_;
  FoldClock& clock_;
};

}  // namespace

int main(int argc, char** argv) {
  bool digest = argc == 3 && std::strcmp(argv[2], "--digest") == 0;
  if (argc < 2 || (argc > 2 && !digest)) {
    std::fprintf(stderr, "usage: fold_bench LOG [--digest]\n");
    return 2;
  }
  platform::os::tuneHeapForLargeTables(argv);
  const char* log = argv[1];

  FoldClock clock;
  clock.digest = digest;
  // A send without changes makes no call: its time counts as merging.
  bench::BenchBackend backend(
      "fold_bench", [&clock] { clock.busyShown = clock.callLeft = Stamp::now(); },
      [&clock] { clock.merge.add(clock.callLeft, Stamp::now()); });
  platform::ui::ScopedBackend scope(backend);
  import::moduleStartUp();
  import::TrafficTables tables;
  NullServer server(tables.cdsDados.columnsJson(), clock);

  // The phases as an import run takes them, timed around the upload alone.
  Stamp traffic = Stamp::now(), upload, end, closed, deleted;
  import::UploadResult result;
  try {
    boRegsImp = false;
    boImport = true;
    import::PhaseOptions options;
    options.server = &server;
    options.stageStarted = [&upload](import::ImportStage stage) {
      if (stage == import::ImportStage::kUpload) upload = Stamp::now();
    };
    result = import::runPhases(log, tables, options).upload;
    end = Stamp::now();
    tables.closeAll();
    closed = Stamp::now();
    platform::os::deleteFile(stArqTemp);
    deleted = Stamp::now();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fold_bench: %s\n", e.what());
    if (!stArqTemp.empty() && platform::os::fileExists(stArqTemp)) {
      platform::os::deleteFile(stArqTemp);
    }
    return 1;
  }
  if (!boImport) {
    std::fprintf(stderr, "fold_bench: the run stopped before the end\n");
    return 1;
  }

  double rows = result.processed;
  Span toTraffic, whole;
  toTraffic.add(traffic, upload);
  whole.add(upload, end);
  Span fold = whole - clock.stageStart - clock.encode - clock.digestTime - clock.merge;
  Span both{fold.wall + clock.encode.wall, fold.cpu + clock.encode.cpu};
  std::printf("%.1f MB log: %.0f traffic rows (%d grouped), %d batches, %.1f MB of deltas\n",
              static_cast<double>(platform::os::fileSize(log)) / 1e6, rows, result.grouped,
              clock.batches, clock.deltaMegabytes);
  auto line = [rows](const char* name, const Span& span) {
    std::printf("  %-24s %7.3f s  %6.3f us/row  %11.0f rows/s  (processor %.3f s)\n", name,
                span.wall, 1e6 * span.wall / rows, rows / span.wall, span.cpu);
  };
  std::printf("  %-24s %7.3f s\n", "log -> cdsIntermediario", toTraffic.wall);
  line("fold on the client", fold);
  line("encode the deltas", clock.encode);
  line("fold + encode", both);
  std::printf("  %-24s %7.3f s\n", "merge + stage start", clock.merge.wall + clock.stageStart.wall);
  // What an import run does next, apart: a timer around the whole run counts it in the fold.
  Span close, remove;
  close.add(end, closed);
  remove.add(closed, deleted);
  std::printf("  %-24s %7.3f s  (deleting the work file %.3f s)\n", "then: closing the tables",
              close.wall, remove.wall);
  if (digest) {
    std::printf("  delta digest %016llx, period %s\n", static_cast<unsigned long long>(clock.hash),
                result.period.c_str());
  }
  return 0;
}
