#include "server/net_changes.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <deque>
#include <string>
#include <vector>

namespace zeb::server {
namespace {

using namespace std::string_literals;

// The rows that NetChanges stores must come in the order of the table's key and collapse where
// the table takes two keys for one: both as SQLite itself sees them. Addresses that share long
// beginnings, differ in letter case or only past a NUL, or hold bytes next to the letters.
TEST(NetChangesTest, RowsComeInTheTableKeyOrderOnePerKey) {
  const std::vector<std::string> origins = {"a@x.com",
                                            "A@X.COM",
                                            "b@x.com",
                                            "lucia.schmidt@suedstar-handel.example.com",
                                            "lucia.schmidt@suedstar-handel.example.org",
                                            "LUCIA.SCHMIDT@suedstar-handel.example.com.br",
                                            "lucia.schmidt@suedstar-handel",
                                            "[@x.com",
                                            "_@x.com",
                                            "Z@x.com",
                                            "\xc3\xa9@x.com",
                                            "\xc3\x89@x.com",
                                            "ab\0x"s,
                                            "ab\0y"s,
                                            "ab"};
  const std::vector<std::string> destinations = {
      "d@x.com", "D@x.com", "newsletter@shop.example.com.br", "newsletter@shop.example.com", ""};
  std::deque<std::string> texts;
  auto keep = [&](std::string text) -> std::string_view { return texts.emplace_back(text); };
  EmailBatch batch;
  double serial = 0;
  for (const char* date : {"20251206", "20251205"}) {
    for (const char* branch : {"0002", "0001", "001"}) {
      for (const std::string& origin : origins) {
        for (const std::string& destination : destinations) {
          EmailChange& change = batch.changes.emplace_back();
          std::string d = date;
          change.row.texts = {keep(branch),         keep(origin),         keep(destination),
                              keep(d.substr(0, 4)), keep(d.substr(4, 2)), keep(d.substr(6, 2)),
                              keep("6\u00b0Bim"),   keep("2\u00b0Sem"),   keep("4\u00b0Tri")};
          change.row.volume = ++serial;
        }
      }
    }
  }
  NetChanges net;
  net.add("", batch);
  net.settle();
  std::vector<double> ours;
  for (const EmailRow* row : net.rows()) ours.push_back(row->volume);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE t (b TEXT, o TEXT COLLATE NOCASE, d TEXT COLLATE NOCASE,"
                         " y TEXT, m TEXT, dd TEXT, v REAL, PRIMARY KEY (b, y, m, dd, o, d))"
                         " WITHOUT ROWID",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES (?, ?, ?, ?, ?, ?, ?)", -1,
                               &insert, nullptr),
            SQLITE_OK);
  for (const EmailChange& change : batch.changes) {
    const EmailRow& row = change.row;
    int column = 1;
    for (Column c : {kCDFILIAL, kNMORIGEM, kNMDESTINO, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL}) {
      sqlite3_bind_text(insert, column++, row.texts[c].data(),
                        static_cast<int>(row.texts[c].size()), SQLITE_STATIC);
    }
    sqlite3_bind_double(insert, column, row.volume);
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  std::vector<double> theirs;
  sqlite3_stmt* select = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT v FROM t ORDER BY b, y, m, dd, o, d", -1, &select, nullptr),
      SQLITE_OK);
  while (sqlite3_step(select) == SQLITE_ROW) theirs.push_back(sqlite3_column_double(select, 0));
  sqlite3_finalize(select);
  sqlite3_close(db);

  EXPECT_EQ(ours, theirs);
  EXPECT_LT(theirs.size(), batch.changes.size());  // some keys were one key to SQLite
}

}  // namespace
}  // namespace zeb::server
