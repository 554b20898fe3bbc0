#include "server/statistics_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/core/exceptions.h"
#include "server_test_support.h"
namespace zeb::server {
namespace {

namespace fs = std::filesystem;

class StatisticsStoreTest : public ::testing::Test {
 protected:
  StatisticsStoreTest() {
    dir_ = test::freshTestDirectory("zeb_store_test_");
    path_ = (dir_ / "stats.db").string();
  }
  ~StatisticsStoreTest() override { fs::remove_all(dir_); }

  // Adds an insert of a row; the texts live as long as the test.
  void insert(const std::string& branch, const std::string& origin, const std::string& dest,
              const std::string& date, double volume) {
    EmailChange change;
    const std::string* parts[] = {&keep(branch),
                                  &keep(origin),
                                  &keep(dest),
                                  &keep(date.substr(0, 4)),
                                  &keep(date.substr(4, 2)),
                                  &keep(date.substr(6, 2)),
                                  &keep("1\u00b0Bim"),
                                  &keep("1\u00b0Sem"),
                                  &keep("1\u00b0Tri")};
    for (std::size_t i = 0; i < kTextColumnCount; ++i) change.row.texts[i] = *parts[i];
    change.row.volume = volume;
    change.row.count = 1;
    batch_.changes.push_back(change);
  }
  const std::string& keep(std::string text) { return texts_.emplace_back(std::move(text)); }

  std::vector<std::string> list(const StatisticsStore& store, const RowFilter& filter = {}) {
    std::vector<std::string> lines;
    store.forEach(filter, [&](const EmailRow& r) {
      lines.push_back(std::string(r.texts[kCDFILIAL]) + " " + std::string(r.texts[kANETLEMAIL]) +
                      std::string(r.texts[kMEETLEMAIL]) + std::string(r.texts[kDIETLEMAIL]) + " " +
                      std::string(r.texts[kNMORIGEM]) + " " + std::string(r.texts[kNMDESTINO]) +
                      " " + std::to_string(static_cast<long long>(r.volume)));
    });
    return lines;
  }

  fs::path dir_;
  std::string path_;
  std::deque<std::string> texts_;
  EmailBatch batch_;
};

TEST_F(StatisticsStoreTest, ListsByBranchDateOriginAndDestination) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  insert("0002", "a@x.com", "b@x.com", "20250101", 1);
  insert("0001", "b@x.com", "a@x.com", "20251205", 2);
  insert("0001", "B@x.com", "0@x.com", "20251205", 3);
  insert("0001", "a@x.com", "z@x.com", "20251205", 4);
  insert("0001", "z@x.com", "a@x.com", "20251130", 5);
  Replacement none;
  store.apply(batch_, none);
  EXPECT_EQ(list(store), (std::vector<std::string>{
                             "0001 20251130 z@x.com a@x.com 5",
                             "0001 20251205 a@x.com z@x.com 4",
                             "0001 20251205 B@x.com 0@x.com 3",
                             "0001 20251205 b@x.com a@x.com 2",
                             "0002 20250101 a@x.com b@x.com 1",
                         }));
}

TEST_F(StatisticsStoreTest, FilterTakesOneBranchAndAnInclusivePeriod) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  for (const char* date : {"20251130", "20251201", "20251215", "20251231", "20260101"}) {
    insert("0001", "a@x.com", "b@x.com", date, 1);
    insert("0002", "a@x.com", "b@x.com", date, 2);
  }
  Replacement none;
  store.apply(batch_, none);
  RowFilter filter;
  filter.branch = "0002";
  filter.from = "20251201";
  filter.to = "20251231";
  EXPECT_EQ(list(store, filter), (std::vector<std::string>{"0002 20251201 a@x.com b@x.com 2",
                                                           "0002 20251215 a@x.com b@x.com 2",
                                                           "0002 20251231 a@x.com b@x.com 2"}));
}

TEST_F(StatisticsStoreTest, VolumesPastThe32BitRangeStayExact) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  insert("0001", "a@x.com", "b@x.com", "20251205", 9007199254740991.0);  // 2^53 - 1
  Replacement none;
  store.apply(batch_, none);
  EXPECT_EQ(list(store),
            std::vector<std::string>{"0001 20251205 a@x.com b@x.com 9007199254740991"});
}

