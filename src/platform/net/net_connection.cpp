#include "platform/net/net_connection.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/net/protocol.h"

namespace zeb::platform::net {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kQuotedCharacters = 100;
const std::string kSessionHeader(protocol::kSessionHeader);
const std::string kJsonType(protocol::kContentType);

std::string describe(milliseconds span) {
  if (span.count() % 1000 == 0) return std::to_string(span.count() / 1000) + " s";
  return std::to_string(span.count()) + " ms";
}

// An answer shown inside a one-line message: its start, as UTF-8, control characters blanked.
std::string quote(const std::string& body) {
  if (body.empty()) return "(empty)";
  std::string text;
  appendAsUtf8(text, std::string_view(body).substr(0, kQuotedCharacters * 4));
  std::string_view head = utf8Prefix(text, kQuotedCharacters);
  std::string out(head);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  if (head.size() < text.size() || body.size() > kQuotedCharacters * 4) out += "...";
  return out;
}

std::string statusOf(const httplib::Response& response) {
  std::string text = "HTTP " + std::to_string(response.status);
  std::string type = response.get_header_value("Content-Type");
  if (!type.empty()) text += ", " + type;
  return text;
}

// One attempt at a TCP connection, answering 0 or the errno that ended it.
int tryConnect(const addrinfo& address, milliseconds timeout) {
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address.ai_protocol);
  if (fd < 0) return errno;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd watch{fd, POLLOUT, 0};
      int ready = ::poll(&watch, 1, static_cast<int>(timeout.count()));
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0) {
        error = errno;
      } else {
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      }
    }
  }
  ::close(fd);
  return error;
}

// The HTTP client reports a refused port, an unknown host and an unreachable network all as
// one "connection" error, which would leave the operator guessing. Trying once more with a
// plain socket tells them apart.
std::string whyNoConnection(const std::string& host, int port, milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return "cannot resolve the host name (" + std::string(::gai_strerror(rc)) + ")";
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  int error = 0;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    error = tryConnect(*address, timeout);
    if (error == 0) return "cannot connect";
  }
  if (error == ETIMEDOUT) return "no connection within " + describe(timeout);
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = asciiLower(text[0]);
  return text;
}

std::string transportFailure(httplib::Error error, Clock::duration elapsed,
                             milliseconds readTimeout, const std::string& host, int port,
                             milliseconds connectTimeout) {
  switch (error) {
    case httplib::Error::Connection:
      return whyNoConnection(host, port, connectTimeout);
    case httplib::Error::ConnectionTimeout:
      return "no connection within " + describe(connectTimeout);
    case httplib::Error::Read:
      // A time-out and a closed connection look alike to the client; only the clock differs.
      if (elapsed + milliseconds(10) >= readTimeout) {
        return "no answer within " + describe(readTimeout);
      }
      return "the server closed the connection without a valid HTTP answer";
    case httplib::Error::SSLConnection:
      return "the TLS handshake failed (is the server speaking HTTPS?)";
    case httplib::Error::SSLLoadingCerts:
      return "the certificates to verify the server by cannot be loaded";
    case httplib::Error::SSLServerVerification:
      return "the server's certificate is not trusted";
    case httplib::Error::Write:
      return "the connection was lost while sending";
    case httplib::Error::Canceled:
      // What the client library reports when the server's end goes away in the middle of the
      // exchange (a server killed while it answers), as no caller here cancels a call itself.
      return "the connection ended before the server's answer was read";
    default:
      return "HTTP client error " + httplib::to_string(error);
  }
}

std::string newSessionId() {
  std::random_device source;
  constexpr char kDigits[] = "0123456789abcdef";
  std::string id;
  id.reserve(32);
  for (int word = 0; word < 4; ++word) {
    auto bits = static_cast<std::uint32_t>(source());
    for (int shift = 28; shift >= 0; shift -= 4) id += kDigits[(bits >> shift) & 0xF];
  }
  return id;
}

void applyTimeouts(httplib::ClientImpl& client, milliseconds connect, milliseconds transfer) {
  client.set_connection_timeout(connect);
  client.set_read_timeout(transfer);
  client.set_write_timeout(transfer);
}

