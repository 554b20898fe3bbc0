#include "import/net_server_object.h"

#include <utility>

namespace zeb::import {

nlohmann::json NetServerObject::call(std::string_view method, const nlohmann::json& params) {
  return connection_.call(method, params);
}

nlohmann::json NetServerObject::callRaw(std::string_view method, std::string paramsJson) {
  // The delta of a batch can be megabytes: it is handed on, never copied.
  return connection_.callRaw(method, std::move(paramsJson));
}

}  // namespace zeb::import