TEST_F(StatisticsStoreTest, ReplacementIsRememberedOnlyWhenTheBatchCommits) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  insert("0001", "a@x.com", "b@x.com", "20251205", 1);
  insert("0001", "a@x.com", "b@x.com", "20251206", 1);
  Replacement replacement;
  replacement.from = "20251206";
  EXPECT_EQ(store.apply(batch_, replacement).replacedDays, 1u);
  EXPECT_EQ(replacement.replaced, (std::unordered_set<std::string>{dayKey("0001", "20251206")}));
}

TEST_F(StatisticsStoreTest, DayKeysOfDifferentBranchesNeverMeet) {
  EXPECT_NE(dayKey("12", "3"), dayKey("1", "23"));
}

TEST_F(StatisticsStoreTest, ReadOnlyNeedsAnExistingDatabase) {
  try {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadOnly);
    FAIL() << "opened";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Database '" + path_ + "': cannot open it: unable to open database file");
  }
}

TEST_F(StatisticsStoreTest, ReadOnlyNeedsTheStatisticsTable) {
  { std::ofstream(path_) << ""; }  // an empty file is an empty database
  try {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadOnly);
    FAIL() << "opened";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Database '" + path_ +
                                         "': reading the table estatistica_email: no such table: "
                                         "estatistica_email");
  }
}

TEST_F(StatisticsStoreTest, ReadOnlyRefusesToStore) {
  { StatisticsStore created(path_, StatisticsStore::Mode::kReadWrite); }
  StatisticsStore store(path_, StatisticsStore::Mode::kReadOnly);
  Replacement none;
  EXPECT_THROW(store.apply(batch_, none), platform::Exception);
}

// --- Accepted batches ---------------------------------------------------------------------

// Accepts a batch as the server does: the SetEmail params text, decoded.
ApplyCounts accept(StatisticsStore& store, const std::vector<test::json>& changes,
                   Replacement& replacement) {
  std::string text = test::json::array({test::deltaOf(test::json(changes))}).dump();
  EmailBatch batch;
  decodeSetEmailParams(text, batch);
  return store.accept(batch, replacement);
}

TEST_F(StatisticsStoreTest, AcceptedBatchesAreMergedInTheOrderAccepted) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  Replacement replacement;
  replacement.from = "20251205";
  test::json a = test::statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 100, 1);
  test::json a2 = test::statRow("0001", "A@X.com", "b@x.com", "2025-12-05", 300, 2);
  test::json c = test::statRow("0001", "c@x.com", "b@x.com", "2025-12-06", 5, 1);
  ApplyCounts first = accept(store, {test::insertChange(a), test::insertChange(c)}, replacement);
  EXPECT_EQ(first.inserted, 2u);
  EXPECT_EQ(first.replacedDays, 2u);
  ApplyCounts second =
      accept(store, {test::updateChange(a, a2), test::deleteChange(c)}, replacement);
  EXPECT_EQ(second.updated, 1u);
  EXPECT_EQ(second.deleted, 1u);
  EXPECT_EQ(second.replacedDays, 0u);
  EXPECT_EQ(list(store), std::vector<std::string>{"0001 20251205 A@X.com b@x.com 300"});
}

