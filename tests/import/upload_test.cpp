#include "import/upload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/brenmor.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::import {
namespace {

using nlohmann::json;
using platform::ui::TestBackend;

// The server object as a script: answers every call and keeps what it was sent.
class FakeServer : public ServerObject {
 public:
  struct Call {
    std::string method;
    json params;
  };

  json call(std::string_view method, const json& params) override {
    calls.push_back({std::string(method), params});
    if (method == "GetEmail") return json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", packet}};
    return json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", true}};
  }
  json callRaw(std::string_view method, std::string paramsJson) override {
    if (failSetEmail && ++setEmails >= failFrom) {
      calls.push_back({std::string(method), json::parse(paramsJson)});
      return json{
          {"jsonrpc", "2.0"}, {"id", 1}, {"error", {{"code", -32000}, {"message", "disk full"}}}};
    }
    return call(method, json::parse(paramsJson));
  }
  // The deltas sent, in order.
  std::vector<json> deltas() const {
    std::vector<json> out;
    for (const auto& c : calls) {
      if (c.method == "SetEmail") out.push_back(c.params[0]);
    }
    return out;
  }

  json packet;
  bool failSetEmail = false;
  int failFrom = 1;  // the first SetEmail refused, counting from 1
  int setEmails = 0;
  std::vector<Call> calls;
};

class UploadTest : public ::testing::Test {
 protected:
  UploadTest() : scope_(backend_) {
    moduleStartUp();
    host::setHostSettings({"0042", "127.0.0.1", 18000});
    tables_.cdsIntermediario.open();
    tables_.cdsDados.open();
    server_.packet = json{{"columns", tables_.cdsDados.columnsJson()}, {"rows", json::array()}};
  }
  ~UploadTest() override { host::setHostSettings({}); }

  void traffic(const std::string& from, const std::string& to, const DateText& date, double size) {
    RecordSet& t = tables_.cdsIntermediario;
    t.append();
    t.setText(intermediario::NMORIGEM, from);
    t.setText(intermediario::NMDESTINO, to);
    t.setText(intermediario::ANETLEMAIL, date[0]);
    t.setText(intermediario::MEETLEMAIL, date[1]);
    t.setText(intermediario::DIETLEMAIL, date[2]);
    t.setNumber(intermediario::VRVOLDADOS, size);
    t.post();
    ++grouping_.pairCount;
    if (grouping_.last[0].empty()) grouping_.earliest = grouping_.last = date;
  }

  UploadResult upload() { return uploadPhase(tables_, grouping_, server_, ui_, labels_); }

  // The statistics rows as the server's packet would list them.
  json rows() { return tables_.cdsDados.packet()["rows"]; }

  TestBackend backend_;
  platform::ui::ScopedBackend scope_;
  TrafficTables tables_;
  FakeServer server_;
  Grouping grouping_;
  platform::ui::ProgressBar progress_{nullptr, "pgbProgresso"};
  platform::ui::Label status_{nullptr, "lblProgresso"};
  platform::ui::Label qt_{nullptr, "lblQtImpEmail"}, per_{nullptr, "lblPerImpEmail"},
      agrup_{nullptr, "lblDadAgrup"};
  PhaseUi ui_{.form = nullptr, .status = &status_, .progress = &progress_};
  UploadLabels labels_{&qt_, &per_, &agrup_};
};

const DateText kDec5{"2025", "12", "05"};

TEST_F(UploadTest, one_row_into_an_empty_packet_is_inserted_and_sent_at_once) {
  traffic("a@x", "b@x", kDec5, 987);
  grouping_.earliest = {"2025", "12", "01"};
  UploadResult r = upload();
  EXPECT_EQ(rows(), json::parse(R"([["0042","a@x","b@x","2025","12","05",
                                      "6°Bim","2°Sem","4°Tri",987.0,1.0]])"));
  ASSERT_EQ(server_.calls.size(), 3u);
  EXPECT_EQ(server_.calls[0].method, "GetEmail");
  EXPECT_EQ(server_.calls[0].params, json::array());
  EXPECT_EQ(server_.calls[1].method, "SetDelEmail");
  EXPECT_EQ(server_.calls[1].params, json({"2025", "12", "01"}));
  EXPECT_EQ(server_.deltas().size(), 1u);
  EXPECT_EQ(tables_.cdsDados.changeCount(), 0);
  EXPECT_EQ(qt_.caption(), "1");
  EXPECT_EQ(agrup_.caption(), "0");
  EXPECT_EQ(r.processed, 1);
  EXPECT_TRUE(boRegsImp);
  EXPECT_TRUE(boPost);
  EXPECT_TRUE(tables_.cdsIntermediario.isEmpty());
}

TEST_F(UploadTest, rows_of_one_key_fold_into_one_statistics_row_ignoring_letter_case) {
  traffic("Ana@X", "b@x", kDec5, 100);
  traffic("ana@x", "B@X", kDec5, 200);
  traffic("ANA@x", "b@x", kDec5, 300);
  upload();
  EXPECT_EQ(rows(), json::parse(R"([["0042","Ana@X","b@x","2025","12","05",
                                      "6°Bim","2°Sem","4°Tri",600.0,3.0]])"));
  EXPECT_EQ(server_.deltas().size(), 1u);
  EXPECT_EQ(qt_.caption(), "3");
  EXPECT_EQ(agrup_.caption(), "2");
}

