// Runs the phases of an import over real logs through the real connection into the real server, on an ephemeral loopback
// port over a temporary SQLite file, and reads back what was stored.
#include "import/phase_sequence.h"

#include <gtest/gtest.h>

#include <thread>

#include "e2e_support.h"
#include "host/brenmor.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/os/file_services.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::e2e {
namespace {

using import::ImportStage;
using import::UploadResult;
using platform::ui::TestBackend;

class PhaseSequenceTest : public ::testing::Test {
 protected:
  PhaseSequenceTest() : scope_(backend_) { import::moduleStartUp(); }
  ~PhaseSequenceTest() override { host::setHostSettings({}); }

  std::string log(const std::string& name, const std::vector<Mail>& mails) {
    return writeLog(dir_.file(name), mails);
  }

  UploadResult importInto(import::ServerObject& server, const std::string& path,
                          const std::string& branch = "0001") {
    host::setHostSettings({branch, "127.0.0.1", 18000});
    import::PhaseOptions options;
    options.year = "2025";
    options.server = &server;
    options.stageStarted = stepStarted_;
    boRegsImp = false;
    boImport = true;
    stArqTemp.clear();
    // As the screen's run does on every path.
    struct CleanUp {
      import::TrafficTables& tables;
      ~CleanUp() {
        tables.closeAll();
        try {
          if (!stArqTemp.empty()) platform::os::deleteFile(stArqTemp);
        } catch (const std::exception&) {
        }
      }
    } cleanUp{tables_};
    return import::runPhases(path, tables_, options).upload;
  }

  // What importing "logs" one after the other into an empty database stores.
  std::vector<std::string> cleanRows(const std::vector<std::string>& logs,
                                     const std::string& branch = "0001") {
    static int serial = 0;
    LiveServer fresh(dir_.file("clean" + std::to_string(++serial) + ".db"));
    for (const std::string& path : logs) importInto(fresh.object(), path, branch);
    return fresh.rows();
  }

  // Clears boImport during the pump at the start of upload row "row".
  void stopAtUploadRow(std::uint64_t row) {
    stepStarted_ = [this, row](ImportStage step) {
      if (step != ImportStage::kUpload) return;
      // Row 1001 pumps once more, to close the first batch.
      std::uint64_t pumps = row > 1001 ? row + 1 : row;
      backend_.atPump(backend_.pumpCount() + pumps, [] { boImport = false; });
    };
  }