// The merger folds many batches into one write. Whatever rounds it makes, the table must end as
// applying every change in order would leave it: random batches from several sessions, over few
// keys written in varying letter case, with updates that move rows and days replaced anew,
// checked against a map that applies them one by one. Now and then the table refuses writes for
// a while: the rounds then in hand go back to the queue and are merged, in order, once it takes
// them again.
TEST_F(StatisticsStoreTest, MergeAgreesWithApplyingEveryChangeInOrder) {
  using Key = std::tuple<std::string, std::string, std::string, std::string>;
  std::map<Key, test::json> model;  // the rows stored, by key
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  auto dateOf = [](const test::json& row) {
    return row[3].get<std::string>() + row[4].get<std::string>() + row[5].get<std::string>();
  };
  auto keyOf = [&](const test::json& row) {
    return Key{row[0], dateOf(row), lower(row[1]), lower(row[2])};
  };
  auto expected = [&] {
    std::vector<std::string> lines;
    for (const auto& [key, row] : model) {
      lines.push_back(row[0].get<std::string>() + " " + dateOf(row) + " " +
                      row[1].get<std::string>() + " " + row[2].get<std::string>() + " " +
                      std::to_string(row[9].get<long long>()));
    }
    return lines;
  };

  std::mt19937 random(18000);
  auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  auto chance = [&](int percent) {
    return std::uniform_int_distribution<int>(0, 99)(random) < percent;
  };
  const std::vector<std::string> branches = {"0001", "0002"};
  const std::vector<std::string> dates = {"2025-12-04", "2025-12-05", "2025-12-06"};
  const std::vector<std::string> origins = {"a@x.com", "A@x.com", "b@x.com", "B@X.COM"};
  const std::vector<std::string> destinations = {"c@x.com", "C@x.com", "d@x.com"};
  const std::vector<std::string> marks = {"", "20251204", "20251205", "20251206"};
  long long serial = 0;
  // A new row, or one stored now: as it is (a day replaced by the same rows keeps them), or
  // with other letter case (which must be written over the stored one).
  auto randomRow = [&] {
    if (!model.empty() && chance(40)) {
      auto at = model.begin();
      std::advance(at, std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(random));
      test::json again = at->second;
      if (chance(30)) again[2] = std::string(again[2]) == lower(again[2]) ? "C@x.com" : "c@x.com";
      return again;
    }
    return test::statRow(pick(branches), pick(origins), pick(destinations), pick(dates),
                         static_cast<double>(++serial), 1);
  };

  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  Replacement sessions[3];
  for (int b = 0; b < 400; ++b) {
    Replacement& session = sessions[std::uniform_int_distribution<int>(0, 2)(random)];
    if (chance(5)) session = Replacement{pick(marks), {}};  // SetDelEmail: a new import
    std::vector<test::json> changes;
    int count = std::uniform_int_distribution<int>(1, 12)(random);
    for (int c = 0; c < count; ++c) {
      test::json old = randomRow();
      test::json row = randomRow();
      if (chance(50)) {  // the same key, written another way
        row[1] = lower(old[1]);
        for (int i : {0, 2, 3, 4, 5, 6, 7, 8}) row[i] = old[i];
      }
      int op = std::uniform_int_distribution<int>(0, 2)(random);
      changes.push_back(op == 0   ? test::insertChange(row)
                        : op == 1 ? test::updateChange(old, row)
                                  : test::deleteChange(old));
    }
    // A batch that the table refuses stores a row whatever its other changes do.
    bool refuse = b % 50 == 25;
    if (refuse) {
      changes.push_back(test::insertChange(
          test::statRow("0001", "r@x.com", "c@x.com", "2025-12-05", ++serial, 1)));
    }
    // The model: the days first met on or after the mark lose their rows, then each change.
    if (!session.from.empty()) {
      for (const test::json& change : changes) {
        for (const char* part : {"old", "row"}) {
          if (!change.contains(part)) continue;
          const test::json& r = change[part];
          std::string key = dayKey(r[0].get<std::string>(), dateOf(r));
          if (dateOf(r) < session.from || session.replaced.count(key) != 0) continue;
          std::erase_if(model, [&](const auto& entry) {
            return std::get<0>(entry.first) == r[0] && std::get<1>(entry.first) == dateOf(r);
          });
        }
      }
    }
    for (const test::json& change : changes) {
      if (change.contains("old")) model.erase(keyOf(change["old"]));
      if (change.contains("row")) model[keyOf(change["row"])] = change["row"];
    }
    if (refuse) {
      test::execOn(path_,
                   "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email"
                   " BEGIN SELECT RAISE(ABORT, 'refused here'); END");
    }
    accept(store, changes, session);
    if (refuse) {
      // More batches queue up behind the refused ones; the row's last volume tells whether
      // they were merged in order.
      test::json refused = changes.back()["row"];
      for (int more = 0; more < 40; ++more) {
        test::json next = refused;
        next[9] = static_cast<double>(++serial);
        accept(store, {test::updateChange(refused, next)}, session);
        model[keyOf(next)] = next;
        refused = next;
      }
      EXPECT_ANY_THROW(list(store)) << "after batch " << b;
      test::execOn(path_, "DROP TRIGGER refuse");
    }
    // Reading waits for the merger: rounds of every size, each checked.
    if (chance(5)) {
      ASSERT_EQ(list(store), expected()) << "after batch " << b;
    }
  }
  EXPECT_EQ(list(store), expected());
}

