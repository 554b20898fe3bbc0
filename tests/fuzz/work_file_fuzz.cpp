// Any bytes as a mail log, read in blocks and written in batches of sizes the input chooses,
// plain or as gzip. The work file must equal a plain model of it whatever the sizes: every LF
// turned into CR LF, the bytes 0 to 32 trimmed at the start and the end of the whole text only.
// The line count and the first line's number must agree with the model too, and a gzip log cut
// short must fail rather than import the part before the cut.
//
// Several logs are read as one: the model is their texts in reading order, an LF put between
// two when the earlier text does not end with one, converted and trimmed as one log.
//
// Input: four bytes of settings, then the log.
//   0: block size, 1 to 64 bytes (larger when the log would take more than 64 batches)
//   1: blocks per batch, 1 to 4 (bits 0-1); with several logs, bits 2-7 say which of the first
//      six are gzip
//   2: blanks held back, 0 to 63 (bits 0-5); bits 6-7 not zero: several logs, the text cut
//      into logs at every byte 0xFF (at most eight logs)
//   3: one log: bit 0 gzip; bits 1-2 gzip members less one; bit 3 zero padding after the
//      members; bit 4 the gzip file cut short by bits 5-7 plus one
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../support/gzip.h"
#include "fuzz_check.h"
#include "import/log_order.h"
#include "import/module_state.h"
#include "import/work_file.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace {

using zeb::test::gzipMember;

namespace fs = std::filesystem;
using namespace zeb::import;

bool isBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// The work file as it must be.
std::string model(const std::string& log) {
  std::size_t first = 0;
  while (first < log.size() && isBlank(log[first])) ++first;
  std::size_t last = log.size();
  while (last > first && isBlank(log[last - 1])) --last;
  std::string text;
  for (std::size_t i = first; i < last; ++i) {
    if (log[i] == '\n') text += '\r';
    text += log[i];
  }
  return text;
}

// The text that several logs make when read one after another.
std::string joined(const std::vector<std::string>& logs) {
  std::string text;
  for (const std::string& log : logs) {
    if (log.empty()) continue;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += log;
  }
  return text;
}

// A directory of its own on tmpfs (fast, and gone with the machine): the logs and, through
// TMPDIR, the work files.
struct Scratch {
  std::string dir;
  std::string log;
  zeb::platform::ui::TestBackend backend;
  zeb::platform::ui::ScopedBackend installed{backend};

  // The path of log number "k" of a list (0 the single log).
  std::string logPath(std::size_t k) const {
    return k == 0 ? log : dir + "/mail" + std::to_string(k) + ".log";
  }