TEST_F(UploadTest, a_packet_row_of_the_same_key_is_updated_in_place) {
  server_.packet["rows"] = json::parse(R"([["9999","a@x","b@x","2025","12","05",
                                           "xBim","xSem","xTri",50.0,4.0]])");
  traffic("a@x", "b@x", kDec5, 10);
  upload();
  EXPECT_EQ(rows(), json::parse(R"([["9999","a@x","b@x","2025","12","05",
                                      "xBim","xSem","xTri",60.0,5.0]])"));
  ASSERT_EQ(server_.deltas().size(), 1u);
  EXPECT_EQ(server_.deltas()[0]["changes"][0]["op"], "update");
}

TEST_F(UploadTest, a_packet_row_is_matched_ignoring_letter_case) {
  server_.packet["rows"] = json::parse(R"([["9999","Ana@X","b@x","2025","12","05",
                                           "xBim","xSem","xTri",50.0,4.0]])");
  traffic("ana@x", "B@x", kDec5, 10);
  upload();
  EXPECT_EQ(rows(), json::parse(R"([["9999","Ana@X","b@x","2025","12","05",
                                      "xBim","xSem","xTri",60.0,5.0]])"));
}

TEST_F(UploadTest, every_new_row_has_the_codes_of_its_own_month) {
  traffic("a@x", "b@x", {"2025", "03", "05"}, 1);
  traffic("a@x", "b@x", {"2025", "10", "05"}, 1);
  traffic("c@x", "b@x", {"2025", "03", "05"}, 1);
  traffic("a@x", "b@x", {"2025", "03", "06"}, 1);
  upload();
  json codes = json::array();
  for (const json& row : rows()) codes.push_back({row[4], row[6], row[7], row[8]});
  EXPECT_EQ(codes, json::parse(R"([["03","2°Bim","1°Sem","1°Tri"],["10","5°Bim","2°Sem","4°Tri"],
                                   ["03","2°Bim","1°Sem","1°Tri"],["03","2°Bim","1°Sem","1°Tri"]])"));
}

TEST_F(UploadTest, a_month_that_is_not_a_number_ends_the_upload) {
  traffic("a@x", "b@x", {"2025", "1x", "05"}, 1);
  EXPECT_THROW(
      {
        try {
          upload();
        } catch (const platform::EConvertError& e) {
          EXPECT_STREQ(e.what(), "month '1x' is not a number");
          throw;
        }
      },
      platform::EConvertError);
}

TEST_F(UploadTest, a_row_changed_in_two_batches_is_sent_as_an_update_of_what_was_sent_first) {
  traffic("a@x", "b@x", kDec5, 5);
  for (int i = 0; i < 1000; ++i) traffic("c" + std::to_string(i) + "@x", "b@x", kDec5, 1);
  traffic("A@x", "b@x", kDec5, 7);
  upload();
  ASSERT_EQ(server_.deltas().size(), 2u);
  EXPECT_EQ(server_.deltas()[1]["changes"], json::parse(R"([{"op":"update",
      "old":["0042","a@x","b@x","2025","12","05","6°Bim","2°Sem","4°Tri",5.0,1.0],
      "row":["0042","a@x","b@x","2025","12","05","6°Bim","2°Sem","4°Tri",12.0,2.0]}])"));
}