// A round that the table refuses goes back to the front of the queue, ahead of the batches
// accepted meanwhile: once the table takes them, they are merged in order. Each batch moves one
// row to the next day, so a batch merged out of turn leaves a second row.
TEST_F(StatisticsStoreTest, RefusedRoundsAreMergedAgainInOrder) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  // Slow to refuse, so that batches queue up behind the refused round meanwhile.
  test::execOn(path_,
               "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email BEGIN"
               " SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL"
               " SELECT x + 1 FROM c WHERE x < 1000000) SELECT x FROM c);"
               " SELECT RAISE(ABORT, 'refused here'); END");
  auto dateOf = [](int day) {
    int d = 1 + day % 30;
    return std::string(day < 30 ? "2025-11-" : "2025-12-") + (d < 10 ? "0" : "") +
           std::to_string(d);
  };
  Replacement none;
  test::json row = test::statRow("0001", "a@x.com", "b@x.com", dateOf(0), 0, 1);
  accept(store, {test::insertChange(row)}, none);
  for (int day = 1; day < 60; ++day) {
    test::json next = test::statRow("0001", "a@x.com", "b@x.com", dateOf(day), day, 1);
    accept(store, {test::updateChange(row, next)}, none);
    row = next;
  }
  EXPECT_ANY_THROW(list(store));
  test::execOn(path_, "DROP TRIGGER refuse");
  EXPECT_EQ(list(store), std::vector<std::string>{"0001 20251230 a@x.com b@x.com 59"});
}

// Imports of one branch that overlap in time end as if they had run one after another, in the
// order they marked their dates, whatever order their batches come in; and the batches kept
// (a part of one dropped) survive a restart as they were taken.
TEST_F(StatisticsStoreTest, OverlappingImportsOfOneBranchEndAsIfRunInTurn) {
  auto row = [](const char* origin, const char* date, double volume) {
    return test::statRow("0001", origin, "b@x.com", date, volume, 1);
  };
  // The first import carries days 05 and 06 (06 over two batches); the second 06 and 07. Both
  // replace stored rows of those days; the other branch's day 06 is nobody's to take.
  const std::vector<std::vector<test::json>> first = {
      {test::insertChange(row("a1@x.com", "2025-12-05", 1)),
       test::insertChange(row("a2@x.com", "2025-12-06", 2))},
      {test::updateChange(row("a2@x.com", "2025-12-06", 2), row("a2@x.com", "2025-12-06", 3)),
       test::insertChange(row("a3@x.com", "2025-12-06", 4))}};
  const std::vector<std::vector<test::json>> second = {
      {test::insertChange(row("b1@x.com", "2025-12-06", 5))},
      {test::insertChange(row("b2@x.com", "2025-12-07", 6))}};
  const std::vector<std::string> inTurn = {
      "0001 20251205 a1@x.com b@x.com 1", "0001 20251206 b1@x.com b@x.com 5",
      "0001 20251207 b2@x.com b@x.com 6", "0002 20251206 o@x.com b@x.com 9"};
  // The order the batches reach the server: 'a' the first import's next, 'b' the second's.
  for (std::string order : {"aabb", "bbaa", "abab", "baba", "abba", "baab"}) {
    for (bool restart : {false, true}) {
      fs::remove_all(dir_);
      fs::create_directories(dir_);
      {
        StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
        Replacement none;
        accept(
            store,
            {test::insertChange(row("old@x.com", "2025-12-06", 7)),
             test::insertChange(row("old@x.com", "2025-12-07", 8)),
             test::insertChange(test::statRow("0002", "o@x.com", "b@x.com", "2025-12-06", 9, 1))},
            none);
        store.flush();
        // Left unmerged, the batches are read back from the pending file by the next start.
        if (restart) {
          test::execOn(path_,
                       "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email"
                       " BEGIN SELECT RAISE(ABORT, 'refused here'); END");
        }
        Replacement a{"20251205", {}, store.nextTicket()};
        Replacement b{"20251206", {}, store.nextTicket()};
        std::size_t nextA = 0, nextB = 0;
        for (char who : order) {
          if (who == 'a') accept(store, first[nextA++], a);
          if (who == 'b') accept(store, second[nextB++], b);
        }
        if (!restart) {
          EXPECT_EQ(list(store), inTurn) << order;
        }
      }
      if (restart) test::execOn(path_, "DROP TRIGGER refuse");
      StatisticsStore reopened(path_, StatisticsStore::Mode::kReadWrite);
      EXPECT_EQ(list(reopened), inTurn) << order << (restart ? ", read back" : "");
    }
  }
}

