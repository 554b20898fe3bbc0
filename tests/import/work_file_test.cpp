#include "import/work_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "../support/gzip.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/os/file_services.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/test_backend.h"

namespace zeb::import {
namespace {

using zeb::test::gzipMember;

namespace fs = std::filesystem;
using platform::EInOutError;

constexpr std::size_t kBatch = kBlockSize * kBlocksPerBatch;  // 5017600

// What the work file must hold: every LF as CR LF, the bytes 0 to 32 trimmed at both ends.
std::string trimmedConversion(const std::string& log) {
  std::string text;
  text.reserve(2 * log.size());
  for (std::size_t at = 0, lf; at < log.size(); at = lf + 1) {
    lf = std::min(log.find('\n', at), log.size());
    text.append(log, at, lf - at);
    if (lf < log.size()) text += "\r\n";
  }
  std::string blanks;
  for (int c = 0; c <= 32; ++c) blanks += static_cast<char>(c);
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) + 1 - first);
}

int linesOf(const std::string& log) {
  return static_cast<int>(std::count(log.begin(), log.end(), '\n')) +
         (!log.empty() && log.back() != '\n');
}

// Mail-log lines of varied lengths, "size" bytes in all, ending with an LF.
std::string logLines(std::size_t size, const char* lineEnd = "\n") {
  std::string log;
  if (size == 0) return log;
  for (int n = 0; log.size() + 200 < size; ++n) {
    log += "Dec  5 10:" + std::to_string(10 + n % 50) + ":00 mx postfix/smtp[" + std::to_string(n) +
           "]: 3F2A1B: to=<user" + std::string(n % 37, 'x') + "@example.com>, status=sent" +
           lineEnd;
  }
  std::size_t rest = size - log.size() - std::string(lineEnd).size();
  return log + std::string(rest, 'z') + lineEnd;
}

int openDescriptors() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class work_file_test : public ::testing::Test {
 protected:
  work_file_test() : installed_(backend_) {
    ui_.form = &form_;
    ui_.progress = &progress_;
    std::string pattern = (fs::temp_directory_path() / "zeb_work_file_XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    if (const char* old = std::getenv("TMPDIR")) oldTmpdir_ = old;
    ::setenv("TMPDIR", dir_.c_str(), 1);
    boImport = true;
    stAno = "1999";
    stArqTemp.clear();
    inLinhas = -1;
  }
  ~work_file_test() override {
    oldTmpdir_ ? ::setenv("TMPDIR", oldTmpdir_->c_str(), 1) : ::unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }

  // Writes the log, last modified in mid-2023 unless "modified" says when, and answers its path.
  std::string writeLog(const std::string& content, const std::string& name = "mail.log",
                       std::time_t modified = 1686830400) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  std::string workFile() const {
    std::string work(fs::file_size(stArqTemp), '\0');
    std::ifstream(stArqTemp, std::ios::binary).read(work.data(), work.size());
    return work;
  }

  // Runs FormatDoc on "log" and answers the work file's content.
  std::string formatDoc(const std::string& log) {
    FormatDoc(writeLog(log), ui_);
    return workFile();
  }

  platform::ui::TestBackend backend_;
  platform::ui::ScopedBackend installed_;
  platform::ui::Form form_{"frmImpEmailInternet"};
  platform::ui::ProgressBar progress_{&form_, "pgbProgresso"};
  PhaseUi ui_;
  std::string dir_;
  std::optional<std::string> oldTmpdir_;
};

TEST_F(work_file_test, small_logs) {
  struct Case {
    std::string log, work;
    int lines;
  };
  const Case cases[] = {
      {"", "", 0},
      {"a\nb", "a\r\nb", 2},
      {"a\nb\n", "a\r\nb", 2},                  // no line end after the last line
      {"a\r\nb\r\n", "a\r\r\nb", 2},            // a CR LF log: CR CR LF
      {"\n\n  \tDec  5 x\n", "Dec  5 x", 3},    // leading blank lines still count
      {"a\n\n \nb\n\n", "a\r\n\r\n \r\nb", 5},  // inside, empty lines stay
      {"   ", "", 1},
      {std::string("\0\x1f!x \x7f\x01", 7), "!x \x7f", 1},  // 32 and below trimmed, no more
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatDoc(c.log), c.work) << testing::PrintToString(c.log);
    EXPECT_EQ(inLinhas, c.lines) << testing::PrintToString(c.log);
    EXPECT_EQ(stAno, "2023");
    EXPECT_EQ(fs::path(stArqTemp).parent_path(), fs::path(dir_));
    EXPECT_EQ(fs::path(stArqTemp).filename().string().substr(0, 3), "tmp");
  }
}

