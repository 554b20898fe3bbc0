#include "platform/net/net_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/exceptions.h"
#include "scripted_server.h"

namespace zeb::platform::net {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

using test::Answer;
using test::kDescription;
using test::kObject;
using test::ScriptedServer;
using test::Seen;

// A loopback port with a listening socket: the kernel completes connections, nobody answers.
class SilentPort {
 public:
  SilentPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentPort() { ::close(fd_); }
  int port() const { return port_; }

 protected:
  int fd_;

 private:
  int port_ = 0;
};

int closedPort() { return SilentPort().port(); }

// A loopback port whose server takes one connection, reads the request and hangs up, as a
// server that dies in the middle of a call does.
class HangingUpPort : public SilentPort {
 public:
  HangingUpPort() : thread_([this] { hangUp(); }) {}
  ~HangingUpPort() { thread_.join(); }

 private:
  void hangUp() {
    int connection = ::accept(fd_, nullptr, nullptr);
    char request[512];
    (void)::read(connection, request, sizeof request);
    ::close(connection);
  }

  std::thread thread_;
};

std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }

void prepare(TNetConnection& connection, int port) {
  connection.setServerName(kObject);
  connection.setPort(port);
}

template <typename Action>
std::string serverErrorOf(Action action, int expectedCode = 0) {
  try {
    action();
  } catch (const EServerError& error) {
    EXPECT_EQ(error.code(), expectedCode);
    return error.what();
  }
  return "no EServerError";
}

TEST(net_connection_test, refuses_a_server_that_does_not_offer_the_object) {
  struct Case {
    Answer description;
    int code;
    std::string reason;
  };
  const Case cases[] = {
      {{404, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32601,"message":"unknown object"}})"},
       -32601,
       "unknown object"},
      {{200, R"({"object":"ZEB18000.rdmOther","methods":[]})"},
       0,
       "the server offers ZEB18000.rdmOther instead"},
      {{502, "<html>\n<body>Bad Gateway</body></html>", "text/html"},
       0,
       "the answer is not a description of the object (HTTP 502, text/html): <html> <body>Bad "
       "Gateway</body></html>"},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.describeAs(c.description);
    TNetConnection connection;
    prepare(connection, server.port());
    std::string expected = "connecting to ZEB18000.rdmImpEmailInt on " + address(server.port()) +
                           " failed: " + c.reason;
    EXPECT_EQ(serverErrorOf([&] { connection.setConnected(true); }, c.code), expected);
    EXPECT_FALSE(connection.Connected());
    EXPECT_EQ(connection.connectError(), expected);
  }
}

TEST(net_connection_test, before_connect_runs_first_on_every_connect_and_sets_the_address) {
  ScriptedServer server;
  TNetConnection connection;
  connection.setServerName(kObject);
  connection.setHost("192.0.2.1");  // unroutable: reaching it would mean the handler ran late
  int runs = 0;
  connection.setBeforeConnect([&](TNetConnection& sender) {
    ++runs;
    sender.setHost("127.0.0.1");
    sender.setPort(server.port());
  });
  connection.setConnected(true);
  connection.setConnected(true);  // already connected: no second connect
  connection.setConnected(false);
  connection.setConnected(true);
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(connection.Connected());
  EXPECT_EQ(server.seen().size(), 2u);
}

TEST(net_connection_test, connects_and_sends_a_new_session_id_per_connect_with_every_call) {
  ScriptedServer server;
  TNetConnection connection;
  prepare(connection, server.port());
  connection.setConnected(true);
  std::string first = connection.sessionId();
  connection.call("GetEmail", json::array());
  connection.call("GetEmail", json::array());
  connection.setConnected(false);
  EXPECT_EQ(connection.sessionId(), "");
  connection.setConnected(true);
  std::string second = connection.sessionId();
  connection.call("GetEmail", json::array());

  EXPECT_THAT(first, testing::MatchesRegex("[0-9a-f]{32}"));
  EXPECT_THAT(second, testing::MatchesRegex("[0-9a-f]{32}"));
  EXPECT_NE(first, second);
  std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 5u);
  for (int connect : {0, 3}) {
    EXPECT_EQ(seen[connect].method, "GET");
    EXPECT_EQ(seen[connect].path, "/rpc/ZEB18000.rdmImpEmailInt");
  }
  EXPECT_EQ(seen[0].session, "");  // the description is asked for before the session exists
  EXPECT_EQ(seen[1].session, first);
  EXPECT_EQ(seen[2].session, first);
  EXPECT_EQ(seen[4].session, second);
}

