#include "server/statistics_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/core/exceptions.h"
#include "server_test_support.h"
namespace zeb::server {
namespace {

namespace fs = std::filesystem;

class StatisticsStoreTest : public ::testing::Test {
 protected:
  StatisticsStoreTest() {
    dir_ = fs::temp_directory_path() /
           ("zeb_store_test_" + std::to_string(::getpid()) + "_" + test::testDirectoryName());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
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

}  // namespace
}  // namespace zeb::server