TEST_F(work_file_test, one_pump_repaint_and_step_per_block_and_the_maximum_counts_full_blocks) {
  struct Case {
    std::size_t size;
    int max, blocks;
  };
  for (Case c : {Case{0, 0, 0}, Case{102399, 0, 1}, Case{102400, 1, 1}, Case{102401, 1, 2},
                 Case{kBatch, 49, 49}, Case{kBatch + kBlockSize, 50, 50}}) {
    backend_.reset();
    progress_.setPosition(7);
    std::string log = logLines(c.size);
    EXPECT_EQ(formatDoc(log), trimmedConversion(log)) << c.size;
    EXPECT_EQ(inLinhas, linesOf(log)) << c.size;
    EXPECT_EQ(progress_.max(), c.max) << c.size;
    EXPECT_EQ(progress_.position(), c.blocks) << c.size;
    EXPECT_EQ(backend_.pumpCount(), static_cast<std::uint64_t>(c.blocks)) << c.size;
    EXPECT_EQ(backend_.refreshCount(), static_cast<std::uint64_t>(c.blocks)) << c.size;
  }
}

TEST_F(work_file_test, a_batch_boundary_leaves_no_trace) {
  const std::size_t kMB = 1 << 20;
  struct Case {
    const char* name;
    std::string log;
  };
  const Case cases[] = {
      {"cut between the blanks of 'Dec  5'",
       logLines(kBatch - 4) + "Dec  5 23:59:59 mx postfix/qmgr[9]: 77AB: removed\n" +
           logLines(4000)},
      {"LF as the batch's last byte", logLines(kBatch) + logLines(4000)},
      {"LF as the next batch's first byte", logLines(kBatch - 10) + "1234567890\n" + "tail"},
      {"CR LF cut between CR and LF", logLines(kBatch, "\r\n") + logLines(4000, "\r\n")},
      {"blank lines across the boundary", logLines(kBatch - 2) + "\n \n\n\nnext\n"},
      {"a blank run longer than two batches, then text",
       "first" + std::string(11 * kMB, ' ') + "\n\t last\n"},
      {"a blank run longer than a batch at the end", "only\n" + std::string(6 * kMB, ' ')},
      {"nothing but line ends, then text", std::string(6 * kMB, '\n') + "x"},
  };
  std::string dec5;
  for (const Case& c : cases) {
    std::string work = formatDoc(c.log);
    EXPECT_TRUE(work == trimmedConversion(c.log)) << c.name;
    EXPECT_EQ(inLinhas, linesOf(c.log)) << c.name;
    if (&c == &cases[0]) dec5 = work;
  }
  EXPECT_NE(dec5.find("\r\nDec  5 23:59:59 mx postfix/qmgr[9]: 77AB: removed\r\n"),
            std::string::npos);
}

TEST_F(work_file_test, a_stop_completes_the_block_and_writes_what_was_read) {
  struct Case {
    std::size_t blocks;    // in the log
    std::uint64_t stopAt;  // the pump at which the operator stops
  };
  for (Case c : {Case{3, 1}, Case{52, 49}, Case{53, 51}}) {
    backend_.reset();
    backend_.atPump(c.stopAt, [] { boImport = false; });
    stAno = "1999";
    std::string log = logLines(c.blocks * kBlockSize);
    std::string read = log.substr(0, c.stopAt * kBlockSize);
    EXPECT_TRUE(formatDoc(log) == trimmedConversion(read)) << c.stopAt;
    EXPECT_EQ(inLinhas, linesOf(read)) << c.stopAt;
    EXPECT_EQ(backend_.pumpCount(), c.stopAt);
    EXPECT_EQ(progress_.position(), static_cast<int>(c.stopAt));
    EXPECT_EQ(stAno, "2023");
    boImport = true;
  }
}

