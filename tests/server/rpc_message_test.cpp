#include "server/rpc_message.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "server/email_layout.h"
#include "server/server.h"
#include "server_test_support.h"

namespace zeb::server {
namespace {

// An error message quotes what the caller sent; whatever the bytes, the answer stays JSON and
// keeps every character that was well-formed.
TEST(rpc_message_test, error_messages_are_always_utf8) {
  struct Case {
    std::string message, shown;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"an unknown escape '\\\xFF'", "an unknown escape '\\\xEF\xBF\xBD'"},
      {"cut in a character: \xC3", "cut in a character: \xEF\xBF\xBD"},
      {"\xE2\x82 and \xC3\xA7", "\xEF\xBF\xBD\xEF\xBF\xBD and \xC3\xA7"},
      {"overlong \xC0\xAF, surrogate \xED\xA0\x80",
       "overlong \xEF\xBF\xBD\xEF\xBF\xBD, "
       "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::string("nul \0 byte", 10), std::string("nul \0 byte", 10)},
  };
  for (const Case& c : cases) {
    nlohmann::json answer = nlohmann::json::parse(errorBody("7", kParseError, c.message));
    EXPECT_EQ(answer["error"]["message"], c.shown) << c.shown;
    EXPECT_EQ(answer["id"], 7);
  }
}

// The request handler, fed as an HTTP POST would feed it: a malformed escape before a byte that
// is not UTF-8 is refused as not JSON, in a body that is JSON.
TEST(rpc_message_test, a_malformed_body_with_stray_bytes_is_answered_in_json) {
  std::filesystem::path dir = test::freshTestDirectory("zeb_rpc_message_");
  ServerOptions options;
  options.port = 0;
  options.databasePath = (dir / "stats.db").string();
  Server server(options);
  server.start();
  const std::string session = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string body;
    int status, code;
    std::string message;
  } cases[] = {
      {"\"\\\xE9\"", 400, kParseError,
       "Malformed JSON at byte 2: the text holds bytes that are not UTF-8"},
      {"{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \"\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7"
       "\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7"
       "\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7"
       "\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7\xC3\xA7x\", \"params\": []}",
       200, kMethodNotFound, ""},
  };
  for (const Case& c : cases) {
    Server::Answer answer = server.post(kObjectName, "application/json", &session, c.body);
    nlohmann::json reply = nlohmann::json::parse(answer.body);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(reply["error"]["code"], c.code) << answer.body;
    if (!c.message.empty()) {
      EXPECT_EQ(reply["error"]["message"], c.message);
    }
  }
  server.stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zeb::server
