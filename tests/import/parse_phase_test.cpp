#include "import/parse_phase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "import/line_parser.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"

namespace zeb::import {
namespace {

namespace fs = std::filesystem;

// Every row of a table, fields joined, with the log line kept for it.
std::vector<std::string> rows(RecordSet& table, const std::vector<std::uint64_t>& lines) {
  std::vector<std::string> out;
  if (table.isEmpty()) return out;
  for (table.first(); !table.eof(); table.next()) {
    std::string row = std::to_string(lines[table.rowId()]);
    for (int i = 0; i < static_cast<int>(table.fields().size()); ++i) {
      row += '|';
      row += table.fields()[i].type == platform::data::FieldType::Integer
                 ? std::to_string(table.integer(i))
                 : std::string(table.text(i));
    }
    out.push_back(row);
  }
  return out;
}

class ParsePhaseTest : public ::testing::Test {
 protected:
  ParsePhaseTest() {
    moduleStartUp();
    path_ =
        (fs::temp_directory_path() / ("zeb_parse_phase_" + std::to_string(::getpid()))).string();
  }
  ~ParsePhaseTest() override { fs::remove(path_); }

  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  std::string path_;
};

// A few MiB of lines, so that lines end in every position of the blocks the phase reads:
// lines of many lengths, CRs before the LF, a line longer than a block, and a last line
// without a line end.
std::string manyBlocks() {
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) {
    std::string id = "Q" + std::to_string(i);
    text += "Dec  5 10:00:00 mx postfix/qmgr[1]: " + id + ": from=<s" + std::to_string(i % 97) +
            "@example.com>, size=" + std::to_string(i) + ", nrcpt=1\r\n";
    text += "Dec  6 10:00:01 mx postfix/smtpd[3]: connect from gw" + std::string(i % 50, 'x') +
            "[192.0.2.7]\n";
    text += "Dec  6 10:00:02 mx postfix/smtp[2]: " + id + ": to=<r" + std::to_string(i % 89) +
            "@example.org>, relay=mx[192.0.2.9]:25, status=sent\r\r\n";
    if (i == 9000) text += "Dec  6 10:00:03 mx kernel: " + std::string(1500000, 'z') + "\n";
  }
  text += "Dec  7 11:00:00 mx postfix/qmgr[1]: LAST: from=<s@example.com>, size=1, nrcpt=1";
  return text;
}

TEST_F(ParsePhaseTest, stores_what_a_parse_one_line_at_a_time_stores) {
  std::string text = manyBlocks();
  write(text);
  TrafficTables phase;
  phase.openLogTables();
  parsePhase(path_, phase, {}, "mail.log", 3);

  TrafficTables model;
  model.openLogTables();
  LineParser parser(model);
  std::uint64_t line = 2;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t lf = text.find('\n', begin);
    std::size_t end = lf == std::string::npos ? text.size() : lf;
    std::size_t length = end - begin;
    while (length > 0 && text[begin + length - 1] == '\r') --length;
    parser.parseLine(std::string_view(text).substr(begin, length), ++line);
    begin = end + 1;
  }

  ASSERT_GT(model.cdsEnvio.recordCount(), 9000u);
  EXPECT_EQ(rows(phase.cdsEnvio, phase.envioLines), rows(model.cdsEnvio, model.envioLines));
  EXPECT_EQ(rows(phase.cdsRecebimento, phase.recebimentoLines),
            rows(model.cdsRecebimento, model.recebimentoLines));
}

TEST_F(ParsePhaseTest, a_bad_line_past_the_first_blocks_is_named_after_the_lines_before_it) {
  std::string text;
  int lines = 0;
  while (text.size() < (2u << 20)) {
    text += "Dec  5 10:00:00 mx postfix/qmgr[1]: A: from=<a@example.com>, size=7, nrcpt=1\n";
    ++lines;
  }
  text += "Dec  5 10:00:00 mx postfix/qmgr[1]: B: from=<a@example.com>, size=7x, nrcpt=1\n";
  text += "Dec  5 10:00:00 mx postfix/qmgr[1]: C: from=<a@example.com>, size=7, nrcpt=1\n";
  write(text);
  TrafficTables tables;
  tables.openLogTables();
  try {
    parsePhase(path_, tables, {}, "mail.log", 1);
    FAIL() << "no error";
  } catch (const platform::EConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "mail.log, line " + std::to_string(lines + 1) +
                                         ": size '7x' is not a signed 32-bit integer");
  }
  EXPECT_EQ(tables.cdsEnvio.recordCount(), static_cast<std::size_t>(lines));
}

TEST_F(ParsePhaseTest, a_missing_work_file_is_an_input_error_naming_it) {
  TrafficTables tables;
  tables.openLogTables();
  EXPECT_THROW(parsePhase(path_ + ".missing", tables, {}), platform::EInOutError);
}

}  // namespace
}  // namespace zeb::import
