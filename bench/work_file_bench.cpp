// Work-file preparation beside the floor of any design that writes a work file: a plain copy
// of the log with LF turned into CR LF into a temporary file, read back. The path timed is
// FormatDoc followed by reading the work file back line by line, as the parse phase does.
//
// usage: work_file_bench LOG [repetitions]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "floor.h"
#include "import/module_state.h"
#include "import/phase_ui.h"
#include "import/work_file.h"
#include "platform/os/file_services.h"
#include "platform/os/line_reader.h"

using namespace zeb;
using bench::Clock;
using bench::plainCopy;
using bench::seconds;

namespace {

// FormatDoc, then every line of the work file. Answers the number of lines read back.
std::uint64_t formatAndRead(const char* log) {
  import::FormatDoc(log, import::PhaseUi{});
  platform::os::LineReader reader(stArqTemp);
  std::string_view line;
  std::uint64_t lines = 0;
  while (reader.readLine(line)) ++lines;
  reader.close();
  platform::os::deleteFile(stArqTemp);
  return lines;
}

void report(const char* what, double best, std::int64_t bytes) {
  std::printf("%-40s %8.3f s  %8.1f MB/s\n", what, best, bytes / best / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: work_file_bench LOG [repetitions]\n");
    return 2;
  }
  const char* log = argv[1];
  int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::int64_t bytes = platform::os::fileSize(log);
  std::printf("log: %s, %lld bytes; best of %d\n", log, static_cast<long long>(bytes), reps);

  double floor = 1e9;
  std::size_t copied = 0;
  for (int r = 0; r < reps; ++r) {
    auto start = Clock::now();
    copied = plainCopy(log);
    floor = std::min(floor, seconds(start));
  }
  report("floor: LF -> CR LF copy, read back", floor, bytes);

  double path = 1e9;
  std::uint64_t lines = 0;
  for (int r = 0; r < reps; ++r) {
    boImport = true;
    auto start = Clock::now();
    lines = formatAndRead(log);
    path = std::min(path, seconds(start));
  }
  report("FormatDoc, work file read by lines", path, bytes);

  double alone = 1e9;
  for (int r = 0; r < reps; ++r) {
    boImport = true;
    auto start = Clock::now();
    import::FormatDoc(log, import::PhaseUi{});
    alone = std::min(alone, seconds(start));
    platform::os::deleteFile(stArqTemp);
  }
  report("FormatDoc alone", alone, bytes);
  std::printf("  work file: %zu bytes in the copy, %llu lines read back, inLinhas=%d, stAno=%s\n",
              copied, static_cast<unsigned long long>(lines), inLinhas, stAno.c_str());
  std::printf("  path / floor: %.2f, FormatDoc alone / floor: %.2f\n", path / floor, alone / floor);
  return 0;
}