TEST(net_connection_test, puts_method_and_params_on_the_wire_exactly) {
  ScriptedServer server;
  TNetConnection connection;
  prepare(connection, server.port());
  connection.setConnected(true);
  connection.call("SetDelEmail", json::array({"2025", "12", "05"}));
  connection.callRaw("SetEmail",
                     R"([{"columns":[],"changes":[{"op":"insert","row":["Período"]}]}])");

  std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].path, "/rpc/ZEB18000.rdmImpEmailInt");
  EXPECT_EQ(seen[1].contentType, "application/json");
  EXPECT_EQ(seen[1].body,
            R"({"jsonrpc":"2.0","id":1,"method":"SetDelEmail","params":["2025","12","05"]})");
  EXPECT_EQ(seen[2].body, R"({"jsonrpc":"2.0","id":2,"method":"SetEmail","params":)"
                          R"([{"columns":[],"changes":[{"op":"insert","row":["Período"]}]}]})");
}

TEST(net_connection_test, answers_the_raw_response_whatever_the_http_status) {
  const Answer answers[] = {
      {200, R"({"jsonrpc":"2.0","id":1,"result":{"columns":[],"rows":[]}})"},
      {413, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"body over 64 MiB"}})"},
  };
  for (const Answer& answer : answers) {
    ScriptedServer server;
    server.answerCallsWith(answer);
    TNetConnection connection;
    prepare(connection, server.port());
    connection.setConnected(true);
    EXPECT_EQ(connection.callRaw("GetEmail", "[]"), json::parse(answer.body));
  }
}

TEST(net_connection_test, keeps_one_http_connection_for_the_whole_session) {
  ScriptedServer server;
  TNetConnection connection;
  prepare(connection, server.port());
  connection.setConnected(true);
  for (int i = 0; i < 3; ++i) connection.call("GetEmail", json::array());
  std::vector<Seen> seen = server.seen();
  ASSERT_EQ(seen.size(), 4u);
  for (const Seen& request : seen) EXPECT_EQ(request.remotePort, seen[0].remotePort);
}

TEST(net_connection_test, a_refused_port_names_object_host_and_port) {
  int port = closedPort();
  TNetConnection connection;
  prepare(connection, port);
  EXPECT_EQ(
      serverErrorOf([&] { connection.setConnected(true); }),
      "connecting to ZEB18000.rdmImpEmailInt on " + address(port) + " failed: connection refused");
}

TEST(net_connection_test, a_call_to_a_stopped_server_names_method_host_and_port) {
  ScriptedServer server(false);
  TNetConnection connection;
  prepare(connection, server.port());
  connection.setConnected(true);
  server.stop();
  EXPECT_EQ(serverErrorOf([&] { connection.call("SetEmail", json::array()); }),
            "calling SetEmail on " + address(server.port()) + " failed: connection refused");
}

TEST(net_connection_test, a_silent_server_times_out) {
  SilentPort silent;
  TNetConnection connection;
  prepare(connection, silent.port());
  connection.setConnectTimeout(milliseconds(200));
  EXPECT_EQ(serverErrorOf([&] { connection.setConnected(true); }),
            "connecting to ZEB18000.rdmImpEmailInt on " + address(silent.port()) +
                " failed: no answer within 200 ms");

  ScriptedServer server;
  server.holdCalls();
  prepare(connection, server.port());
  connection.setCallTimeout(milliseconds(300));
  connection.setConnected(true);
  EXPECT_EQ(serverErrorOf([&] { connection.call("GetEmail", json::array()); }),
            "calling GetEmail on " + address(server.port()) + " failed: no answer within 300 ms");
}