TEST_F(UploadTest, sums_are_64_bit) {
  traffic("a@x", "b@x", kDec5, 2'000'000'000);
  traffic("a@x", "b@x", kDec5, 2'000'000'000);
  upload();
  EXPECT_EQ(rows()[0][9], 4'000'000'000.0);
}

TEST_F(UploadTest, batches_close_after_rows_1001_2001_and_the_last) {
  for (int i = 0; i < 2500; ++i) traffic("a" + std::to_string(i) + "@x", "b@x", kDec5, 1);
  upload();
  std::vector<std::size_t> sizes;
  for (const auto& d : server_.deltas()) sizes.push_back(d["changes"].size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1001, 1000, 499}));
  EXPECT_EQ(status_.caption(), "Importando 2500/2500");
  EXPECT_EQ(progress_.position(), 2500);
}

TEST_F(UploadTest, a_stop_sends_the_row_in_hand_and_ends_the_loop) {
  for (int i = 0; i < 500; ++i) traffic("a" + std::to_string(i) + "@x", "b@x", kDec5, 1);
  backend_.atPump(10, [] { boImport = false; });  // during the pump at the start of row 10
  upload();
  ASSERT_EQ(server_.deltas().size(), 1u);
  EXPECT_EQ(server_.deltas()[0]["changes"].size(), 10u);
  EXPECT_EQ(qt_.caption(), "10");
  EXPECT_EQ(tables_.cdsIntermediario.recordCount(), 490u);
  EXPECT_TRUE(boRegsImp);
}

TEST_F(UploadTest, only_posts_that_close_a_batch_show_the_animation_and_send) {
  traffic("a@x", "b@x", kDec5, 1);
  traffic("a@x", "b@x", kDec5, 1);
  upload();
  // One batch: the busy animation and the wait cursor once, around the one send.
  EXPECT_EQ(backend_.busyHistory().size(), 2u);
  EXPECT_EQ(backend_.cursorHistory(), (std::vector<int>{-11, 0}));
  EXPECT_EQ(server_.deltas().size(), 1u);

  // A batch that closes with nothing to send shows and hides the animation, and calls nothing.
  boPost = true;
  tables_.cdsDados.mergeChangeLog();
  tables_.cdsDados.first();
  tables_.cdsDados.edit();
  tables_.cdsDados.cancel();
  std::size_t calls = server_.calls.size();
  cdsDadosAfterPost(tables_.cdsDados, server_);
  EXPECT_EQ(server_.calls.size(), calls);
  EXPECT_EQ(backend_.busyHistory().size(), 4u);
}

// A batch is answered while the next one is folded; a refused one fails the run before the
// next goes out, and so does the last one, answered at the end.
TEST_F(UploadTest, a_refused_batch_restores_the_cursor_hides_the_animation_and_nothing_follows) {
  struct Case {
    int rows, refused, sent;
    const char* status;  // the batch's rows, as when it was sent
  };
  for (Case c : {Case{1, 1, 1, "1/1"}, Case{2500, 1, 1, "1001/2500"},
                 Case{2500, 3, 3, "2500/2500"}}) {
    SCOPED_TRACE(std::to_string(c.rows) + " rows, batch " + std::to_string(c.refused));
    tables_.cdsIntermediario.close();
    tables_.cdsIntermediario.open();
    grouping_ = {};
    server_.calls.clear();
    server_.setEmails = 0;
    server_.failSetEmail = true;
    server_.failFrom = c.refused;
    for (int i = 0; i < c.rows; ++i) traffic("a" + std::to_string(i) + "@x", "b@x", kDec5, 1);
    EXPECT_THROW(upload(), platform::EServerError);
    EXPECT_EQ(backend_.cursorHistory().back(), 0);
    EXPECT_FALSE(platform::ui::application().busyShown());
    EXPECT_FALSE(server_.sending());
    EXPECT_EQ(server_.deltas().size(), static_cast<std::size_t>(c.sent));
    EXPECT_EQ(status_.caption(), std::string("Importando ") + c.status);
  }
}

TEST_F(UploadTest, the_period_runs_from_the_earliest_traffic_to_the_last_sending_date) {
  traffic("a@x", "b@x", {"2024", "03", "03"}, 1);
  traffic("a@x", "b@x", {"2024", "02", "28"}, 1);
  grouping_.last = {"2024", "03", "04"};  // the last sending record had no delivery
  UploadResult r = upload();
  EXPECT_EQ(per_.caption(), "28/02/2024 a 04/03/2024");
  EXPECT_EQ(r.period, "28/02/2024 a 04/03/2024");
}

TEST_F(UploadTest, the_status_line_counts_rows) {
  std::vector<std::string> seen;
  traffic("a@x", "b@x", kDec5, 1);
  traffic("c@x", "b@x", kDec5, 1);
  backend_.atPump(1, [&] { seen.push_back(status_.caption()); });
  backend_.atPump(2, [&] { seen.push_back(status_.caption()); });
  upload();
  seen.push_back(status_.caption());
  EXPECT_EQ(seen, (std::vector<std::string>{"Importando ", "Importando 1/2", "Importando 2/2"}));
}

TEST(PeriodCodesTest, every_month_has_its_bimester_trimester_and_semester) {
  const char* expected[12][3] = {
      {"1°Bim", "1°Tri", "1°Sem"}, {"1°Bim", "1°Tri", "1°Sem"}, {"2°Bim", "1°Tri", "1°Sem"},
      {"2°Bim", "2°Tri", "1°Sem"}, {"3°Bim", "2°Tri", "1°Sem"}, {"3°Bim", "2°Tri", "1°Sem"},
      {"4°Bim", "3°Tri", "2°Sem"}, {"4°Bim", "3°Tri", "2°Sem"}, {"5°Bim", "3°Tri", "2°Sem"},
      {"5°Bim", "4°Tri", "2°Sem"}, {"6°Bim", "4°Tri", "2°Sem"}, {"6°Bim", "4°Tri", "2°Sem"}};
  const PhaseUi ui;
  for (int m = 1; m <= 12; ++m) {
    std::string month = (m < 10 ? "0" : "") + std::to_string(m);
    PeriodCodes codes = periodCodes(month, ui.msg());
    EXPECT_EQ(codes.bimester, expected[m - 1][0]) << month;
    EXPECT_EQ(codes.trimester, expected[m - 1][1]) << month;
    EXPECT_EQ(codes.semester, expected[m - 1][2]) << month;
  }
  EXPECT_THROW(periodCodes("", ui.msg()), platform::EConvertError);
}

}  // namespace
}  // namespace zeb::import
