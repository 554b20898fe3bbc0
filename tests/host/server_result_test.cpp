#include "host/server_result.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/core/exceptions.h"

namespace zeb::host {
namespace {

using nlohmann::json;

TEST(server_result_test, answers_the_result_member) {
  json packet = {{"columns", json::array()}, {"rows", json::array()}};
  json answer = {{"jsonrpc", "2.0"}, {"id", 3}, {"result", packet}};
  EXPECT_EQ(CheckResultServ(answer, true, 0), packet);
  EXPECT_EQ(CheckResultServ(json{{"jsonrpc", "2.0"}, {"id", 4}, {"result", nullptr}}, true, 0),
            json(nullptr));
}

TEST(server_result_test, takes_over_a_moved_answer) {
  json answer = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", {{"rows", {{"0001", 5}}}}}};
  json result = CheckResultServ(std::move(answer), true, 0);
  EXPECT_EQ(result, (json{{"rows", {{"0001", 5}}}}));
}

struct Failure {
  const char* answer;
  int code;
  const char* message;
};

TEST(server_result_test, failures_raise_with_exact_messages) {
  const Failure cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})", -32601,
       "server error -32601: Method not found"},
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":7,"message":"Período inválido","data":1}})", 7,
       "server error 7: Período inválido"},
      {R"(42)", 0, "server answer is not a JSON-RPC 2.0 response: 42"},
      {R"(null)", 0, "server answer is not a JSON-RPC 2.0 response: null"},
      {R"({"id":1,"result":1})", 0,
       R"(server answer is not a JSON-RPC 2.0 response: {"id":1,"result":1})"},
      {R"({"jsonrpc":"1.0","id":1,"result":1})", 0,
       R"(server answer is not a JSON-RPC 2.0 response: {"id":1,"jsonrpc":"1.0","result":1})"},
      {R"({"jsonrpc":"2.0","id":1})", 0,
       R"(server answer has neither a result nor an error: {"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":1,"message":"x"}})", 0,
       R"(server answer has both a result and an error: {"error":{"code":1,"message":"x"},)"
       R"("id":1,"jsonrpc":"2.0","result":1})"},
      {R"({"jsonrpc":"2.0","id":1,"error":"boom"})", 0,
       R"(server answer has a malformed error: "boom")"},
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":"7","message":"x"}})", 0,
       R"(server answer has a malformed error: {"code":"7","message":"x"})"},
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":7}})", 0,
       R"(server answer has a malformed error: {"code":7})"},
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":1.5,"message":"x"}})", 0,
       R"(server answer has a malformed error: {"code":1.5,"message":"x"})"},
      {R"({"jsonrpc":"2.0","id":1,"error":{"code":4294967296,"message":"x"}})", 0,
       R"(server answer has a malformed error: {"code":4294967296,"message":"x"})"},
  };
  for (const Failure& c : cases) {
    try {
      CheckResultServ(json::parse(c.answer), true, 0);
      ADD_FAILURE() << "no error for " << c.answer;
    } catch (const platform::EServerError& e) {
      EXPECT_EQ(e.code(), c.code) << c.answer;
      EXPECT_STREQ(e.what(), c.message) << c.answer;
    }
  }
}

TEST(server_result_test, long_answer_is_quoted_by_its_first_200_characters) {
  // 300 characters of "ç" (two bytes each): the cut must fall between characters.
  std::string text;
  for (int i = 0; i < 300; ++i) text += "ç";
  json answer = text;
  try {
    CheckResultServ(answer, true, 0);
    FAIL() << "no error";
  } catch (const platform::EServerError& e) {
    std::string expected = "server answer is not a JSON-RPC 2.0 response: \"";
    for (int i = 0; i < 199; ++i) expected += "ç";
    expected += "...";
    EXPECT_EQ(e.what(), expected);
  }
}

}  // namespace
}  // namespace zeb::host
