// The statistics reader against a server that answers pages as the test scripts them: what a
// real server answers reads back exactly, and what no server of ours answers is refused with a
// message that says so, leaving the rows read before as they were.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosting/stats_client.h"
#include "platform/core/exceptions.h"
#include "scripted_server.h"

namespace zeb::hosting {
namespace {

using platform::net::TNetConnection;
using platform::net::test::Answer;
using platform::net::test::kObject;
using platform::net::test::ScriptedServer;

constexpr const char* kRow =
    R"(["0001", "a@x.com", "b\u00e9@x.com", "2024", "05", "01", "3°Bim", "1°Sem", "2°Tri", 1200, 3])";

std::string page(const std::string& result) {
  return R"({"jsonrpc": "2.0", "id": 1, "result": )" + result + "}";
}

TEST(stats_reader_test, reads_a_page_and_refuses_what_is_no_page_naming_why) {
  const std::string firstPage = page(std::string(R"({"rows": [)") + kRow +
                                     R"(], "next": null, "totals": {"rows": 1, "messages": 3,)"
                                     R"( "bytes": 1200}, "days": [["2024-05-01", 3, 1200]]})");
  struct Case {
    Answer answer;
    std::string message;  // empty: read
  };
  const Case cases[] = {
      {{200, firstPage}, ""},
      {{502, "<html>Bad Gateway</html>", "text/html"},
       "the answer is not a JSON-RPC response (HTTP 502, text/html): <html>Bad Gateway</html>"},
      {{200, R"({"jsonrpc": "2.0", "id": 1, "error": {"code": -32602, "message": "no"}})"},
       "GetEmailStats failed: no"},
      {{200, page(R"({"rows": [["0001", 2]], "next": null})")},
       "GetEmailStats answered a page that cannot be read"},
      {{200, page(R"({"rows": [], "next": null})")},
       "GetEmailStats answered a page without its rows or totals"},
      {{200, page(R"({"rows": [)")}, "GetEmailStats answered a page that cannot be read"},
      {{200, R"({"jsonrpc": "2.0", "id": 1})"}, "GetEmailStats answered no page of rows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.body);
    ScriptedServer server;
    server.answerCallsWith(c.answer);
    TNetConnection connection;
    connection.setPort(server.port());
    connection.setServerName(kObject);
    StatsReader reader(connection, {"0001", "2024-05-01", "2024-05-31"});
    std::vector<StatsRow> rows(1);
    if (c.message.empty()) {
      ASSERT_TRUE(reader.fetchMore(rows));
      ASSERT_EQ(rows.size(), 2u);
      EXPECT_EQ(rows[1].texts[2], "b\u00e9@x.com");
      EXPECT_EQ(rows[1].texts[8], "2°Tri");
      EXPECT_EQ(rows[1].volume, 1200);
      EXPECT_EQ(rows[1].count, 3);
      EXPECT_EQ(reader.totals().rows, 1);
      ASSERT_EQ(reader.days().size(), 1u);
      EXPECT_EQ(reader.days()[0].date, "2024-05-01");
      EXPECT_TRUE(reader.atEnd());
      continue;
    }
    try {
      reader.fetchMore(rows);
      ADD_FAILURE() << "read";
    } catch (const platform::EServerError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(rows.size(), 1u);
  }
}

}  // namespace
}  // namespace zeb::hosting