  Scratch() {
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/zeb_fuzz_work_XXXXXX";
    dir = ::mkdtemp(pattern.data());
    log = dir + "/mail.log";
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string shown(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// The work file, the line count and the first line's number against the model of "log", the
// text of the logs read as one.
void checkWorkFile(const std::string& work, const std::string& log, const std::string& settings) {
  std::string expected = model(log);
  FUZZ_CHECK(work == expected,
             "work file: " + shown(work) + "\nexpected:  " + shown(expected) + "\n" + settings);
  auto lines = static_cast<std::int32_t>(std::count(log.begin(), log.end(), '\n') +
                                         (!log.empty() && log.back() != '\n'));
  FUZZ_CHECK(inLinhas == lines, "inLinhas " + std::to_string(inLinhas) + ", expected " +
                                    std::to_string(lines) + "; " + settings);
  if (!expected.empty()) {
    std::size_t first = 0;
    while (isBlank(log[first])) ++first;
    auto dropped = static_cast<std::uint64_t>(std::count(log.begin(), log.begin() + first, '\n'));
    FUZZ_CHECK(workFileFirstLine == 1 + dropped,
               "workFileFirstLine " + std::to_string(workFileFirstLine) + ", expected " +
                   std::to_string(1 + dropped) + "; " + settings);
  }
}

// Several logs cut from "text" at its bytes 0xFF, those whose bit is set in "gzipped" written
// as gzip, read as one.
int severalLogs(const Scratch& scratch, const WorkFileSizes& sizes, unsigned gzipped,
                const std::string& text) {
  std::vector<std::string> logs(1);
  for (char c : text) {
    if (c != '\xff') {
      logs.back() += c;
    } else if (logs.size() == 8) {
      return 0;
    } else {
      logs.emplace_back();
    }
  }
  std::vector<std::string> paths;
  std::vector<std::optional<LogStamp>> stamps;
  std::string settings = "block " + std::to_string(sizes.block) + ", batch " +
                         std::to_string(sizes.blocksPerBatch) + ", held back " +
                         std::to_string(sizes.maxHeldBack) + "; logs:";
  for (std::size_t k = 0; k < logs.size(); ++k) {
    bool gzip = k < 6 && (gzipped >> k & 1) != 0;
    // A plain log that begins with the gzip magic is read as gzip, by design.
    if (!gzip && logs[k].starts_with("\x1f\x8b")) return 0;
    paths.push_back(scratch.logPath(k));
    std::ofstream(paths.back(), std::ios::binary | std::ios::trunc)
        << (gzip ? gzipMember(logs[k]) : logs[k]);
    struct stat status {};
    ::stat(paths.back().c_str(), &status);
    stamps.push_back(
        firstStamp(std::string_view(logs[k]).substr(0, kStampSearchBytes), status.st_mtime));
    settings += std::string(gzip ? " gzip " : " ") + shown(logs[k]) + ";";
  }
  // The order is the one the log-order rules give (tested on their own); the text is the model's.
  std::vector<std::string> ordered;
  for (std::size_t k : readingOrder(stamps)) ordered.push_back(logs[k]);

  setWorkFileSizes(sizes);
  boImport = true;
  stArqTemp.clear();
  inLinhas = -1;
  try {
    FormatDoc(paths, PhaseUi{});
  } catch (const zeb::platform::Exception& e) {
    if (!stArqTemp.empty()) ::unlink(stArqTemp.c_str());
    FUZZ_CHECK(false, "FormatDoc failed: " + std::string(e.what()) + "; " + settings);
  }
  std::string work = readAll(stArqTemp);
  ::unlink(stArqTemp.c_str());
  checkWorkFile(work, joined(ordered), settings);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  if (size < 4) return 0;
  WorkFileSizes sizes;
  sizes.block = 1 + data[0] % 64;
  sizes.blocksPerBatch = 1 + data[1] % 4;
  sizes.maxHeldBack = data[2] % 64;
  const unsigned mode = data[3];
  const std::string log(reinterpret_cast<const char*>(data) + 4, size - 4);
  // Every batch is written by a thread of its own: more than 64 batches make a run slow and
  // find nothing that fewer do not.
  std::size_t batch = sizes.block * static_cast<std::size_t>(sizes.blocksPerBatch);
  if (log.size() / batch > 64) {
    sizes.block =
        std::min(kBlockSize, log.size() / 64 / static_cast<std::size_t>(sizes.blocksPerBatch) + 1);
  }

  if ((data[2] >> 6) != 0) return severalLogs(scratch, sizes, data[1] >> 2, log);

  const bool gzip = (mode & 1) != 0;
  // A plain log that begins with the gzip magic is read as gzip, by design.
  if (!gzip && log.starts_with("\x1f\x8b")) return 0;
  bool cut = false;
  std::string file = log;
  if (gzip) {
    // Members split the text where the input says; every one is a whole gzip stream.
    std::size_t members = 1 + ((mode >> 1) & 3);
    file.clear();
    for (std::size_t m = 0, at = 0; m < members; ++m) {
      std::size_t end = m + 1 == members ? log.size() : std::min(log.size(), at + sizes.block * 7);
      file += gzipMember(log.substr(at, end - at));
      at = end;
    }
    if (mode & 8) file += std::string(5, '\0');
    if (mode & 16) {
      cut = true;
      file.resize(file.size() - std::min<std::size_t>(file.size(), 1 + (mode >> 5)));
      if (file.size() < 2) return 0;  // no longer gzip at all
    }
  }
  std::ofstream(scratch.log, std::ios::binary | std::ios::trunc) << file;

  setWorkFileSizes(sizes);
  boImport = true;
  stArqTemp.clear();
  inLinhas = -1;
  std::string settings = "block " + std::to_string(sizes.block) + ", batch " +
                         std::to_string(sizes.blocksPerBatch) + ", held back " +
                         std::to_string(sizes.maxHeldBack) + ", mode " + std::to_string(mode) +
                         "; log: " + shown(log);
  try {
    FormatDoc(scratch.log, PhaseUi{});
  } catch (const zeb::platform::EInOutError& e) {
    if (!stArqTemp.empty()) ::unlink(stArqTemp.c_str());
    std::string message = e.what();
    FUZZ_CHECK(cut, "FormatDoc failed: " + message + "; " + settings);
    FUZZ_CHECK(message.starts_with("Decompressing '" + scratch.log + "' failed: "),
               "the failure reads: " + message + "; " + settings);
    return 0;
  }
  std::string work = readAll(stArqTemp);
  ::unlink(stArqTemp.c_str());
  // A cut in the padding after the last member loses nothing.
  if (cut && work == model(log)) return 0;
  FUZZ_CHECK(!cut, "a gzip log cut short was read as whole; " + settings);

  checkWorkFile(work, log, settings);
  return 0;
}
