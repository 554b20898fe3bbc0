#include "import/line_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::import {
namespace {

// The worked example: ten lines of a busy server, with plain names for the addresses.
const std::vector<std::string> kWorkedExample = {
    "Dec  5 23:58:10 mx postfix/smtpd[210]: 3F2A1B4C5D: client=gw[192.0.2.7]",
    "Dec  5 23:58:10 mx postfix/qmgr[211]: 3F2A1B4C5D: from=<ADDR1>, size=987, nrcpt=2 (queue "
    "active)",
    "Dec  5 23:58:11 mx postfix/smtp[212]: 3F2A1B4C5D: to=<ADDR2>, relay=clamav[127.0.0.1], "
    "delay=0.3, status=sent (250 OK)",
    "Dec  5 23:58:12 mx postfix/smtp[213]: 3F2A1B4C5D: to=<ADDR2>, relay=mx2[192.0.2.20]:25, "
    "delay=1.2, status=sent (250 Ok)",
    "Dec  5 23:58:12 mx postfix/pipe[214]: 3F2A1B4C5D: to=<ADDR3>, relay=local, delay=1.3, "
    "status=sent (delivered)",
    "Dec  5 23:59:40 mx postfix/smtp[215]: 4A3B2C1D0E: to=<ADDR4>, relay=none, delay=30, "
    "status=deferred (timed out)",
    "Dec  5 23:59:59 mx postfix/qmgr[211]: 3F2A1B4C5D: removed",
    "Dec 15 00:00:02 mx postfix/qmgr[211]: 5B4C3D2E1F: from=<>, size=640, nrcpt=1 (queue active)",
    "Dec 15 00:00:03 mx postfix/qmgr[211]: 6C5D4E3F2A: from=<ADDR5>, size=128, nrcpt=1 (queue "
    "active)",
    "Dec 15 00:00:04 mx postfix/qmgr[211]: 7D6E5F4A3B: from=<ADDR5>, status=expired, returned to "
    "sender",
};

std::vector<std::string> rows(RecordSet& table) {
  std::vector<std::string> out;
  if (table.isEmpty()) return out;
  for (table.first(); !table.eof(); table.next()) {
    std::string row;
    for (int i = 0; i < static_cast<int>(table.fields().size()); ++i) {
      if (i > 0) row += '|';
      if (table.fields()[i].type == platform::data::FieldType::Integer) {
        row += std::to_string(table.integer(i));
      } else {
        row += table.text(i);
      }
    }
    out.push_back(row);
  }
  return out;
}

class LineParserTest : public ::testing::Test {
 protected:
  LineParserTest() {
    tables_.cdsEnvio.open();
    tables_.cdsRecebimento.open();
  }
  RecordKind parse(const std::string& line) { return parser_.parseLine(line, ++lineNumber_); }

  TrafficTables tables_;
  LineParser parser_{tables_};
  std::uint64_t lineNumber_ = 0;
};

TEST_F(LineParserTest, worked_example_gives_exactly_its_five_records) {
  for (const auto& line : kWorkedExample) parse(line);
  EXPECT_EQ(rows(tables_.cdsEnvio),
            (std::vector<std::string>{"3F2A1B4C5D|ADDR1|05|12|987|", "6C5D4E3F2A|ADDR5|15|12|128|",
                                      "7D6E5F4A3B|ADDR5|15|12|0|"}));
  EXPECT_EQ(rows(tables_.cdsRecebimento),
            (std::vector<std::string>{"05|12|ADDR2|3F2A1B4C5D|", "05|12|ADDR3|3F2A1B4C5D|"}));
}

struct CutCase {
  const char* name;
  std::string line;
  RecordKind kind;
  const char* queueId;
  const char* address;
  const char* sizeText;
  const char* month;
  const char* day;
};

class CutLineTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutLineTest, cuts_the_values_of_its_record) {
  const CutCase& c = GetParam();
  LineCut cut = cutLine(c.line);
  EXPECT_EQ(cut.kind, c.kind);
  EXPECT_EQ(cut.queueId, c.queueId);
  EXPECT_EQ(cut.address, c.address);
  EXPECT_EQ(cut.sizeText, c.sizeText);
  EXPECT_EQ(cut.monthToken, c.month);
  EXPECT_EQ(cut.dayToken, c.day);
}