// What a process accepted and did not merge before it ended is merged by whichever process
// opens the database next: a server, or a reader. A record that a crash cut short at the end
// of the pending file is dropped, and later batches are written in its place. A record that an
// earlier version wrote (the delta text instead of the compact form) is merged alike.
class StatisticsStoreRecoveryTest : public StatisticsStoreTest,
                                    public ::testing::WithParamInterface<StatisticsStore::Mode> {};

TEST_P(StatisticsStoreRecoveryTest, MergesWhatWasAcceptedAndLeftUnmerged) {
  test::json a = test::statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 100, 1);
  test::json z = test::statRow("0001", "z@x.com", "b@x.com", "2025-12-05", 7, 1);
  {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
    test::execOn(path_,
                 "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email"
                 " BEGIN SELECT RAISE(ABORT, 'refused here'); END");
    Replacement replacement;
    replacement.from = "20251205";
    accept(store, {test::insertChange(a)}, replacement);
    accept(store, {test::insertChange(z)}, replacement);
    EXPECT_THROW(store.flush(), platform::Exception);
  }  // ends with both batches unmerged
  test::execOn(path_, "DROP TRIGGER refuse");
  {
    // A record as earlier versions wrote it (the delta text as it came), then a torn one.
    std::string delta = test::json::array({test::deltaOf(test::json({test::insertChange(
                                              test::statRow("0001", "m@x.com", "b@x.com",
                                                            "2025-12-05", 5, 1))}))})
                            .dump();
    std::int64_t seq = 3;
    std::uint32_t noDays = 0, zero = 0;
    std::uint64_t length = delta.size();
    std::ofstream pending(path_ + "-pending", std::ios::app | std::ios::binary);
    pending << "ZBP1";
    pending.write(reinterpret_cast<const char*>(&noDays), 4);
    pending.write(reinterpret_cast<const char*>(&seq), 8);
    pending.write(reinterpret_cast<const char*>(&length), 8);
    pending << delta;
    pending.write(reinterpret_cast<const char*>(&seq), 8);
    pending << "ZBPE";
    pending.write(reinterpret_cast<const char*>(&zero), 4);
    pending << "ZBP1 torn";
  }

  std::vector<std::string> merged = {"0001 20251205 a@x.com b@x.com 100",
                                     "0001 20251205 m@x.com b@x.com 5",
                                     "0001 20251205 z@x.com b@x.com 7"};
  {
    StatisticsStore store(path_, GetParam());
    EXPECT_EQ(list(store), merged);
  }
  // Merged once: opening again changes nothing, and new batches are numbered after them.
  for (const char* origin : {"n@x.com", "o@x.com"}) {
    StatisticsStore writer(path_, StatisticsStore::Mode::kReadWrite);
    Replacement none;
    accept(writer,
           {test::insertChange(test::statRow("0001", origin, "b@x.com", "2025-12-05", 1, 1))},
           none);
    merged.insert(merged.end() - 1, "0001 20251205 " + std::string(origin) + " b@x.com 1");
    EXPECT_EQ(list(writer), merged);
  }
}

