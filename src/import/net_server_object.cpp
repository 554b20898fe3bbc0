#include "import/net_server_object.h"

#include <utility>

namespace zeb::import {

nlohmann::json NetServerObject::call(std::string_view method, const nlohmann::json& params) {
  nlohmann::json answer;
  pumped_.run([&] { answer = connection_.call(method, params); });
  return answer;
}

nlohmann::json NetServerObject::callRaw(std::string_view method, std::string paramsJson) {
  // The delta of a batch can be megabytes: it is handed on, never copied.
  nlohmann::json answer;
  pumped_.run([&] { answer = connection_.callRaw(method, std::move(paramsJson)); });
  return answer;
}

}  // namespace zeb::import