using K = RecordKind;
INSTANTIATE_TEST_SUITE_P(
    Lines, CutLineTest,
    ::testing::Values(
        CutCase{"empty", "", K::None, "", "", "", "", ""},
        CutCase{"blanks", "     ", K::None, "", "", "", "", ""},
        CutCase{"no_tag", "Dec  5 10:00:00 mx CRON[1]: (root) CMD (true)", K::None, "", "", "",
                "Dec", "5 "},
        CutCase{"two_digit_day",
                "Dec 15 10:00:00 mx postfix/qmgr[1]: AB12: from=<a@x>, size=7, nrcpt=1", K::Sending,
                "AB12", "a@x", "7", "Dec", "15 "},
        CutCase{"smtpd_to_text_is_delivery",
                "Dec  5 10:00:00 mx postfix/smtpd[1]: AB12: to=<b@x>, proto=ESMTP", K::Delivery,
                "AB12", "b@x", "", "Dec", "5 "},
        CutCase{"qmgr_anywhere_wins_over_pipe",
                "Dec  5 10:00:00 mx postfix/pipe[1]: X: postfix/qmgr[2]: Q2: from=<a>, size=1,",
                K::Sending, "Q2", "a", "1", "Dec", "5 "},
        CutCase{"pipe_wins_over_smtp",
                "Dec  5 10:00:00 mx postfix/smtp[1]: X1: postfix/pipe[2]: Q2: to=<a>, relay=x",
                K::Delivery, "Q2", "a", "", "Dec", "5 "},
        CutCase{"deferred_delivery",
                "Dec  5 10:00:00 mx postfix/smtp[1]: AB: to=<b>, relay=none, status=deferred (x)",
                K::None, "", "", "", "Dec", "5 "},
        CutCase{"bounced_delivery",
                "Dec  5 10:00:00 mx postfix/pipe[1]: AB: to=<b>, relay=x, status=bounced (x)",
                K::None, "", "", "", "Dec", "5 "},
        CutCase{"markers_do_not_stop_sending",
                "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=3, status=deferred",
                K::Sending, "AB", "a", "3", "Dec", "5 "},
        CutCase{"capital_From", "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: From=<a>, size=3,",
                K::None, "", "", "", "Dec", "5 "},
        CutCase{"null_sender", "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<>, size=3,",
                K::Sending, "AB", "", "3", "Dec", "5 "},
        CutCase{"no_size", "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, nrcpt=1", K::Sending,
                "AB", "a", "0", "Dec", "5 "},
        CutCase{"size_without_comma", "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a> size=12",
                K::Sending, "AB", "a", "", "Dec", "5 "},
        CutCase{"second_address_item",
                "Dec  5 10:00:00 mx postfix/pipe[1]: AB: to=<b@x>, orig_to=<c@x>, relay=local",
                K::Delivery, "AB", "b@x", "", "Dec", "5 "},
        CutCase{"no_colon_after_tag", "Dec  5 10:00:00 mx postfix/qmgr[1] AB from=<a>, size=1,",
                K::None, "", "", "", "Dec", "5 "},
        CutCase{"connection_failure",
                "Dec  5 10:00:00 mx postfix/smtp[1]: connect to mx.example.org[192.0.2.3]:25: "
                "Connection timed out",
                K::None, "", "", "", "Dec", "5 "},
        CutCase{"bare_postfix_line", "postfix/qmgr[1]: AB: from=<a>, size=1, nrcpt=1", K::None, "",
                "", "", "postfix/qmgr[1]:", "AB: "},
        CutCase{"no_host_field", "Dec  5 10:00:00 postfix/qmgr[1]: AB: from=<a>, size=1,",
                K::Sending, "AB", "a", "1", "Dec", "5 "},
        CutCase{"iso_timestamp",
                "2024-12-05T10:00:00+00:00 mx postfix/qmgr[1]: AB: from=<a>, size=1, nrcpt=1",
                K::Sending, "AB", "a", "1", "", ""},
        CutCase{"leading_blank_shifts_fields",
                " Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=1,", K::Sending, "AB", "a",
                "1", "", "Dec "},
        CutCase{"multibyte_character_before_the_address",
                "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=\xC3\xA9<a>, size=1,", K::Sending,
                "AB", "<a", "1", "Dec", "5 "},
        CutCase{"windows_1252_byte_before_the_address",
                "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=\xE9<a>, size=1,", K::Sending, "AB",
                "<a", "1", "Dec", "5 "},
        CutCase{"ascii_start_then_windows_1252_address",
                "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<\x80\x81@x>, size=1,", K::Sending,
                "AB", "\x80\x81@x", "1", "Dec", "5 "}),
    [](const auto& info) { return std::string(info.param.name); });

struct StampCase {
  const char* name;
  std::string head;  // the line's first field
  const char* date;  // the stamp's date, or "" when the head is no stamp
};

class StampHeadTest : public ::testing::TestWithParam<StampCase> {};

