// Reading the stored statistics from the application server, a page at a time, as the hosts
// show and list them. Goes through the server's GetEmailStats, never the database file, so the
// same code serves a remote server and the embedded one.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/net/net_connection.h"
#include "server/email_layout.h"

namespace zeb::hosting {

struct StatsRange {
  std::string branch;  // empty: every branch
  std::string from;    // "YYYY-MM-DD", inclusive
  std::string to;      // "YYYY-MM-DD", inclusive
};

// One stored row, owning its texts (cdsDados order).
struct StatsRow {
  std::array<std::string, server::kTextColumnCount> texts;
  double volume = 0;  // VRVOLDADOS
  double count = 0;   // QTEMAIL

  // A view for the listings; valid while this row lives unchanged.
  server::EmailRow view() const;
};

struct StatsDay {
  std::string date;  // "YYYY-MM-DD"
  double messages = 0;
  double bytes = 0;
};

struct StatsTotals {
  std::int64_t rows = 0;
  double messages = 0;
  double bytes = 0;
};

// Walks the range's pages in the server's order. The first page brings the totals and the
// per-day sums of the whole range.
class StatsReader {
 public:
  static constexpr int kDefaultPageSize = 2000;

  // "connection" must stay live, and be used by this thread only, while the reader is in use.
  StatsReader(platform::net::TNetConnection& connection, StatsRange range,
              int pageSize = kDefaultPageSize);

  // Appends the next page's rows to "rows"; false, appending nothing, once every page was
  // read. Raises EServerError with the server's code and message when the server refuses
  // the query ("GetEmailStats failed: GetEmailStats: 'from' must be a date ..."), and as
  // TNetConnection::call() does when it cannot be reached; the reader is then where it was.
  bool fetchMore(std::vector<StatsRow>& rows);
  bool atEnd() const { return atEnd_; }

  // Known once the first page is read.
  const StatsTotals& totals() const { return totals_; }
  const std::vector<StatsDay>& days() const { return days_; }

 private:
  platform::net::TNetConnection& connection_;
  StatsRange range_;
  int pageSize_;
  nlohmann::json after_;  // null before the first page
  bool atEnd_ = false;
  StatsTotals totals_;
  std::vector<StatsDay> days_;
};

}  // namespace zeb::hosting