TEST(net_connection_test, a_server_that_hangs_up_is_not_taken_for_a_silent_one) {
  HangingUpPort port;
  TNetConnection connection;
  prepare(connection, port.port());
  EXPECT_EQ(serverErrorOf([&] { connection.setConnected(true); }),
            "connecting to ZEB18000.rdmImpEmailInt on " + address(port.port()) +
                " failed: the server closed the connection without a valid HTTP answer");
}

TEST(net_connection_test, an_answer_that_is_not_json_rpc_is_refused) {
  const std::pair<Answer, std::string> cases[] = {
      {{502, "<html><body>Bad Gateway</body></html>", "text/html"},
       "(HTTP 502, text/html): <html><body>Bad Gateway</body></html>"},
      {{200, R"({"status":"ok"})"}, R"((HTTP 200, application/json): {"status":"ok"})"},
      {{200, ""}, "(HTTP 200, application/json): (empty)"},
      {{200, std::string(150, 'x'), "text/plain"},
       "(HTTP 200, text/plain): " + std::string(100, 'x') + "..."},
  };
  for (const auto& [answer, detail] : cases) {
    ScriptedServer server;
    server.answerCallsWith(answer);
    TNetConnection connection;
    prepare(connection, server.port());
    connection.setConnected(true);
    EXPECT_EQ(serverErrorOf([&] { connection.call("GetEmail", json::array()); }),
              "calling GetEmail on " + address(server.port()) +
                  " failed: the answer is not a JSON-RPC response " + detail);
  }
}

// Arguments that cannot travel fail as every other call fails, before anything is sent.
TEST(net_connection_test, a_call_that_cannot_be_encoded_raises_a_server_error_and_sends_nothing) {
  const std::string badUtf8 = "a\xC3\x28";
  const std::string encoding =
      "[json.exception.type_error.316] invalid UTF-8 byte at index 2: 0x28";
  const struct {
    std::string method;
    json params;
    std::string reason;
  } cases[] = {
      {"SetDelEmail", json::object({{"year", "2025"}}), "the arguments are not a JSON array"},
      {"SetEmail", json::array({badUtf8}), "the arguments cannot be encoded (" + encoding + ")"},
      {badUtf8, json::array(), "the method's name cannot be encoded (" + encoding + ")"},
  };
  ScriptedServer server;
  TNetConnection connection;
  prepare(connection, server.port());
  connection.setConnected(true);
  for (const auto& c : cases) {
    EXPECT_EQ(serverErrorOf([&] { connection.call(c.method, c.params); }),
              "calling " + c.method + " on " + address(server.port()) + " failed: " + c.reason);
  }
  EXPECT_EQ(server.seen().size(), 1u);  // the connect's description only
}

TEST(net_connection_test, without_throw_exception_a_failed_connect_shows_at_the_next_call) {
  int port = closedPort();
  TNetConnection connection;
  prepare(connection, port);
  connection.setThrowException(false);
  connection.setConnected(true);
  EXPECT_FALSE(connection.Connected());
  std::string failure =
      "connecting to ZEB18000.rdmImpEmailInt on " + address(port) + " failed: connection refused";
  EXPECT_EQ(connection.connectError(), failure);
  EXPECT_EQ(serverErrorOf([&] { connection.call("GetEmail", json::array()); }),
            "calling GetEmail on ZEB18000.rdmImpEmailInt failed: not connected (" + failure + ")");

  connection.setConnected(false);
  EXPECT_EQ(connection.connectError(), "");
  EXPECT_EQ(serverErrorOf([&] { connection.callRaw("GetEmail", "[]"); }),
            "calling GetEmail on ZEB18000.rdmImpEmailInt failed: not connected");
}

}  // namespace
}  // namespace zeb::platform::net
