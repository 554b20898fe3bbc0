#include "host/server_result.h"

#include <climits>
#include <cstdint>
#include <string>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::host {

namespace {
constexpr std::size_t kQuotedCharacters = 200;

std::string quote(const nlohmann::json& value) {
  std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string_view head = platform::utf8Prefix(text, kQuotedCharacters);
  if (head.size() == text.size()) return text;
  return std::string(head) + "...";
}

[[noreturn]] void malformed(const std::string& what, const nlohmann::json& value) {
  throw platform::EServerError(0, "server answer " + what + ": " + quote(value));
}

// Raises for a failed or malformed answer; answers the "result" member otherwise.
nlohmann::json::const_iterator checked(const nlohmann::json& answer) {
  if (!answer.is_object()) malformed("is not a JSON-RPC 2.0 response", answer);
  auto version = answer.find("jsonrpc");
  if (version == answer.end() || *version != "2.0") {
    malformed("is not a JSON-RPC 2.0 response", answer);
  }
  auto result = answer.find("result");
  auto error = answer.find("error");
  if (result != answer.end() && error != answer.end()) {
    malformed("has both a result and an error", answer);
  }
  if (error != answer.end()) {
    if (!error->is_object()) malformed("has a malformed error", *error);
    auto code = error->find("code");
    auto message = error->find("message");
    if (code == error->end() || !code->is_number_integer() || message == error->end() ||
        !message->is_string()) {
      malformed("has a malformed error", *error);
    }
    auto wide = code->get<std::int64_t>();
    if (wide < INT_MIN || wide > INT_MAX) malformed("has a malformed error", *error);
    int value = static_cast<int>(wide);
    throw platform::EServerError(
        value, "server error " + std::to_string(value) + ": " + message->get<std::string>());
  }
  if (result == answer.end()) malformed("has neither a result nor an error", answer);
  return result;
}
}  // namespace

nlohmann::json CheckResultServ(const nlohmann::json& result, bool /*raise*/, int /*helpCtx*/) {
  return *checked(result);
}

nlohmann::json CheckResultServ(nlohmann::json&& result, bool /*raise*/, int /*helpCtx*/) {
  checked(result);
  return std::move(result["result"]);
}

}  // namespace zeb::host