std::unique_ptr<httplib::ClientImpl> newClient(const std::string& host, int port,
                                               const NetSecurity& security) {
  std::unique_ptr<httplib::ClientImpl> client;
  if (security.tls) {
    client = std::make_unique<httplib::SSLClient>(host, port);
    client->enable_server_certificate_verification(security.verifyPeer);
    if (!security.caFile.empty()) client->set_ca_cert_path(security.caFile);
  } else {
    client = std::make_unique<httplib::ClientImpl>(host, port);
  }
  if (!security.token.empty()) client->set_bearer_token_auth(security.token);
  client->set_keep_alive(true);
  client->set_tcp_nodelay(true);
  return client;
}

}  // namespace

struct TNetConnection::Session {
  Session(const std::string& host, int port, const std::string& serverName,
          const NetSecurity& security)
      : client(newClient(host, port, security)),
        host(host),
        port(port),
        path(std::string(protocol::kPathPrefix) + serverName) {}

  std::unique_ptr<httplib::ClientImpl> client;
  // The address the session was opened on; the properties may change meanwhile.
  std::string host;
  int port;
  std::string path;
  std::string id;
  std::int64_t nextCallId = 1;
};

TNetConnection::TNetConnection() = default;
TNetConnection::~TNetConnection() = default;

void TNetConnection::setCallTimeout(milliseconds timeout) {
  callTimeout_ = timeout;
  if (session_) applyTimeouts(*session_->client, connectTimeout_, callTimeout_);
}

const std::string& TNetConnection::sessionId() const {
  static const std::string kNone;
  return session_ ? session_->id : kNone;
}

void TNetConnection::setConnected(bool on) {
  if (!on) {
    session_.reset();
    connectError_.clear();
  } else if (!session_) {
    connect();
  }
}

void TNetConnection::connect() {
  connectError_.clear();
  if (beforeConnect_) beforeConnect_(*this);
  try {
    session_ = openSession();
  } catch (const EServerError& error) {
    connectError_ = error.what();
    if (throwException_) throw;
  }
}

std::unique_ptr<TNetConnection::Session> TNetConnection::openSession() const {
  std::string where = host_ + ":" + std::to_string(port_);
  auto failure = [&](int code, const std::string& reason) {
    return EServerError(code,
                        "connecting to " + serverName_ + " on " + where + " failed: " + reason);
  };
  if (serverName_.empty()) {
    throw EServerError(0, "connecting to " + where + " failed: no server object named");
  }
  if (port_ < 1 || port_ > 65535) throw failure(0, "no valid port set");

  auto session = std::make_unique<Session>(host_, port_, serverName_, security_);
  // The description is small: waiting for it as long as for a call would only delay the
  // operator's news of a dead server.
  applyTimeouts(*session->client, connectTimeout_, connectTimeout_);
  Clock::time_point started = Clock::now();
  httplib::Result answer = session->client->Get(session->path);
  if (!answer && answer.error() == httplib::Error::SSLServerVerification) {
    long result = static_cast<httplib::SSLClient&>(*session->client).get_openssl_verify_result();
    throw failure(0, "the server's certificate is not trusted (" +
                         std::string(X509_verify_cert_error_string(result)) + ")");
  }
  if (!answer) {
    throw failure(0, transportFailure(answer.error(), Clock::now() - started, connectTimeout_,
                                      host_, port_, connectTimeout_));
  }
  auto body = nlohmann::json::parse(answer->body, nullptr, false);
  if (body.is_object()) {
    auto object = body.find("object");
    if (answer->status == 200 && object != body.end() && *object == serverName_) {
      applyTimeouts(*session->client, connectTimeout_, callTimeout_);
      session->id = newSessionId();
      return session;
    }
    auto error = body.find("error");
    if (error != body.end() && error->is_object()) {
      auto code = error->find("code");
      auto message = error->find("message");
      if (message != error->end() && message->is_string()) {
        throw failure(code != error->end() && code->is_number_integer() ? code->get<int>() : 0,
                      message->get<std::string>());
      }
    }
    if (answer->status == 200 && object != body.end() && object->is_string()) {
      throw failure(0, "the server offers " + object->get<std::string>() + " instead");
    }
  }
  throw failure(0, "the answer is not a description of the object (" + statusOf(*answer) +
                       "): " + quote(answer->body));
}