// A stamp gives the date as logged and the same values as a classic head; anything else takes
// the classic path, where the head is the month token and the tag falls into the dropped field.
TEST_P(StampHeadTest, a_well_formed_stamp_dates_the_line_and_any_other_head_is_classic) {
  const StampCase& c = GetParam();
  std::string line = c.head + " mx postfix/qmgr[1]: AB: from=<a@example.com>, size=5, nrcpt=1";
  LineCut cut = cutLine(line);
  std::string date = cut.stampYear.empty()
                         ? ""
                         : std::string(cut.stampYear) + "-" + std::string(cut.stampMonth) + "-" +
                               std::string(cut.stampDay);
  bool stamp = *c.date != '\0';
  EXPECT_EQ(date, c.date);
  EXPECT_EQ(cut.kind, stamp ? K::Sending : K::None);
  EXPECT_EQ(cut.queueId, stamp ? "AB" : "");
  EXPECT_EQ(cut.monthToken, stamp ? "" : c.head);
  EXPECT_EQ(cut.dayToken, stamp ? "" : "mx ");
}

INSTANTIATE_TEST_SUITE_P(
    Heads, StampHeadTest,
    ::testing::Values(
        StampCase{"rsyslog_microseconds", "2026-03-14T00:08:33.787870+01:00", "2026-03-14"},
        StampCase{"utc", "2026-03-14T00:08:33Z", "2026-03-14"},
        StampCase{"lower_case_t_and_z", "2026-03-14t00:08:33z", "2026-03-14"},
        StampCase{"negative_offset_and_leap_second", "2025-12-31T23:59:60-03:00", "2025-12-31"},
        StampCase{"leap_day_and_short_fraction", "2024-02-29T10:00:00.5+05:30", "2024-02-29"},
        StampCase{"month_13", "2026-13-14T00:08:33Z", ""},
        StampCase{"april_31", "2026-04-31T00:08:33Z", ""},
        StampCase{"february_29_of_a_common_year", "2026-02-29T00:08:33Z", ""},
        StampCase{"hour_24", "2026-03-14T24:00:00Z", ""},
        StampCase{"second_61", "2026-03-14T00:08:61Z", ""},
        StampCase{"no_offset", "2026-03-14T00:08:33", ""},
        StampCase{"offset_without_colon", "2026-03-14T00:08:33+0100", ""},
        StampCase{"empty_fraction", "2026-03-14T00:08:33.Z", ""},
        StampCase{"text_after_the_offset", "2026-03-14T00:08:33Z0", ""},
        StampCase{"one_digit_month", "2026-3-14T00:08:33Z", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineParserTest, stamped_lines_store_the_stamps_date_and_year_beside_classic_ones) {
  parse("2026-03-14T00:08:33.787870+01:00 mx postfix/qmgr[1]: A1: from=<a@example.com>, size=9,");
  parse("2026-03-04T23:59:59Z mx postfix/smtp[2]: A1: to=<b@example.org>, relay=mx[192.0.2.1]:25");
  parse("Mar 14 00:08:34 mx postfix/qmgr[1]: A2: from=<a@example.com>, size=7,");
  parse("2026-03-14T00:08:35-03:00 mx postfix/smtp[2]: A3: to=<c@example.org>, status=deferred");
  EXPECT_EQ(rows(tables_.cdsEnvio), (std::vector<std::string>{"A1|a@example.com|14|03|9|2026",
                                                              "A2|a@example.com|14|03|7|"}));
  EXPECT_EQ(rows(tables_.cdsRecebimento),
            (std::vector<std::string>{"04|03|b@example.org|A1|2026"}));
}

TEST(CutLineNulTest, a_run_of_nul_bytes_before_a_line_is_passed_over) {
  const std::string line = "Dec  5 10:00:01 mx postfix/smtp[2]: AB1: to=<b@y.com>, status=sent";
  const std::string afterNuls = std::string(4096, '\0') + line;
  LineCut cut = cutLine(afterNuls);
  EXPECT_EQ(cut.kind, RecordKind::Delivery);
  EXPECT_EQ(cut.monthToken, "Dec");
  EXPECT_EQ(cut.dayToken, "5 ");
  EXPECT_EQ(cut.address, "b@y.com");
  EXPECT_EQ(cutLine(std::string(100, '\0')).kind, RecordKind::None);
}

TEST(NmMesToNrMesTest, knows_the_three_letter_names_in_any_case) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Jan", "01"}, {"feb", "02"}, {"MAR", "03"},    {"Apr", "04"},    {"May", "05"},
      {"Jun", "06"}, {"Jul", "07"}, {"Aug", "08"},    {"Sep", "09"},    {"Oct", "10"},
      {"Nov", "11"}, {"dec", "12"}, {"DEC", "12"},    {"December", ""}, {"", ""},
      {"De", ""},    {"Dez", ""},   {"D\xC3\xA9", ""}};
  for (const auto& [name, number] : cases) EXPECT_EQ(NmMesToNrMes(name), number) << name;
}

