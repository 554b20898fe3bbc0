#include "import/analysis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/line_parser.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::import {
namespace {

using platform::ui::TestBackend;

std::string sending(const std::string& date, const std::string& id, const std::string& from,
                    int size) {
  return date + " 10:00:00 mx postfix/qmgr[1]: " + id + ": from=<" + from +
         ">, size=" + std::to_string(size) + ", nrcpt=1 (queue active)";
}
std::string delivery(const std::string& date, const std::string& id, const std::string& to) {
  return date + " 10:00:01 mx postfix/smtp[2]: " + id + ": to=<" + to +
         ">, relay=mx[192.0.2.1]:25, status=sent (250 Ok)";
}

class AnalysisTest : public ::testing::Test {
 protected:
  AnalysisTest() : backend_scope_(backend_) {
    moduleStartUp();
    stAno = "2025";
    tables_.openLogTables();
  }
  ~AnalysisTest() override { stAno.clear(); }

  void parse(const std::vector<std::string>& lines) {
    LineParser parser(tables_);
    std::uint64_t n = 0;
    for (const auto& line : lines) parser.parseLine(line, ++n);
  }

  std::vector<std::string> years(RecordSet& table, int yearField) {
    std::vector<std::string> out;
    for (table.first(); !table.eof(); table.next()) out.emplace_back(table.text(yearField));
    return out;
  }

  // The traffic rows as "origin>destination year-month-day size".
  std::vector<std::string> traffic() {
    std::vector<std::string> out;
    RecordSet& t = tables_.cdsIntermediario;
    if (t.isEmpty()) return out;
    for (t.first(); !t.eof(); t.next()) {
      out.push_back(std::string(t.text(intermediario::NMORIGEM)) + ">" +
                    std::string(t.text(intermediario::NMDESTINO)) + " " +
                    std::string(t.text(intermediario::ANETLEMAIL)) + "-" +
                    std::string(t.text(intermediario::MEETLEMAIL)) + "-" +
                    std::string(t.text(intermediario::DIETLEMAIL)) + " " +
                    std::to_string(static_cast<long long>(t.number(intermediario::VRVOLDADOS))));
    }
    return out;
  }

  Grouping run(const std::vector<std::string>& lines) {
    parse(lines);
    analysisPhase(tables_, ui_);
    return groupingPhase(tables_, ui_);
  }

