#include "import/net_server_object.h"

#include <utility>

#include "platform/core/exceptions.h"

namespace zeb::import {

nlohmann::json NetServerObject::call(std::string_view method, const nlohmann::json& params) {
  nlohmann::json answer;
  pumped_.run([&] { answer = connection_.call(method, params); });
  return answer;
}

nlohmann::json NetServerObject::callRaw(std::string_view method, std::string paramsJson) {
  // The delta of a batch can be megabytes: it is handed on, never copied.
  send(method, std::move(paramsJson));
  return answer();
}

void NetServerObject::send(std::string_view method, std::string paramsJson) {
  if (pumped_.started()) throw platform::Exception("a server call is already under way");
  sentMethod_.assign(method);
  sentParams_ = std::move(paramsJson);
  sentAnswer_ = nullptr;
  if (!sentCall_) {
    sentCall_ = [this] {
      sentAnswer_ = connection_.callRaw(sentMethod_, std::move(sentParams_));
    };
  }
  pumped_.start(sentCall_);
}

nlohmann::json NetServerObject::answer() {
  if (!pumped_.started()) throw platform::Exception("no server call is under way");
  pumped_.finish();
  return std::move(sentAnswer_);
}

void NetServerObject::abandon() noexcept {
  if (!pumped_.started()) return;
  try {
    pumped_.finish();
  } catch (...) {
    // The run fails for a reason of its own, which is the one reported.
  }
  sentAnswer_ = nullptr;
}

}  // namespace zeb::import