TEST_F(work_file_test, an_unreadable_log_raises_and_leaves_a_work_file_to_delete) {
  struct Case {
    std::string path;
    int osError;
    std::string message;
  };
  const std::string missing = dir_ + "/missing.log";
  const Case cases[] = {
      {missing, ENOENT, "Opening '" + missing + "' failed: No such file or directory"},
      {dir_, EISDIR, "Reading '" + dir_ + "' failed: Is a directory"},
  };
  for (const Case& c : cases) {
    int descriptors = openDescriptors();
    try {
      FormatDoc(c.path, ui_);
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.osError(), c.osError);
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(stAno, "1999");
    EXPECT_EQ(fs::path(stArqTemp).parent_path(), fs::path(dir_));
    // The work file's lock is held until the run deletes it, as the run does, and no longer.
    EXPECT_TRUE(platform::os::deleteFile(stArqTemp)) << stArqTemp;
    EXPECT_EQ(openDescriptors(), descriptors) << c.path;
  }
}

TEST_F(work_file_test, no_temporary_file_raises_naming_the_directory) {
  ::setenv("TMPDIR", "/nonexistent/tmp", 1);
  stArqTemp = dir_ + "/tmpOLDRUN";
  try {
    FormatDoc(writeLog("x\n"), ui_);
    ADD_FAILURE() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.osError(), ENOENT);
    EXPECT_STREQ(e.what(),
                 "Creating a temporary file in '/nonexistent/tmp' failed: No such file or "
                 "directory");
  }
  EXPECT_EQ(stArqTemp, "");
  EXPECT_EQ(stAno, "1999");
}

TEST_F(work_file_test, a_gzip_log_gives_the_work_file_of_its_text_and_progress_counts_its_blocks) {
  const std::size_t kMB = 1 << 20;
  const std::string plain = logLines(300 * 1024);
  // 12 MiB of one repeated line inflate from a few blocks to several batches.
  std::string repeated;
  while (repeated.size() < 12 * kMB)
    repeated += "Dec  5 10:00:00 mx postfix/smtp[1]: A: to=<x@example.com>\n";
  struct Case {
    const char* name;
    std::string text, file;
  };
  const Case cases[] = {
      {"one member", plain, gzipMember(plain)},
      {"two members", plain + "tail\n", gzipMember(plain) + gzipMember("tail\n")},
      {"zero padding after the member", plain, gzipMember(plain) + std::string(700, '\0')},
      {"an empty member", "", gzipMember("")},
      {"a ratio of hundreds to one", repeated, gzipMember(repeated)},
  };
  for (const Case& c : cases) {
    backend_.reset();
    std::string path = writeLog(c.file, "mail.log.2.gz");
    FormatDoc(path, ui_);
    EXPECT_TRUE(workFile() == trimmedConversion(c.text)) << c.name;
    EXPECT_EQ(inLinhas, linesOf(c.text)) << c.name;
    EXPECT_EQ(stAno, "2023");
    EXPECT_EQ(progress_.max(), static_cast<int>(c.file.size() / kBlockSize)) << c.name;
    EXPECT_EQ(progress_.position(), static_cast<int>((c.file.size() + kBlockSize - 1) / kBlockSize))
        << c.name;
  }
}

TEST_F(work_file_test, a_damaged_gzip_log_raises_naming_it) {
  const std::string member = gzipMember(logLines(200 * 1024));
  std::string badCheck = member;
  badCheck[badCheck.size() - 8] ^= 0x55;  // the CRC of the trailer
  struct Case {
    const char* name;
    std::string file, reason;
  };
  const Case cases[] = {
      {"truncated", member.substr(0, member.size() / 2),
       "the file ends inside its compressed data"},
      {"no trailer", member.substr(0, member.size() - 8),
       "the file ends inside its compressed data"},
      {"magic alone", "\x1f\x8b", "the file ends inside its compressed data"},
      {"a wrong check", badCheck, "the compressed data are damaged (incorrect data check)"},
      {"text after the member", member + "Dec  5 junk\n",
       "the compressed data are damaged (incorrect header check)"},
  };
  for (const Case& c : cases) {
    std::string path = writeLog(c.file, "mail.log.2.gz");
    int descriptors = openDescriptors();
    try {
      FormatDoc(path, ui_);
      ADD_FAILURE() << "no error for " << c.name;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(e.what(), "Decompressing '" + path + "' failed: " + c.reason) << c.name;
    }
    EXPECT_EQ(stAno, "1999") << c.name;
    EXPECT_TRUE(platform::os::deleteFile(stArqTemp)) << c.name;
    EXPECT_EQ(openDescriptors(), descriptors) << c.name;
  }
}