TNetConnection::Session& TNetConnection::session(std::string_view method) const {
  if (session_) return *session_;
  std::string message =
      "calling " + std::string(method) + " on " + serverName_ + " failed: not connected";
  if (!connectError_.empty()) message += " (" + connectError_ + ")";
  throw EServerError(0, message);
}

nlohmann::json TNetConnection::call(std::string_view method, const nlohmann::json& params) {
  Session& open = session(method);
  auto failure = [&](const std::string& reason) {
    return EServerError(0, "calling " + std::string(method) + " on " + open.host + ":" +
                               std::to_string(open.port) + " failed: " + reason);
  };
  if (!params.is_array()) throw failure("the arguments are not a JSON array");
  std::string text;
  try {
    text = params.dump();
  } catch (const nlohmann::json::exception& error) {
    throw failure("the arguments cannot be encoded (" + std::string(error.what()) + ")");
  }
  return callRaw(method, std::move(text));
}

TNetConnection::Answer TNetConnection::post(std::string_view method, std::string paramsJson) {
  Session& open = session(method);
  auto failure = [&](const std::string& reason) {
    return EServerError(0, "calling " + std::string(method) + " on " + open.host + ":" +
                               std::to_string(open.port) + " failed: " + reason);
  };

  // The arguments can be a large delta: the request goes out in three pieces instead of
  // being assembled into one more copy.
  std::string name;
  try {
    name = nlohmann::json(method).dump();
  } catch (const nlohmann::json::exception& error) {
    throw failure("the method's name cannot be encoded (" + std::string(error.what()) + ")");
  }
  std::string head = R"({"jsonrpc":"2.0","id":)" + std::to_string(open.nextCallId++) +
                     R"(,"method":)" + name + R"(,"params":)";
  const std::string_view pieces[] = {head, paramsJson, "}"};
  std::size_t length = head.size() + paramsJson.size() + 1;
  auto provide = [&pieces](std::size_t offset, std::size_t size, httplib::DataSink& sink) {
    for (std::string_view piece : pieces) {
      if (offset >= piece.size()) {
        offset -= piece.size();
        continue;
      }
      std::string_view part = piece.substr(offset, size);
      return sink.write(part.data(), part.size());
    }
    return false;
  };

  httplib::Headers headers{{kSessionHeader, open.id}};
  Clock::time_point started = Clock::now();
  httplib::Result answer = open.client->Post(open.path, headers, length, provide, kJsonType);
  if (!answer) {
    throw failure(transportFailure(answer.error(), Clock::now() - started, callTimeout_, open.host,
                                   open.port, connectTimeout_));
  }
  return {answer->status, answer->get_header_value("Content-Type"), std::move(answer->body)};
}

namespace {

// The failure of an answer that is no JSON-RPC response.
EServerError notJsonRpc(std::string_view method, const std::string& host, int port, int status,
                        const std::string& type, const std::string& body) {
  std::string shown = "HTTP " + std::to_string(status);
  if (!type.empty()) shown += ", " + type;
  return EServerError(
      0, "calling " + std::string(method) + " on " + host + ":" + std::to_string(port) +
             " failed: the answer is not a JSON-RPC response (" + shown + "): " + quote(body));
}

}  // namespace

nlohmann::json TNetConnection::callRaw(std::string_view method, std::string paramsJson) {
  Answer answer = post(method, std::move(paramsJson));
  auto response = nlohmann::json::parse(answer.body, nullptr, false);
  if (!response.is_object() || (!response.contains("result") && !response.contains("error"))) {
    throw notJsonRpc(method, session_->host, session_->port, answer.status, answer.type,
                     answer.body);
  }
  return response;
}

std::string TNetConnection::callRawText(std::string_view method, std::string paramsJson) {
  Answer answer = post(method, std::move(paramsJson));
  if (!answer.type.starts_with(kJsonType)) {
    throw notJsonRpc(method, session_->host, session_->port, answer.status, answer.type,
                     answer.body);
  }
  return std::move(answer.body);
}

}  // namespace zeb::platform::net