  TestBackend backend_;
  platform::ui::ScopedBackend scope_;
  TempDir dir_;
  import::TrafficTables tables_;
  std::function<void(ImportStage)> stepStarted_;
};

// The sum of a column over stored rows: 9 is VRVOLDADOS, 10 QTEMAIL.
double total(const std::vector<std::string>& rows, int column) {
  double sum = 0;
  for (const std::string& row : rows) {
    std::size_t at = 0;
    for (int i = 0; i < column; ++i) at = row.find('|', at) + 1;
    sum += std::stod(row.substr(at, row.find('|', at) - at));
  }
  return sum;
}

std::vector<std::string> ofDays(const std::vector<std::string>& rows, const std::string& from,
                                const std::string& to) {
  std::vector<std::string> out;
  for (const std::string& row : rows) {
    std::string date = row.substr(row.find("|2025|") + 1, 10);  // "2025|12|05"
    if (date >= from && date <= to) out.push_back(row);
  }
  return out;
}

TEST_F(PhaseSequenceTest, a_log_imported_twice_stores_what_one_import_stores) {
  // 2400 mails over three days. The first upload batch ends early on the 6th, with rows that
  // no later mail touches; the second batch goes on with the 6th and updates rows of the first.
  std::vector<Mail> mails =
      concat({busyDay(5, 900), distinctMails(101, 6, 101), busyDay(6, 700, 1), busyDay(7, 699, 2)});
  std::string path = log("mail.log", mails);
  LiveServer server(dir_.file("stats.db"));

  UploadResult first = importInto(server.object(), path);
  std::vector<std::string> once = server.rows();
  importInto(server.object(), path);

  EXPECT_EQ(server.rows(), once);
  EXPECT_EQ(first.processed, 2400);
  EXPECT_EQ(first.period, "05/12/2025 a 07/12/2025");
  EXPECT_EQ(server.metrics().batches, 6u);
  // Nothing lost, nothing counted twice: every mail once, every byte once.
  EXPECT_EQ(total(once, 10), 2400);
  double bytes = 0;
  for (const Mail& m : mails) bytes += m.size;
  EXPECT_EQ(total(once, 9), bytes);
  // Letter case folded: 9 senders and 13 recipients give 117 rows a busy day.
  EXPECT_EQ(once.size(), 3u * 117u + 101u);
}

TEST_F(PhaseSequenceTest, a_rotated_log_overlapping_by_a_day_replaces_just_the_days_it_holds) {
  // The old log ends in the middle of the 3rd; the rotated one holds all of the 3rd again.
  std::vector<Mail> third = busyDay(3, 300, 3);
  std::vector<Mail> halfThird(third.begin(), third.begin() + 150);
  std::string older = log("mail.log.1", concat({busyDay(1, 200), busyDay(2, 200, 1), halfThird}));
  std::string newer = log("mail.log", concat({third, busyDay(4, 200, 4)}));
  std::string whole =
      log("whole.log", concat({busyDay(1, 200), busyDay(2, 200, 1), third, busyDay(4, 200, 4)}));
  LiveServer server(dir_.file("stats.db"));

  importInto(server.object(), older);
  importInto(server.object(), newer);

  EXPECT_EQ(server.rows(), cleanRows({whole}));
}

TEST_F(PhaseSequenceTest, an_older_log_imported_later_never_erases_newer_days) {
  std::string newer = log("mail.log", concat({busyDay(3, 300, 3), busyDay(4, 200, 4)}));
  std::string older = log("mail.log.1", concat({busyDay(1, 200), busyDay(3, 100, 5)}));
  LiveServer server(dir_.file("stats.db"));

  importInto(server.object(), newer);
  importInto(server.object(), older);

  std::vector<std::string> rows = server.rows();
  EXPECT_EQ(ofDays(rows, "2025|12|01", "2025|12|03"), cleanRows({older}));
  EXPECT_EQ(ofDays(rows, "2025|12|04", "2025|12|31"),
            ofDays(cleanRows({newer}), "2025|12|04", "2025|12|31"));
}

TEST_F(PhaseSequenceTest, two_branches_importing_the_same_days_do_not_touch_each_other) {
  std::string matriz = log("matriz.log", concat({busyDay(1, 300), busyDay(2, 300, 1)}));
  std::string filial = log("filial.log", concat({busyDay(1, 250, 7), busyDay(2, 250, 8)}));
  LiveServer server(dir_.file("stats.db"));

  importInto(server.object(), matriz, "0001");
  importInto(server.object(), filial, "0002");
  importInto(server.object(), matriz, "0001");

  EXPECT_EQ(server.rows({.branch = "0001"}), cleanRows({matriz}, "0001"));
  EXPECT_EQ(server.rows({.branch = "0002"}), cleanRows({filial}, "0002"));
}

TEST_F(PhaseSequenceTest, traffic_is_sent_after_rows_1001_and_2001_and_the_last) {
  std::string path = log("mail.log", distinctMails(2500, 1, 600));
  LiveServer server(dir_.file("stats.db"));
  Tap tap(server.object());

  UploadResult result = importInto(tap, path);

  EXPECT_EQ(tap.methods, (std::vector<std::string>{"GetEmail", "SetDelEmail", "SetEmail",
                                                   "SetEmail", "SetEmail"}));
  EXPECT_EQ(tap.changesPerBatch, (std::vector<std::size_t>{1001, 1000, 499}));
  EXPECT_EQ(server.metrics().batches, 3u);
  EXPECT_EQ(server.metrics().changes, 2500u);
  EXPECT_EQ(server.rows().size(), 2500u);
  EXPECT_EQ(result.processed, 2500);
  EXPECT_TRUE(boRegsImp);
}

struct StopCase {
  int mails;
  int stopRow;
  std::uint64_t batches;
};

class StopDuringUploadTest : public PhaseSequenceTest,
                             public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringUploadTest, stores_the_batches_sent_whole_and_nothing_after_them) {
  const StopCase& c = GetParam();
  std::vector<Mail> mails = distinctMails(c.mails, 1, 200);
  std::string path = log("mail.log", mails);
  LiveServer server(dir_.file("stats.db"));
  stopAtUploadRow(c.stopRow);

  UploadResult result = importInto(server.object(), path);

  EXPECT_EQ(result.processed, c.stopRow);
  EXPECT_FALSE(boImport);
  EXPECT_TRUE(boRegsImp);
  EXPECT_EQ(server.metrics().batches, c.batches);
  std::vector<Mail> sent(mails.begin(), mails.begin() + c.stopRow);
  stepStarted_ = nullptr;
  EXPECT_EQ(server.rows(), cleanRows({log("sent.log", sent)}));
}

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << "stop at row " << c.stopRow << " of " << c.mails;
}

INSTANTIATE_TEST_SUITE_P(PhaseSequenceTest, StopDuringUploadTest,
                         ::testing::Values(StopCase{500, 10, 1}, StopCase{2500, 1500, 2},
                                           StopCase{1200, 1001, 1}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                           return "row_" + std::to_string(info.param.stopRow) + "_of_" +
                                  std::to_string(info.param.mails);
                         });

