#include "import/content_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace zeb::import
