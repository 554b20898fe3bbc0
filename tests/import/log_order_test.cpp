#include "import/log_order.h"

#include <gtest/gtest.h>

#include <string>

namespace zeb::import {
namespace {

// 2026-01-03 12:00 UTC: the modification time of the logs below, unless a case says otherwise.
constexpr std::time_t kJan3 = 1767441600;

LogStamp at(int year, int month, int day, int hour, int minute, int second, int micro = 0) {
  std::string line = std::to_string(year) + "-" + (month < 10 ? "0" : "") + std::to_string(month) +
                     "-" + (day < 10 ? "0" : "") + std::to_string(day) + "T" +
                     (hour < 10 ? "0" : "") + std::to_string(hour) + ":" +
                     (minute < 10 ? "0" : "") + std::to_string(minute) + ":" +
                     (second < 10 ? "0" : "") + std::to_string(second);
  LogStamp stamp = *firstStamp(line, kJan3);
  return stamp + micro;
}

TEST(log_order_test, the_first_stamped_line_gives_the_stamp) {
  struct Case {
    const char* name;
    std::string head;
    std::optional<LogStamp> stamp;
  };
  const Case cases[] = {
      {"classic, this year", "Jan  2 08:00:00 mx postfix/qmgr[1]: x", at(2026, 1, 2, 8, 0, 0)},
      {"classic on the day of the change", "Jan  3 23:00:00 mx x", at(2026, 1, 3, 23, 0, 0)},
      {"classic, after the change: last year", "Dec 28 10:00:00 mx x", at(2025, 12, 28, 10, 0, 0)},
      {"classic, zero-padded day, any case", "DEC 05 10:00:00 mx x", at(2025, 12, 5, 10, 0, 0)},
      {"RFC 3339 with fraction and offset", "2026-12-05T12:34:56.123+01:00 mx x",
       at(2026, 12, 5, 12, 34, 56, 123000)},
      {"RFC 3339 in UTC", "2024-02-29T00:00:00Z mx x", at(2024, 2, 29, 0, 0, 0)},
      {"after lines without a stamp", "\n-- rotated --\nDec 31 23:59:59 mx x\n",
       at(2025, 12, 31, 23, 59, 59)},
      {"no stamp", "mx postfix: Dec  5 10:00:00\n", std::nullopt},
      {"a month that is none", "Dez  5 10:00:00 mx x", std::nullopt},
      {"a time that is none", "2026-12-05T25:00:00Z", std::nullopt},
      {"a blank before the stamp", " Dec  5 10:00:00 mx x", std::nullopt},
      {"past the lines searched", std::string(kStampSearchLines, '\n') + "Dec  5 10:00:00 x",
       std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(firstStamp(c.head, kJan3), c.stamp) << c.name;
}

TEST(log_order_test, stamped_logs_are_sorted_among_their_places_and_the_others_stay) {
  const LogStamp dec28 = at(2025, 12, 28, 0, 0, 0), jan1 = at(2026, 1, 1, 0, 0, 0),
                 jan2 = at(2026, 1, 2, 0, 0, 0);
  struct Case {
    std::vector<std::optional<LogStamp>> stamps;
    std::vector<std::size_t> order;
  };
  const Case cases[] = {
      {{jan2, jan1, dec28}, {2, 1, 0}},
      {{jan2, std::nullopt, dec28}, {2, 1, 0}},
      {{std::nullopt, jan2, dec28, std::nullopt}, {0, 2, 1, 3}},
      {{jan1, jan1, dec28}, {2, 0, 1}},  // equal stamps keep their given order
      {{std::nullopt, std::nullopt}, {0, 1}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readingOrder(c.stamps), c.order) << testing::PrintToString(c.order);
  }
}

}  // namespace
}  // namespace zeb::import
