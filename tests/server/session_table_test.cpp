#include "server/session_table.h"

#include <gtest/gtest.h>

namespace zeb::server {
namespace {

using std::chrono::minutes;

class SessionTableTest : public ::testing::Test {
 protected:
  SessionTable::Clock::time_point base_ = SessionTable::Clock::now();
  minutes elapsed_{0};
  SessionTable table_{minutes(60), [this] { return base_ + elapsed_; }};
};

TEST_F(SessionTableTest, SameIdGivesTheSameSessionWhileItIsUsed) {
  auto first = table_.touch("a");
  first->replacement.from = "20251205";
  for (int i = 0; i < 5; ++i) {
    elapsed_ += minutes(50);  // each call keeps it alive
    EXPECT_EQ(table_.touch("a"), first);
  }
  EXPECT_NE(table_.touch("b"), first);
}

TEST_F(SessionTableTest, QuietSessionsAreDroppedFromTheTable) {
  table_.touch("a");
  table_.touch("b");
  elapsed_ = minutes(30);
  table_.touch("b");
  elapsed_ = minutes(80);
  table_.touch("c");
  EXPECT_EQ(table_.size(), 2u);  // "a" has gone; "b" (quiet for 50 minutes) and "c" are left
}

}  // namespace
}  // namespace zeb::server
