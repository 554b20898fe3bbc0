// The connection to the application server: a remote object reached by name, on which methods
// are called by name with positional arguments. Calls travel as JSON-RPC 2.0 over HTTP/1.1:
//   connect:  GET  /rpc/<ServerName>  answers {"object": <ServerName>, "methods": [...]}
//   call:     POST /rpc/<ServerName>  {"jsonrpc": "2.0", "id": n, "method": m, "params": [...]}
// with the import-session id in the header X-Zeb-Session. One HTTP connection is kept alive
// and reused by every call of a session.
//
// Failures raise EServerError (code 0 unless the server gave a JSON-RPC error code). Messages
// say what failed and where:
//   "connecting to ZEB18000.rdmImpEmailInt on 127.0.0.1:18000 failed: connection refused"
//   "calling SetEmail on 127.0.0.1:18000 failed: no answer within 60 s"
//   "calling GetEmail on ZEB18000.rdmImpEmailInt failed: not connected"
//
// Not thread-safe: a connection belongs to one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/net/net_security.h"

namespace zeb::platform::net {

class TNetConnection {
 public:
  using TConnectEvent = std::function<void(TNetConnection&)>;

  static constexpr std::chrono::milliseconds kDefaultConnectTimeout{5'000};
  static constexpr std::chrono::milliseconds kDefaultCallTimeout{60'000};

  TNetConnection();
  ~TNetConnection();
  // Handlers hold references to the connection, so it stays where it was made.
  TNetConnection(const TNetConnection&) = delete;
  TNetConnection& operator=(const TNetConnection&) = delete;

  // The address and the remote object. Changes made while connected take effect at the next
  // connect; the open session keeps the address it was opened on. No port is set until one is
  // given (0), and connecting without one fails.
  const std::string& Host() const { return host_; }
  void setHost(std::string host) { host_ = std::move(host); }
  int Port() const { return port_; }
  void setPort(int port) { port_ = port; }
  const std::string& ServerName() const { return serverName_; }
  void setServerName(std::string name) { serverName_ = std::move(name); }

  // TLS and the token, taken at the next connect. With TLS the server's certificate must be
  // valid for Host and verify against caFile (or the system's store), unless verifyPeer is off;
  // a failed verification fails the connect ("...: the server's certificate is not trusted
  // (REASON)").
  const NetSecurity& Security() const { return security_; }
  void setSecurity(NetSecurity security) { security_ = std::move(security); }

  // How a failed connect is reported (see setConnected); on unless switched off. Calls always
  // raise on failure, because their callers rely on that.
  bool ThrowException() const { return throwException_; }
  void setThrowException(bool on) { throwException_ = on; }

  // Runs at the start of every connect, before the address is read, so it may set Host and
  // Port. An exception from it passes out of setConnected unchanged, and nothing is connected.
  const TConnectEvent& BeforeConnect() const { return beforeConnect_; }
  void setBeforeConnect(TConnectEvent handler) { beforeConnect_ = std::move(handler); }

  // Limits: the connect (TCP connect and the server's description of the object) and each
  // call (no answer byte for that long). A new call time-out applies to the open session too.
  std::chrono::milliseconds connectTimeout() const { return connectTimeout_; }
  void setConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout_ = timeout; }
  std::chrono::milliseconds callTimeout() const { return callTimeout_; }
  void setCallTimeout(std::chrono::milliseconds timeout);

  bool Connected() const { return session_ != nullptr; }
  // true, when not connected: runs BeforeConnect, asks the server at Host:Port to describe
  // ServerName, and opens a session with a new random id. When that fails, the connection
  // stays disconnected and keeps the message in connectError(); with ThrowException it also
  // raises it as EServerError, without it the failure shows when the next call raises "not
  // connected" with that message appended.
  // true when connected does nothing. false: forgets the session and any remembered connect
  // failure.
  void setConnected(bool on);

  // The session id sent with every call: 32 lower-case hex digits, empty when disconnected.
  const std::string& sessionId() const;
  // Why the last connect failed; empty after a successful connect or a disconnect.
  const std::string& connectError() const { return connectError_; }

  // Calls "method" with positional arguments ("params" must be an array) and answers the raw
  // JSON-RPC response object, a "result" or an "error" alike, whatever the HTTP status;
  // judging it is the caller's business. Raises EServerError when not connected, when the
  // method or the arguments cannot be encoded (nothing is sent then), when the server cannot
  // be reached or does not answer in time, and when the answer is not a JSON-RPC response (a
  // proxy's error page, say).
  nlohmann::json call(std::string_view method, const nlohmann::json& params);
  // The same with the arguments already encoded: "paramsJson" must be the text of a JSON
  // array. It is sent as it stands, without being parsed or copied.
  nlohmann::json callRaw(std::string_view method, std::string paramsJson);
  // The same, answering the response's text unread, for a caller that reads large answers with
  // a reader of its own. Raises as callRaw() does, except that only an answer of another type
  // than JSON (a proxy's error page, say) is judged here.
  std::string callRawText(std::string_view method, std::string paramsJson);

 private:
  struct Session;
  struct Answer {
    int status = 0;
    std::string type;  // the Content-Type
    std::string body;
  };

  Answer post(std::string_view method, std::string paramsJson);

  void connect();
  std::unique_ptr<Session> openSession() const;
  Session& session(std::string_view method) const;

  std::string host_ = "127.0.0.1";
  int port_ = 0;
  std::string serverName_;
  bool throwException_ = true;
  TConnectEvent beforeConnect_;
  NetSecurity security_;
  std::chrono::milliseconds connectTimeout_ = kDefaultConnectTimeout;
  std::chrono::milliseconds callTimeout_ = kDefaultCallTimeout;
  std::unique_ptr<Session> session_;
  std::string connectError_;
};

}  // namespace zeb::platform::net