  TestBackend backend_;
  platform::ui::ScopedBackend backend_scope_;
  TrafficTables tables_;
  platform::ui::ProgressBar progress_{nullptr, "pgbProgresso"};
  platform::ui::Label status_{nullptr, "lblProgresso"};
  PhaseUi ui_{.form = nullptr, .status = &status_, .progress = &progress_};
};

TEST_F(AnalysisTest, new_year_dates_january_with_the_log_year_and_december_before) {
  parse({sending("Dec 30", "A1", "a@x", 1), delivery("Dec 31", "B1", "b@x"),
         sending("Jan  1", "A2", "a@x", 1), delivery("Jan  2", "B2", "b@x")});
  analysisPhase(tables_, ui_);
  EXPECT_EQ(years(tables_.cdsEnvio, envio::ANO), (std::vector<std::string>{"2024", "2025"}));
  EXPECT_EQ(years(tables_.cdsRecebimento, recebimento::ANO),
            (std::vector<std::string>{"2024", "2025"}));
  EXPECT_EQ(progress_.max(), 4);
  EXPECT_EQ(progress_.position(), 4);
}

TEST_F(AnalysisTest, a_log_ending_on_new_years_day_pairs_the_messages_of_new_years_eve) {
  // The last sending record is of 31 December, the last delivery of 1 January: dated
  // together, the 31 December records share one year and pair.
  Grouping g = run({sending("Dec 31", "A1", "a@x", 10), delivery("Dec 31", "A1", "b@x"),
                    sending("Dec 31", "A2", "a@x", 20), delivery("Jan  1", "A2", "c@x")});
  EXPECT_EQ(traffic(),
            (std::vector<std::string>{"a@x>b@x 2024-12-31 10", "a@x>c@x 2024-12-31 20"}));
  EXPECT_EQ(g.pairCount, 2);
  EXPECT_EQ(g.earliest, (DateText{"2024", "12", "31"}));
  EXPECT_EQ(g.last, (DateText{"2024", "12", "31"}));
}

TEST_F(AnalysisTest, months_that_never_increase_keep_one_year_across_twelve_months) {
  parse({sending("Mar  1", "A1", "a@x", 1), sending("Mar 20", "A2", "a@x", 1)});
  analysisPhase(tables_, ui_);
  EXPECT_EQ(years(tables_.cdsEnvio, envio::ANO), (std::vector<std::string>{"2025", "2025"}));
}

TEST_F(AnalysisTest, deliveries_pair_across_midnight_and_after_a_deferral) {
  Grouping g = run({sending("Dec  5", "A1", "a@x", 100), delivery("Dec  6", "A1", "b@x"),
                    delivery("Dec  9", "a1", "c@x")});  // letter case of the id ignored
  EXPECT_EQ(traffic(),
            (std::vector<std::string>{"a@x>b@x 2025-12-05 100", "a@x>c@x 2025-12-05 100"}));
  EXPECT_EQ(g.pairCount, 2);
  EXPECT_TRUE(tables_.cdsRecebimento.isEmpty());
}

TEST_F(AnalysisTest, a_reused_queue_id_pairs_each_delivery_with_the_sending_before_it) {
  Grouping g = run({delivery("Dec  1", "Q", "early@x"),  // nothing sent before it: unpaired
                    sending("Dec  1", "Q", "first@x", 1), delivery("Dec  1", "Q", "b@x"),
                    sending("Dec  1", "Q", "second@x", 2), delivery("Dec  1", "Q", "c@x"),
                    sending("Dec 20", "Q", "third@x", 3), delivery("Dec 20", "Q", "d@x"),
                    delivery("Dec 20", "Q", "e@x")});
  EXPECT_EQ(traffic(),
            (std::vector<std::string>{"first@x>b@x 2025-12-01 1", "second@x>c@x 2025-12-01 2",
                                      "third@x>d@x 2025-12-20 3", "third@x>e@x 2025-12-20 3"}));
  EXPECT_EQ(g.pairCount, 4);
  ASSERT_EQ(tables_.cdsRecebimento.recordCount(), 1u);
  tables_.cdsRecebimento.first();
  EXPECT_EQ(tables_.cdsRecebimento.text(recebimento::NMDEST), "early@x");
}

TEST_F(AnalysisTest, rows_come_by_sending_record_then_by_delivery_in_table_order) {
  run({sending("Dec  1", "A", "a@x", 1), sending("Dec  1", "B", "b@x", 2),
       delivery("Dec  1", "B", "1@x"), delivery("Dec  1", "A", "2@x"),
       delivery("Dec  1", "B", "3@x")});
  EXPECT_EQ(traffic(), (std::vector<std::string>{"a@x>2@x 2025-12-01 1", "b@x>1@x 2025-12-01 2",
                                                 "b@x>3@x 2025-12-01 2"}));
}

TEST_F(AnalysisTest, earliest_and_last_dates_include_sending_records_without_delivery) {
  Grouping g = run({sending("Feb 28", "A", "a@x", 1), delivery("Feb 28", "A", "b@x"),
                    sending("Feb 27", "B", "a@x", 1), sending("Mar  4", "C", "a@x", 1)});
  EXPECT_EQ(g.earliest, (DateText{"2025", "02", "27"}));
  EXPECT_EQ(g.last, (DateText{"2025", "03", "04"}));
  EXPECT_EQ(g.pairCount, 1);
  EXPECT_EQ(progress_.max(), 3);
  EXPECT_EQ(progress_.position(), 3);
}

TEST_F(AnalysisTest, a_log_without_traffic_is_reported_invalid_and_aborts) {
  bool unlocked = false;
  ui_.unlockScreen = [&] { unlocked = true; };
  status_.setCaption("Organizando dados");
  backend_.answerDialog(platform::ui::kMrOk);
  EXPECT_THROW(run({sending("Dec  1", "A", "a@x", 1), delivery("Dec  1", "B", "b@x")}),
               platform::EAbort);
  ASSERT_EQ(backend_.dialogs().size(), 1u);
  EXPECT_EQ(backend_.dialogs()[0].text,
            "Arquivo é inválido ou não possui todos os dados necessários.");
  EXPECT_TRUE(unlocked);
  EXPECT_FALSE(boImport);
  EXPECT_EQ(status_.caption(), "");
}

TEST_F(AnalysisTest, a_stop_during_the_analysis_leaves_earlier_records_undated_and_skips_grouping) {
  parse({sending("Dec  1", "A", "a@x", 1), delivery("Dec  1", "A", "b@x"),
         sending("Dec  2", "B", "a@x", 1), delivery("Dec  2", "B", "b@x")});
  backend_.atPump(2, [] { boImport = false; });  // the operator stops at the second record
  analysisPhase(tables_, ui_);
  EXPECT_EQ(years(tables_.cdsEnvio, envio::ANO), (std::vector<std::string>{"", "2025"}));
  EXPECT_EQ(years(tables_.cdsRecebimento, recebimento::ANO),
            (std::vector<std::string>{"", "2025"}));
  Grouping g = groupingPhase(tables_, ui_);  // no error: a stop is no failure
  EXPECT_EQ(g.pairCount, 0);
  EXPECT_TRUE(tables_.cdsIntermediario.isEmpty());
  EXPECT_TRUE(backend_.dialogs().empty());
}

TEST_F(AnalysisTest, a_record_without_a_month_number_fails_naming_its_line) {
  parse({sending("Dec  1", "A", "a@x", 1), sending("December  2", "B", "a@x", 1),
         sending("Dec  3", "C", "a@x", 1)});
  try {
    analysisPhase(tables_, ui_);
    FAIL() << "no error";
  } catch (const platform::EConvertError& e) {
    EXPECT_EQ(std::string(e.what()),
              "line 2: month '' is not a number (the month name is not Jan to Dec)");
  }
}

// A damaged line whose record the server would refuse fails the analysis, naming the line,
// before anything is sent; the same day in a year that has it, or a size of 0, passes.
TEST_F(AnalysisTest, a_day_its_month_lacks_or_a_negative_size_fails_naming_its_line) {
  struct Case {
    std::string line;
    std::string year;
    std::string error;  // empty: no error
  } cases[] = {
      {sending("Feb 30", "A", "a@x", 1), "2025", "line 2: day '30' does not exist in 02/2025"},
      {sending("Feb 29", "A", "a@x", 1), "2025", "line 2: day '29' does not exist in 02/2025"},
      {sending("Feb 29", "A", "a@x", 1), "2024", ""},
      // April, before the February lines that follow it, is dated a year back.
      {delivery("Apr 31", "A", "b@y"), "2025", "line 2: day '31' does not exist in 04/2024"},
      {sending("Apr  0", "A", "a@x", 1), "2025", "line 2: day '00' does not exist in 04/2024"},
      {sending("Feb  3", "A", "a@x", -987), "2025", "line 2: size -987 is negative"},
      {sending("Feb  3", "A", "a@x", 0), "2025", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    tables_.closeAll();
    tables_.openLogTables();
    tables_.envioLines.clear();
    tables_.recebimentoLines.clear();
    stAno = c.year;
    parse({sending("Feb  1", "Z", "a@x", 1), c.line, delivery("Feb  3", "Z", "b@y")});
    std::string error;
    try {
      analysisPhase(tables_, ui_);
    } catch (const platform::EConvertError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
  }
}

// An RFC 3339 head for the helpers above, in place of "Mon DD": they add a blank and a time.
std::string stamped(const std::string& date, const std::string& time) {
  return date + "T" + time + ".000001+01:00 mx";
}

TEST_F(AnalysisTest, classic_records_of_a_mixed_log_are_dated_back_from_the_stamp_after_them) {
  stAno = "2027";  // a copy of the log made a year later
  Grouping g = run({sending("Dec 30", "A1", "a@x", 1), delivery("Dec 31", "A1", "b@x"),
                    sending(stamped("2026-01-01", "10:00:00"), "A2", "a@x", 2),
                    delivery(stamped("2026-01-01", "10:00:01"), "A2", "b@x"),
                    sending("Jan  2", "A3", "a@x", 3), delivery("Jan  2", "A3", "b@x")});
  // The classic records before the stamps step back from the stamps' year; those after the
  // last stamp take the log year, as in a classic log.
  EXPECT_EQ(traffic(), (std::vector<std::string>{"a@x>b@x 2025-12-30 1", "a@x>b@x 2026-01-01 2",
                                                 "a@x>b@x 2027-01-02 3"}));
  EXPECT_EQ(g.earliest, (DateText{"2025", "12", "30"}));
}

TEST(DateBeforeTest, compares_year_then_month_then_day_as_text) {
  EXPECT_TRUE(dateBefore({"2024", "12", "31"}, {"2025", "01", "01"}));
  EXPECT_TRUE(dateBefore({"2025", "01", "31"}, {"2025", "02", "01"}));
  EXPECT_TRUE(dateBefore({"2025", "02", "01"}, {"2025", "02", "02"}));
  EXPECT_FALSE(dateBefore({"2025", "02", "02"}, {"2025", "02", "02"}));
  EXPECT_TRUE(dateBefore({"", "", ""}, {"2025", "02", "02"}));
}

}  // namespace
}  // namespace zeb::import