TEST_F(PhaseSequenceTest, a_stop_before_the_upload_makes_no_server_call) {
  std::string path = log("mail.log", distinctMails(300, 1, 100));
  LiveServer server(dir_.file("stats.db"));
  Tap tap(server.object());
  stepStarted_ = [this](ImportStage step) {
    if (step == ImportStage::kAnalysis) {
      backend_.atPump(backend_.pumpCount() + 20, [] { boImport = false; });
    }
  };

  UploadResult result = importInto(tap, path);

  EXPECT_TRUE(tap.methods.empty());
  EXPECT_EQ(result.processed, 0);
  EXPECT_FALSE(boRegsImp);
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_FALSE(tables_.cdsIntermediario.active());
  EXPECT_TRUE(server.rows().empty());
}

TEST_F(PhaseSequenceTest, a_log_that_cannot_be_read_leaves_no_work_file_and_calls_nothing) {
  LiveServer server(dir_.file("stats.db"));
  Tap tap(server.object());

  EXPECT_THROW(importInto(tap, dir_.file("missing.log")), platform::EInOutError);

  EXPECT_FALSE(stArqTemp.empty());
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_TRUE(tap.methods.empty());
}

// The server dies between two batches: what it stored is whole, the run fails naming where, and
// importing the same log again after a restart repairs everything.
TEST_F(PhaseSequenceTest,
       a_server_killed_between_batches_fails_the_run_and_a_new_import_repairs_it) {
  std::vector<Mail> mails = distinctMails(2500, 1, 400);
  std::string path = log("mail.log", mails);
  std::string database = dir_.file("stats.db");
  {
    ChildServer child(database);
    platform::net::TNetConnection net;
    connectTo(net, child.port());
    import::NetServerObject object(net);
    Tap tap(object);
    // Killed as the first batch's answer is taken, which is before the second is sent.
    tap.onDone = [&](std::string_view method) {
      if (method == "SetEmail") child.kill();
    };

    try {
      importInto(tap, path);
      ADD_FAILURE() << "the run went on without its server";
    } catch (const platform::EServerError& e) {
      EXPECT_EQ(std::string(e.what()),
                "calling SetEmail on 127.0.0.1:" + std::to_string(child.port()) +
                    " failed: connection refused");
    }
    EXPECT_EQ(tap.count("SetEmail"), 2);
  }
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_FALSE(tables_.cdsDados.active());

  LiveServer server(database);
  std::vector<Mail> firstBatch(mails.begin(), mails.begin() + 1001);
  EXPECT_EQ(server.rows(), cleanRows({log("sent.log", firstBatch)}));
  importInto(server.object(), path);
  EXPECT_EQ(server.rows(), cleanRows({path}));
}

TEST_F(PhaseSequenceTest,
       a_server_killed_during_a_batch_keeps_whole_batches_and_a_new_import_repairs_it) {
  std::vector<Mail> mails = distinctMails(3500, 1, 500);
  std::string path = log("mail.log", mails);
  std::string database = dir_.file("stats.db");
  int acknowledged = 0;
  {
    ChildServer child(database);
    platform::net::TNetConnection net;
    connectTo(net, child.port());
    import::NetServerObject object(net);
    Tap tap(object);
    std::thread killer;
    // Killed as soon as the pending file changes once the second batch is on its way: in the
    // middle of writing it, after it and before the answer, or (when the server empties the
    // file of the first batch just then) before it.
    tap.onCall = [&](std::string_view method) {
      if (method != "SetEmail" || tap.count("SetEmail") != 2) return;
      killer = std::thread([&child, pending = database + "-pending"] {
        std::error_code error;
        std::uintmax_t before = fs::file_size(pending, error);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fs::file_size(pending, error) == before && std::chrono::steady_clock::now() < deadline) {
        }
        child.kill();
      });
    };
    tap.onDone = [&](std::string_view method) { acknowledged += method == "SetEmail"; };
    std::string where =
        "calling SetEmail on 127.0.0.1:" + std::to_string(child.port()) + " failed: ";

    try {
      importInto(tap, path);
      ADD_FAILURE() << "the run went on without its server";
    } catch (const platform::EServerError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, where.size()), where) << e.what();
    }
    if (killer.joinable()) killer.join();
  }

  // The batch in flight when the server died is stored whole or not at all.
  LiveServer server(database);
  std::vector<std::string> kept = server.rows();
  ASSERT_GE(acknowledged, 1);
  std::size_t wholeBatches =
      kept.size() == 1001u + 1000u * acknowledged ? acknowledged + 1 : acknowledged;
  ASSERT_EQ(kept.size(), 1u + 1000u * wholeBatches) << "acknowledged " << acknowledged;
  std::vector<Mail> sent(mails.begin(), mails.begin() + kept.size());
  EXPECT_EQ(kept, cleanRows({log("sent.log", sent)}));

  importInto(server.object(), path);
  EXPECT_EQ(server.rows(), cleanRows({path}));
}

}  // namespace
}  // namespace zeb::e2e
