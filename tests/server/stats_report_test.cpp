#include "server/stats_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zeb::server {
namespace {

struct Row {
  std::vector<std::string> texts;
  double volume;
  double count;
};

std::string report(ReportFormat format, const std::vector<Row>& rows) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  RowSource source = [&](const std::function<void(const EmailRow&)>& each) {
    for (const Row& r : rows) {
      EmailRow row;
      for (std::size_t i = 0; i < kTextColumnCount; ++i) row.texts[i] = r.texts[i];
      row.volume = r.volume;
      row.count = r.count;
      each(row);
    }
  };
  writeReport(format, source, out);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

const std::vector<Row> kRows = {
    {{"0001", "a@x.com", "b@x.com", "2025", "12", "05", "6\u00b0Bim", "2\u00b0Sem", "4\u00b0Tri"},
     987,
     1},
    {{"0001", "Jos\u00e9 \"J\", Silva", "c\td@x.com", "2025", "12", "06", "6\u00b0Bim",
      "2\u00b0Sem", "4\u00b0Tri"},
     3000000000.5,
     12},
};

TEST(StatsReportTest, TsvWritesTheElevenColumnsOneRowALine) {
  EXPECT_EQ(report(ReportFormat::kTsv, kRows),
            "0001\ta@x.com\tb@x.com\t2025\t12\t05\t6\u00b0Bim\t2\u00b0Sem\t4\u00b0Tri\t987\t1\n"
            "0001\tJos\u00e9 \"J\", Silva\tc\\td@x.com\t2025\t12\t06\t6\u00b0Bim\t2\u00b0Sem\t"
            "4\u00b0Tri\t3000000000.5\t12\n");
}

TEST(StatsReportTest, TsvOfNoRowsIsEmpty) { EXPECT_EQ(report(ReportFormat::kTsv, {}), ""); }

TEST(StatsReportTest, CsvQuotesWhatNeedsItAndEndsLinesWithCrLf) {
  EXPECT_EQ(report(ReportFormat::kCsv, kRows),
            "CDFILIAL,NMORIGEM,NMDESTINO,ANETLEMAIL,MEETLEMAIL,DIETLEMAIL,BIETLEMAIL,SEETLEMAIL,"
            "TRETLEMAIL,VRVOLDADOS,QTEMAIL\r\n"
            "0001,a@x.com,b@x.com,2025,12,05,6\u00b0Bim,2\u00b0Sem,4\u00b0Tri,987,1\r\n"
            "0001,\"Jos\u00e9 \"\"J\"\", Silva\",c\td@x.com,2025,12,06,6\u00b0Bim,2\u00b0Sem,"
            "4\u00b0Tri,3000000000.5,12\r\n");
}

TEST(StatsReportTest, JsonIsAnArrayOfObjects) {
  EXPECT_EQ(report(ReportFormat::kJson, {kRows[1]}),
            "[\n  {\"CDFILIAL\": \"0001\", \"NMORIGEM\": \"Jos\u00e9 \\\"J\\\", Silva\", "
            "\"NMDESTINO\": \"c\\td@x.com\", \"ANETLEMAIL\": \"2025\", \"MEETLEMAIL\": \"12\", "
            "\"DIETLEMAIL\": \"06\", \"BIETLEMAIL\": \"6\u00b0Bim\", \"SEETLEMAIL\": "
            "\"2\u00b0Sem\", \"TRETLEMAIL\": \"4\u00b0Tri\", \"VRVOLDADOS\": 3000000000.5, "
            "\"QTEMAIL\": 12}\n]\n");
  EXPECT_EQ(report(ReportFormat::kJson, {}), "[]\n");
}

TEST(StatsReportTest, TableAlignsByCharactersAndTotals) {
  std::vector<Row> rows = {
      {{"0001", "Jos\u00e9@x.com", "b@x.com", "2025", "12", "05", "6\u00b0Bim", "2\u00b0Sem",
        "4\u00b0Tri"},
       987,
       1},
      {{"0001", "a@x.com", "b@x.com", "2025", "12", "06", "6\u00b0Bim", "2\u00b0Sem", "4\u00b0Tri"},
       13,
       2},
  };
  EXPECT_EQ(report(ReportFormat::kTable, rows),
            "CDFILIAL  NMORIGEM    NMDESTINO  ANETLEMAIL  MEETLEMAIL  DIETLEMAIL  BIETLEMAIL  "
            "SEETLEMAIL  TRETLEMAIL  VRVOLDADOS  QTEMAIL\n"
            "--------  ----------  ---------  ----------  ----------  ----------  ----------  "
            "----------  ----------  ----------  -------\n"
            "0001      Jos\u00e9@x.com  b@x.com    2025        12          05          "
            "6\u00b0Bim       2\u00b0Sem       4\u00b0Tri              987        1\n"
            "0001      a@x.com     b@x.com    2025        12          06          "
            "6\u00b0Bim       2\u00b0Sem       4\u00b0Tri               13        2\n"
            "--------  ----------  ---------  ----------  ----------  ----------  ----------  "
            "----------  ----------  ----------  -------\n"
            "Total: 2 rows                                                                   "
            "                               1000        3\n");
}

TEST(StatsReportTest, NumbersAreIntegersWhenWhole) {
  EXPECT_EQ(formatNumber(0), "0");
  EXPECT_EQ(formatNumber(987), "987");
  EXPECT_EQ(formatNumber(4294967296.0 * 1000), "4294967296000");
  EXPECT_EQ(formatNumber(9007199254740992.0), "9007199254740992");
  EXPECT_EQ(formatNumber(0.1), "0.1");
  EXPECT_EQ(formatNumber(-2.5), "-2.5");
}

}  // namespace
}  // namespace zeb::server
