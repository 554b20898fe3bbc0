#include "import/content_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/line_parser.h"
#include "platform/core/exceptions.h"

namespace zeb::import {
namespace {

struct RelayCase {
  const char* rest;  // a delivery line after its recipient address
  bool handOver;
};

TEST(ContentFiltersTest, a_relay_is_a_filter_by_name_or_address_and_port) {
  const ContentFilters filters({"127.0.0.1:10024", "[::1]:10026", "Amavis.example.com:10024"});
  const std::vector<RelayCase> cases = {
      {">, relay=127.0.0.1[127.0.0.1]:10024, delay=0.5, status=sent (250 2.0.0 Ok)", true},
      {">, relay=localhost[127.0.0.1]:10024, delay=0.5", true},
      {">, relay=AMAVIS.example.COM[192.0.2.9]:10024, delay=0.5", true},
      {">, relay=localhost[::1]:10026, delay=0.5", true},
      {">, orig_to=<c@example.org>, relay=127.0.0.1[127.0.0.1]:10024", true},
      {">, relay=127.0.0.1[127.0.0.1]:10025, delay=0.5", false},  // another port
      {">, relay=localhost[::1]:10024, delay=0.5", false},
      {">, relay=amavis.example.net[127.0.0.2]:10024, delay=0.5", false},
      {">, relay=mx.example.org[192.0.2.25]:25, delay=1.2", false},
      {">, relay=local, delay=0.1, status=sent (delivered to mailbox)", false},
      {">, relay=none, delay=30, status=deferred", false},
      {">, relay=mail.example.com[private/dovecot-lmtp], delay=0.2", false},
      {">, relay=127.0.0.1[127.0.0.1]:100240, delay=0.5", false},
      {">, relay=127.0.0.1[127.0.0.1]:, delay=0.5", false},
      {">, relay=127.0.0.1[127.0.0.1] :10024, delay=0.5", false},
      {">, delay=0.5 (relay=127.0.0.1[127.0.0.1]:10024)", false},  // no blank before relay=
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(filters.isHandOver(c.rest), c.handOver) << c.rest;
  EXPECT_FALSE(ContentFilters().isHandOver(cases[0].rest));
}

TEST(ContentFiltersTest, an_entry_that_is_not_host_and_port_is_named) {
  for (const std::string entry : {"127.0.0.1", "127.0.0.1:", ":10024", "127.0.0.1:0",
                                  "127.0.0.1:65536", "127.0.0.1:10x24", ""}) {
    try {
      ContentFilters filters({"127.0.0.1:10024", entry});
      ADD_FAILURE() << "accepted '" << entry << "'";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(std::string(e.what()), "content filter '" + entry + "' is not HOST:PORT");
    }
  }
}

// A message through the filter: the hand-over to it, then the message given back under a new
// queue id and its real delivery.
const std::vector<std::string> kTwoHops = {
    "Mar 14 00:08:33 mx postfix/qmgr[1]: 1A2B: from=<a@example.com>, size=1000, nrcpt=1",
    "Mar 14 00:08:34 mx postfix/smtp[2]: 1A2B: to=<b@example.org>, "
    "relay=127.0.0.1[127.0.0.1]:10024, delay=0.5, status=sent (250 2.0.0 Ok: queued as 4D5E)",
    "Mar 14 00:08:34 mx postfix/qmgr[1]: 4D5E: from=<a@example.com>, size=1400, nrcpt=1",
    "Mar 14 00:08:35 mx postfix/smtp[3]: 4D5E: to=<b@example.org>, "
    "relay=mx.example.org[192.0.2.25]:25, delay=1, status=sent (250 Ok)",
};

TEST(ContentFiltersTest, the_parser_leaves_out_only_the_hand_over) {
  for (bool filtered : {false, true}) {
    TrafficTables tables;
    tables.openLogTables();
    LineParser parser(tables, filtered ? ContentFilters({"127.0.0.1:10024"}) : ContentFilters());
    std::vector<RecordKind> kinds;
    std::uint64_t n = 0;
    for (const auto& line : kTwoHops) kinds.push_back(parser.parseLine(line, ++n));
    using K = RecordKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Sending, filtered ? K::None : K::Delivery, K::Sending,
                                     K::Delivery}));
    EXPECT_EQ(tables.recebimentoLines,
              (filtered ? std::vector<std::uint64_t>{4} : std::vector<std::uint64_t>{2, 4}));
  }
}

}  // namespace
}  // namespace zeb::import