TEST_F(LineParserTest, stores_values_in_their_column_order_and_leaves_the_year_empty) {
  parse("dec  5 10:00:00 mx postfix/qmgr[1]: 4XyZ1b2Cd3z8KqLong: from=<a@x>, size=42, nrcpt=1");
  parse("Dec  5 10:00:01 mx postfix/smtp[2]: 4XyZ1b2Cd3z8KqLong: to=<b@x>, status=sent");
  // Long queue identifiers stay whole in both tables, so that their records can pair.
  EXPECT_EQ(rows(tables_.cdsEnvio), std::vector<std::string>{"4XyZ1b2Cd3z8KqLong|a@x|05|12|42|"});
  EXPECT_EQ(rows(tables_.cdsRecebimento),
            std::vector<std::string>{"05|12|b@x|4XyZ1b2Cd3z8KqLong|"});
}

TEST_F(LineParserTest, a_full_month_name_stores_an_empty_month) {
  parse("December  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=1,");
  EXPECT_EQ(rows(tables_.cdsEnvio), std::vector<std::string>{"AB|a|05||1|"});
}

TEST_F(LineParserTest, lines_without_a_record_store_nothing) {
  EXPECT_EQ(parse("Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<>, size=1,"), RecordKind::None);
  EXPECT_EQ(parse("Dec  5 10:00:00 mx postfix/qmgr[1]: AB: removed"), RecordKind::None);
  EXPECT_EQ(parse("Dec  5 10:00:00 mx postfix/smtp[1]:  : to=<a>, status=sent"), RecordKind::None);
  EXPECT_EQ(parse("Dec  5 10:00:00 mx postfix/smtp[1]: AB: to=<   >, status=sent"),
            RecordKind::None);
  EXPECT_TRUE(tables_.cdsEnvio.isEmpty());
  EXPECT_TRUE(tables_.cdsRecebimento.isEmpty());
}

TEST_F(LineParserTest, size_edge_values) {
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A1: from=<a>, size=2147483647, nrcpt=1");
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A2: from=<a>, size=12");  // no "," after it
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A3: from=<a>, size=, nrcpt=1");
  EXPECT_EQ(rows(tables_.cdsEnvio),
            (std::vector<std::string>{"A1|a|05|12|2147483647|", "A2|a|05|12|0|", "A3|a|05|12|0|"}));
}

TEST_F(LineParserTest, conversion_errors_name_the_line_and_the_text_and_store_nothing) {
  struct Case {
    std::string line;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=12a, nrcpt=1",
       "line 1: size '12a' is not a signed 32-bit integer"},
      {"Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=2147483648, nrcpt=1",
       "line 2: size '2147483648' is not a signed 32-bit integer"},
      {"Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=\xE9, nrcpt=1",
       "line 3: size '\xC3\xA9' is not a signed 32-bit integer"},
      {" Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=1,",
       "line 4: day 'Dec ' is not a number of one or two digits"},
      {"Dec 123 10:00:00 mx postfix/smtp[1]: AB: to=<a>, status=sent",
       "line 5: day '123 ' is not a number of one or two digits"},
  };
  for (const auto& c : cases) {
    try {
      parse(c.line);
      ADD_FAILURE() << "no error for: " << c.line;
    } catch (const platform::EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_TRUE(tables_.cdsEnvio.isEmpty());
  EXPECT_TRUE(tables_.cdsRecebimento.isEmpty());
  EXPECT_EQ(tables_.cdsEnvio.state(), platform::data::DataSetState::Browse);
}

TEST_F(LineParserTest, addresses_are_stored_as_utf8_whatever_the_line_encoding) {
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A1: from=<jo\xC3\xA3o@x>, size=1,");  // UTF-8
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A2: from=<jo\xE3o@x>, size=1,");      // Windows-1252
  parse("Dec  5 10:00:00 mx postfix/qmgr[1]: A3: from=<\x80\x81@x>, size=1,");     // undefined byte
  EXPECT_EQ(rows(tables_.cdsEnvio),
            (std::vector<std::string>{"A1|jo\xC3\xA3o@x|05|12|1|", "A2|jo\xC3\xA3o@x|05|12|1|",
                                      "A3|\xE2\x82\xAC\xC2\x81@x|05|12|1|"}));
}

}  // namespace
}  // namespace zeb::import