INSTANTIATE_TEST_SUITE_P(StatisticsStoreTest, StatisticsStoreRecoveryTest,
                         ::testing::Values(StatisticsStore::Mode::kReadOnly,
                                           StatisticsStore::Mode::kReadWrite),
                         [](const auto& info) {
                           return info.param == StatisticsStore::Mode::kReadOnly ? "by_a_reader"
                                                                                 : "by_a_server";
                         });

// A batch once accepted survives a crash of the process before the merger has it in the table:
// the merger holds the batches of the day an import is still sending (see batch_merger.cpp),
// so a process killed right after accepting leaves them in the pending file only.
TEST_F(StatisticsStoreTest, BatchesAcceptedAndNotMergedSurviveAKill) {
  std::vector<std::string> rows;
  std::vector<std::vector<test::json>> batches;
  for (int b = 0; b < 3; ++b) {
    std::vector<test::json> changes;
    for (int r = 0; r < 2; ++r) {
      std::string origin = "s" + std::to_string(b) + std::to_string(r) + "@x.com";
      changes.push_back(
          test::insertChange(test::statRow("0001", origin, "b@x.com", "2025-12-05", b, 1)));
      rows.push_back("0001 20251205 " + origin + " b@x.com " + std::to_string(b));
    }
    batches.push_back(changes);
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
    Replacement replacement;
    replacement.from = "20251201";
    for (const auto& changes : batches) accept(store, changes, replacement);
    char done = 1;
    if (::write(ready[1], &done, 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char done = 0;
  EXPECT_EQ(::read(ready[0], &done, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_GT(fs::file_size(path_ + "-pending"), 0u) << "the merger finished before the kill";

  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
  EXPECT_EQ(list(store), rows);
}

// The table's layout as servers have written it: a database from before opens as it is, keeps
// its rows and numbers new batches after the last one it merged.
TEST_F(StatisticsStoreTest, ADatabaseWrittenBeforeOpensWithItsRows) {
  test::execOn(path_,
               "CREATE TABLE estatistica_email (CDFILIAL TEXT NOT NULL,"
               " NMORIGEM TEXT NOT NULL COLLATE NOCASE, NMDESTINO TEXT NOT NULL COLLATE NOCASE,"
               " ANETLEMAIL TEXT NOT NULL, MEETLEMAIL TEXT NOT NULL, DIETLEMAIL TEXT NOT NULL,"
               " BIETLEMAIL TEXT NOT NULL, SEETLEMAIL TEXT NOT NULL, TRETLEMAIL TEXT NOT NULL,"
               " VRVOLDADOS REAL NOT NULL, QTEMAIL REAL NOT NULL, PRIMARY KEY (CDFILIAL,"
               " ANETLEMAIL, MEETLEMAIL, DIETLEMAIL, NMORIGEM, NMDESTINO)) WITHOUT ROWID;"
               "CREATE TABLE merge_state (id INTEGER PRIMARY KEY CHECK (id = 1),"
               " merged_through INTEGER NOT NULL);"
               "INSERT INTO merge_state VALUES (1, 41);"
               "INSERT INTO estatistica_email VALUES ('0001', 'Old@x.com', 'b@x.com', '2025',"
               " '12', '05', '6°Bim', '2°Sem', '4°Tri', 7, 1)");
  {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
    Replacement replacement;
    replacement.from = "20251206";
    accept(store,
           {test::insertChange(test::statRow("0001", "old@x.com", "b@x.com", "2025-12-05", 9, 2)),
            test::insertChange(test::statRow("0001", "new@x.com", "b@x.com", "2025-12-06", 3, 1))},
           replacement);
    EXPECT_EQ(list(store), (std::vector<std::string>{"0001 20251205 old@x.com b@x.com 9",
                                                     "0001 20251206 new@x.com b@x.com 3"}));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* merged = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT merged_through FROM merge_state", -1, &merged, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(merged), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(merged, 0), 42);
  sqlite3_finalize(merged);
  // Adopted: the version of its layout is recorded from now on.
  sqlite3_stmt* version = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT version FROM schema_version", -1, &version, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(version), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(version, 0), 1);
  sqlite3_finalize(version);
  sqlite3_close(db);
}

// A server that is never quiet still keeps its pending file small: past the limit, a batch
// waits for the merge and the file is emptied before it is written.
TEST_F(StatisticsStoreTest, PendingFileStaysWithinItsLimit) {
  StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite, 1);
  Replacement replacement;
  replacement.from = "20251205";
  std::vector<std::string> expected;
  std::uintmax_t largest = 0;
  for (int i = 0; i < 5; ++i) {
    std::string origin = "s" + std::to_string(i) + "@x.com";
    accept(store,
           {test::insertChange(test::statRow("0001", origin, "b@x.com", "2025-12-05", i, 1))},
           replacement);
    expected.push_back("0001 20251205 " + origin + " b@x.com " + std::to_string(i));
    largest = std::max(largest, fs::file_size(path_ + "-pending"));
  }
  // One record at most (a batch of one row is well under 2 KB); five would pass that.
  EXPECT_LT(largest, 2000u);
  EXPECT_EQ(list(store), expected);
}

TEST_F(StatisticsStoreTest, OneServerAtATimeUsesADatabase) {
  StatisticsStore first(path_, StatisticsStore::Mode::kReadWrite);
  try {
    StatisticsStore second(path_, StatisticsStore::Mode::kReadWrite);
    FAIL() << "opened twice";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(std::string(e.what()), "locking the pending file '" + path_ +
                                         "-pending' failed: another server is using the database");
    EXPECT_EQ(e.path(), path_ + "-pending");
    EXPECT_EQ(e.osError(), EWOULDBLOCK);
  }
  StatisticsStore reader(path_, StatisticsStore::Mode::kReadOnly);  // readers are welcome
}

// Batch numbers go on after a restart, although the merged batches have left the pending file
// (and the file itself is gone): a new batch taken for one merged already would be lost.
TEST_F(StatisticsStoreTest, NumbersGoOnAfterARestart) {
  Replacement none;
  for (int run = 0; run < 3; ++run) {
    StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
    std::string origin = "run" + std::to_string(run) + "@x.com";
    accept(store,
           {test::insertChange(test::statRow("0001", origin, "b@x.com", "2025-12-05", 1, 1))},
           none);
  }
  // Each stop merged everything and removed the pending file: the numbers live on in the table.
  EXPECT_FALSE(fs::exists(path_ + "-pending"));
  StatisticsStore store(path_, StatisticsStore::Mode::kReadOnly);
  EXPECT_EQ(list(store), (std::vector<std::string>{"0001 20251205 run0@x.com b@x.com 1",
                                                   "0001 20251205 run1@x.com b@x.com 1",
                                                   "0001 20251205 run2@x.com b@x.com 1"}));
}

// --- Readers and copies -------------------------------------------------------------------

// Where a server that wrote the database stands when a reader comes.
enum class ServerEnd { kStopped, kRunning, kKilled };

void PrintTo(ServerEnd end, std::ostream* os) {
  *os << (end == ServerEnd::kStopped   ? "stopped"
          : end == ServerEnd::kRunning ? "running"
                                       : "killed");
}

class StatisticsStoreReaderTest : public StatisticsStoreTest,
                                  public ::testing::WithParamInterface<ServerEnd> {
 protected:
  // A server in a child process accepts two batches and merges them, then accepts
  // "pendingBatches" more; then it stops, or waits to be killed. Answers its process id once it
  // has accepted them all, or 0 once it has stopped.
  pid_t serve(int pendingBatches) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
      {
        StatisticsStore store(path_, StatisticsStore::Mode::kReadWrite);
        Replacement none;
        for (int b = 0; b < 2 + pendingBatches; ++b) {
          if (b == 2) store.flush();  // the batches after it are accepted and left pending
          std::string origin = "s" + std::to_string(b) + "@example.com";
          accept(store,
                 {test::insertChange(
                     test::statRow("0001", origin, "b@example.org", "2025-12-05", b, 1))},
                 none);
        }
        if (pendingBatches == 0) store.flush();
        if (GetParam() != ServerEnd::kStopped) {
          char done = 1;
          if (::write(ready[1], &done, 1) != 1) ::_exit(1);
          for (;;) ::pause();
        }
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    char done = 0;
    bool running = ::read(ready[0], &done, 1) == 1;  // end of file: it has stopped
    ::close(ready[0]);
    if (!running) ::waitpid(child, nullptr, 0);
    for (int b = 0; b < 2 + pendingBatches; ++b) {
      std::string origin = "s" + std::to_string(b) + "@example.com";
      expected_.push_back("0001 20251205 " + origin + " b@example.org " + std::to_string(b));
    }
    return running ? child : 0;
  }

  static void end(pid_t server) {
    if (server == 0) return;
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
  }

  // The rows as a reader sees them who may write none of the database's directory and files and
  // read only what others may (nobody, when the test runs as root), or the reader's failure.
  std::string readAsOutsider(const fs::path& dir) {
    std::vector<std::pair<fs::path, fs::perms>> saved;
    for (const auto& entry : fs::directory_iterator(dir)) {
      saved.emplace_back(entry.path(), entry.status().permissions());
      fs::permissions(entry.path(), entry.status().permissions() &
                                        ~(fs::perms::owner_write | fs::perms::group_write |
                                          fs::perms::others_write));
    }
    fs::permissions(dir, fs::perms(0555));
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    pid_t child = ::fork();
    if (child == 0) {
      ::close(out[0]);
      std::string seen;
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
      try {
        StatisticsStore store((dir / "stats.db").string(), StatisticsStore::Mode::kReadOnly);
        for (const std::string& line : list(store)) seen += line + "\n";
      } catch (const std::exception& e) {
        seen = std::string("failed: ") + e.what();
      }
      if (::write(out[1], seen.data(), seen.size()) < 0) ::_exit(1);
      ::_exit(0);
    }
    ::close(out[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, n);
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    fs::permissions(dir, fs::perms(0755));
    for (const auto& [path, perms] : saved) fs::permissions(path, perms);
    return seen;
  }

  std::string expected() const {
    std::string all;
    for (const std::string& line : expected_) all += line + "\n";
    return all;
  }

  std::vector<std::string> expected_;
};

// Whoever may read a database lists it whenever nothing is pending: after a clean stop, while a
// server runs with everything merged, and after a crash that left nothing unmerged.
TEST_P(StatisticsStoreReaderTest, ReaderWithoutTheRightToWriteListsTheRows) {
  pid_t server = serve(0);
  if (GetParam() == ServerEnd::kKilled) end(server);
  EXPECT_EQ(readAsOutsider(dir_), expected());
  end(server);
}

// A copy of a database holds every batch that was answered when it is taken as the README
// says: the file alone after a clean stop; the file with its -wal and -pending files beside it
// after a crash.
TEST_P(StatisticsStoreReaderTest, CopyOfTheNamedFilesHoldsEveryAcceptedBatch) {
  if (GetParam() == ServerEnd::kRunning) GTEST_SKIP() << "files are copied once the server is gone";
  end(serve(2));
  fs::path copy = dir_ / "copy";
  fs::create_directories(copy);
  std::vector<std::string> files;
  for (const char* suffix : {"", "-wal", "-pending", "-shm"}) {
    if (!fs::exists(path_ + suffix)) continue;
    files.push_back(std::string("stats.db") + suffix);
    if (std::string_view(suffix) != "-shm") fs::copy_file(path_ + suffix, copy / files.back());
  }
  if (GetParam() == ServerEnd::kStopped) {
    EXPECT_EQ(files, std::vector<std::string>{"stats.db"});
  }
  { StatisticsStore opened((copy / "stats.db").string(), StatisticsStore::Mode::kReadOnly); }
  EXPECT_EQ(readAsOutsider(copy), expected());
}

INSTANTIATE_TEST_SUITE_P(StatisticsStoreTest, StatisticsStoreReaderTest,
                         ::testing::Values(ServerEnd::kStopped, ServerEnd::kRunning,
                                           ServerEnd::kKilled),
                         [](const auto& info) {
                           switch (info.param) {
                             case ServerEnd::kStopped:
                               return "after_a_clean_stop";
                             case ServerEnd::kRunning:
                               return "while_the_server_runs";
                             default:
                               return "after_a_crash";
                           }
                         });

}  // namespace
}  // namespace zeb::server
