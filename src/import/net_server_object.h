// The server object of the upload reached through the real connection: every call goes to the
// remote object of a TNetConnection as one JSON-RPC request, made on a thread of its own while
// the caller pumps the window messages (PumpedCall), so that the screen answers however long
// the server takes.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "import/pumped_call.h"
#include "import/upload.h"
#include "platform/net/net_connection.h"

namespace zeb::import {

// "connection" must outlive this object. It is used as it stands: whoever owns it connects it
// (the screen does when it is built), and a call on a connection that is not connected raises
// the connection's "not connected" EServerError. A server that cannot be reached or does not
// answer raises EServerError naming the method, the host and the port; an answer that is a
// JSON-RPC error comes back as it is, for CheckResultServ to raise. The connection is used by
// the call's thread only while the caller waits in call(); nothing else may use it meanwhile
// (the handlers that the wait pumps do not).
class NetServerObject : public ServerObject {
 public:
  explicit NetServerObject(platform::net::TNetConnection& connection) : connection_(connection) {}

  nlohmann::json call(std::string_view method, const nlohmann::json& params) override;
  nlohmann::json callRaw(std::string_view method, std::string paramsJson) override;
  // The call runs on the call's thread while the caller goes on; answer() pumps the window
  // messages until it has ended.
  void send(std::string_view method, std::string paramsJson) override;
  nlohmann::json answer() override;
  bool sending() const override { return pumped_.started(); }
  void abandon() noexcept override;

  platform::net::TNetConnection& connection() const { return connection_; }

 private:
  platform::net::TNetConnection& connection_;
  // The call sent: what the call's thread works on until answer() or abandon().
  std::string sentMethod_;
  std::string sentParams_;
  nlohmann::json sentAnswer_;
  std::function<void()> sentCall_;
  PumpedCall pumped_;  // last: its thread ends first
};

}  // namespace zeb::import