TEST_F(work_file_test, several_logs_are_one_text_oldest_first_and_each_line_is_named_in_its_log) {
  // Rotated at the turn of the year: the oldest log's stamps are of the year before its
  // modification. "notes" has no stamp and keeps its place; "empty" adds nothing.
  const std::time_t jan2 = 1704189600, dec31 = 1704020400;  // 2024-01-02, 2023-12-31 (UTC)
  std::string newest = writeLog("Jan  1 00:00:01 mx a\nJan  2 09:00:00 mx b\n", "mail.log", jan2);
  std::string notes = writeLog("no stamp here", "notes", jan2);
  std::string oldest = writeLog(gzipMember("\n \nDec 30 10:00:00 mx c\nDec 31 23:59:59 mx d"),
                                "mail.log.1.gz", dec31);
  std::string empty = writeLog("", "empty", jan2);

  FormatDoc(std::vector<std::string>{newest, notes, empty, oldest}, ui_);
  EXPECT_EQ(workFile(),
            "Dec 30 10:00:00 mx c\r\nDec 31 23:59:59 mx d\r\n"
            "no stamp here\r\n"
            "Jan  1 00:00:01 mx a\r\nJan  2 09:00:00 mx b");
  EXPECT_EQ(inLinhas, 4 + 1 + 2);
  EXPECT_EQ(stAno, "2024");
  EXPECT_EQ(workFileFirstLine, 3u);  // the two blank lines of the oldest log
  const std::pair<std::uint64_t, std::string> lines[] = {
      {3, oldest + ", line 3"}, {4, oldest + ", line 4"}, {5, notes + ", line 1"},
      {6, newest + ", line 1"}, {7, newest + ", line 2"},
  };
  for (const auto& [line, where] : lines) EXPECT_EQ(describeLine(line), where);
  EXPECT_EQ(nameLogLine("line 6: size '9x' is not a signed 32-bit integer"),
            newest + ", line 1: size '9x' is not a signed 32-bit integer");
  EXPECT_EQ(nameLogLine("lines: 6"), "lines: 6");
}

// Blocks of a few bytes and batches of a block or two put every cut where a log of megabytes has
// them, and a held-back limit of a few blanks makes runs of blanks overflow it: the work file
// must not change with the sizes.
TEST_F(work_file_test, small_blocks_and_batches_give_the_same_work_file) {
  const std::string logs[] = {
      "Dec  5 10:00:00 mx a\nDec  5 10:00:01 mx b\n",
      "  \n\t\nDec  5 x          \n\n\n      \ny\n   \n",
      "a\r\n\r\n \x01 b\r\n",
      "x" + std::string(40, ' ') + "y" + std::string(40, '\n'),
      "\n\n\n",
  };
  const WorkFileSizes sizes[] = {{1, 1, 0}, {3, 1, 2}, {2, 2, 5}, {7, 3, 0}, {5, 4, 63}};
  for (const WorkFileSizes& s : sizes) {
    setWorkFileSizes(s);
    for (const std::string& log : logs) {
      EXPECT_EQ(formatDoc(log), trimmedConversion(log))
          << "block " << s.block << ", batch " << s.blocksPerBatch << ", held back "
          << s.maxHeldBack << ", log " << ::testing::PrintToString(log);
      EXPECT_EQ(inLinhas, linesOf(log));
      std::filesystem::remove(stArqTemp);
    }
  }
  setWorkFileSizes(WorkFileSizes{});
  EXPECT_THROW(setWorkFileSizes({kBlockSize + 1, 1, 0}), platform::Exception);
}

}  // namespace
}  // namespace zeb::import
