// The server as a deployment meets it: tokens, TLS, limits, slow and idle clients,
// notifications and the call log, driven through real sockets and the module's connection.
#include "server/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/net/net_connection.h"
#include "platform/net/protocol.h"
#include "server/server.h"
#include "server/statistics_store.h"
#include "server_test_support.h"

namespace zeb::server {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::milliseconds;

constexpr const char* kSession = "0123456789abcdef0123456789abcdef";
constexpr const char* kToken = "t0ken-of-the-test";

// A plain socket to the server, for what a well-behaved client would not send.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // What arrives until the server closes the connection or has sent a whole answer with a
  // Content-Length; empty when nothing comes within "timeout".
  std::string receive(milliseconds timeout = milliseconds(5000)) {
    std::string text;
    for (;;) {
      pollfd watch{fd_, POLLIN, 0};
      if (::poll(&watch, 1, static_cast<int>(timeout.count())) <= 0) return text;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(n));
      std::size_t head = text.find("\r\n\r\n");
      std::size_t length = text.find("Content-Length: ");
      if (head != std::string::npos && length != std::string::npos && length < head) {
        std::size_t size = std::stoul(text.substr(length + 16));
        if (text.size() >= head + 4 + size) return text;
      }
    }
  }

 private:
  int fd_ = -1;
};

std::string postText(const std::string& body, const std::string& extraHeaders = "") {
  return "POST /rpc/ZEB18000.rdmImpEmailInt HTTP/1.1\r\nHost: test\r\n"
         "Content-Type: application/json\r\nX-Zeb-Session: " +
         std::string(kSession) + "\r\n" + extraHeaders +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kGetEmail = R"({"jsonrpc": "2.0", "id": 1, "method": "GetEmail", "params": []})";

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() { dir_ = test::freshTestDirectory("zeb_http_test_"); }
  ~HttpServerTest() override {
    if (server_) server_->stop();
    fs::remove_all(dir_);
  }

  ServerOptions options() {
    ServerOptions o;
    o.port = 0;
    o.databasePath = (dir_ / "stats.db").string();
    o.logCall = [this](const CallRecord& call) {
      std::lock_guard lock(logMutex_);
      log_.push_back(call);
    };
    return o;
  }
  void start(const ServerOptions& o) {
    server_ = std::make_unique<Server>(o);
    server_->start();
  }

  platform::net::TNetConnection& connection(platform::net::NetSecurity security = {},
                                            const std::string& host = "127.0.0.1") {
    net_ = std::make_unique<platform::net::TNetConnection>();
    net_->setHost(host);
    net_->setPort(server_->port());
    net_->setServerName(std::string(platform::net::protocol::kObjectName));
    net_->setSecurity(std::move(security));
    net_->setConnectTimeout(milliseconds(3000));
    net_->setCallTimeout(milliseconds(5000));
    return *net_;
  }

  std::vector<CallRecord> log() {
    std::lock_guard lock(logMutex_);
    return log_;
  }

  // A self-signed certificate for localhost and 127.0.0.1, made by the openssl tool.
  void makeCertificate(const std::string& name) {
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-days 2 -subj /CN=localhost "
        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
        (dir_ / (name + ".key")).string() + " -out " + (dir_ / (name + ".crt")).string() +
        " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  fs::path dir_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<platform::net::TNetConnection> net_;
  std::mutex logMutex_;
  std::vector<CallRecord> log_;
};

json storedRow() {
  return test::statRow("0001", "a@example.org", "b@example.org", "2026-03-14", 100, 1);
}

TEST_F(HttpServerTest, WithATokenOnlyCallsThatCarryItChangeAnything) {
  ServerOptions o = options();
  o.token = kToken;
  start(o);
  json delta = json::array({test::deltaOf(json::array({test::insertChange(storedRow())}))});
  struct Case {
    const char* name;
    std::string token;
    std::string message;
  };
  for (const Case& c : {
           Case{"none", "",
                "connecting to ZEB18000.rdmImpEmailInt on 127.0.0.1:" +
                    std::to_string(server_->port()) +
                    " failed: The call carries no token: this server takes calls with the "
                    "header 'Authorization: Bearer TOKEN' only, and nothing was done"},
           Case{"wrong", "t0ken-of-the-tesT",
                "connecting to ZEB18000.rdmImpEmailInt on 127.0.0.1:" +
                    std::to_string(server_->port()) +
                    " failed: The call's token is not this server's: nothing was done"},
       }) {
    SCOPED_TRACE(c.name);
    platform::net::TNetConnection& net = connection({.token = c.token});
    try {
      net.setConnected(true);
      FAIL() << "connected";
    } catch (const platform::EServerError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(std::string(e.what()).find(kToken), std::string::npos);
    }
  }
  // A call that skips the handshake is refused too, before its body is read.
  RawClient raw(server_->port());
  raw.send(postText(
      json({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "SetEmail"}, {"params", delta}}).dump(),
      "Authorization: Bearer nope\r\n"));
  std::string answer = raw.receive();
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 401 ")) << answer;
  EXPECT_NE(answer.find("\"code\": -32002"), std::string::npos) << answer;

  platform::net::TNetConnection& net = connection({.token = kToken});
  net.setConnected(true);
  EXPECT_EQ(net.call("GetEmail", json::array())["result"]["rows"], json::array());
  server_->flush();
  // Nothing from the refused calls.
  StatisticsStore store(o.databasePath, StatisticsStore::Mode::kReadOnly);
  int rows = 0;
  store.forEach(RowFilter{}, [&rows](const EmailRow&) { ++rows; });
  EXPECT_EQ(rows, 0);
  for (const CallRecord& call : log()) {
    EXPECT_EQ(call.message.find(kToken), std::string::npos);
  }
}

TEST_F(HttpServerTest, WithoutATokenTheServerListensOnLoopbackOnly) {
  ServerOptions o = options();
  o.host = "0.0.0.0";
  Server server(o);
  try {
    server.start();
    FAIL() << "started";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Not listening on 0.0.0.0:0 without a token: anyone who can reach that address "
              "could change the statistics. Give the server a token (serve --token-file FILE, "
              "or ZEB_TOKEN_FILE) and the same token to its clients, or listen on a loopback "
              "address such as 127.0.0.1");
  }
  EXPECT_FALSE(fs::exists(dir_ / "stats.db"));
  o.token = kToken;
  Server guarded(o);
  EXPECT_NO_THROW(guarded.start());
  guarded.stop();
}

TEST_F(HttpServerTest, TlsIsTakenWhenTheCertificateVerifiesAndRefusedOtherwise) {
  makeCertificate("server");
  makeCertificate("stranger");
  ServerOptions o = options();
  o.tlsCertFile = (dir_ / "server.crt").string();
  o.tlsKeyFile = (dir_ / "server.key").string();
  start(o);
  std::string where =
      "connecting to ZEB18000.rdmImpEmailInt on localhost:" + std::to_string(server_->port()) +
      " failed: ";
  struct Case {
    const char* name;
    platform::net::NetSecurity security;
    std::string failure;  // empty: the calls go through
  };
  for (const Case& c : {
           Case{"trusted", {.tls = true, .caFile = (dir_ / "server.crt").string()}, ""},
           Case{"system store",
                {.tls = true},
                where + "the server's certificate is not trusted (self-signed certificate)"},
           Case{"another CA",
                {.tls = true, .caFile = (dir_ / "stranger.crt").string()},
                where + "the server's certificate is not trusted (self-signed certificate)"},
           Case{"unverified", {.tls = true, .verifyPeer = false}, ""},
           Case{"plain HTTP",
                {},
                where + "This server speaks HTTPS only: ask for https://HOST:PORT"},
       }) {
    SCOPED_TRACE(c.name);
    platform::net::TNetConnection& net = connection(c.security, "localhost");
    try {
      net.setConnected(true);
      EXPECT_EQ(c.failure, "");
      EXPECT_EQ(net.call("GetEmail", json::array())["result"]["rows"], json::array());
    } catch (const platform::EServerError& e) {
      EXPECT_EQ(std::string(e.what()), c.failure);
    }
  }
}

TEST_F(HttpServerTest, UnreadableTlsFilesFailTheStartNamingTheFile) {
  ServerOptions o = options();
  o.tlsCertFile = (dir_ / "missing.crt").string();
  o.tlsKeyFile = (dir_ / "missing.key").string();
  Server server(o);
  try {
    server.start();
    FAIL() << "started";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot read the TLS certificate " + o.tlsCertFile + ": No such file or directory");
  }
}

TEST_F(HttpServerTest, SlowHeadsHoldNoWorkerAndTimeOut) {
  ServerOptions o = options();
  o.limits.workers = 2;
  o.limits.headerTimeout = milliseconds(1500);
  start(o);
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 40; ++i) {
    slow.push_back(std::make_unique<RawClient>(server_->port()));
    slow.back()->send("POST /rpc/ZEB18000.rdmImpEmailInt HTTP/1.1\r\nHost: x\r\nContent-");
  }
  // Answered long before the half heads time out, though they outnumber the workers.
  RawClient normal(server_->port());
  normal.send(postText(kGetEmail));
  std::string answer = normal.receive(milliseconds(1000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
  // Then each half head is told why it is closed.
  std::string refused = slow.front()->receive(milliseconds(5000));
  EXPECT_TRUE(refused.starts_with("HTTP/1.1 408 ")) << refused;
  EXPECT_NE(refused.find("The request's head did not arrive within 1500 ms"), std::string::npos);
}

TEST_F(HttpServerTest, SlowBodiesHoldNoWorkerAndTimeOut) {
  ServerOptions o = options();
  o.limits.workers = 1;
  o.limits.readTimeout = milliseconds(2500);
  start(o);
  const std::string request = postText(kGetEmail);
  const std::size_t bodyAt = request.size() - kGetEmail.size();
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 24; ++i) {
    slow.push_back(std::make_unique<RawClient>(server_->port()));
    slow.back()->send(request.substr(0, bodyAt + 1));
  }
  // The same body in two chunks.
  const std::string rest = kGetEmail.substr(16);
  char restSize[16];
  std::snprintf(restSize, sizeof restSize, "%zx", rest.size());
  const std::string chunked = request.substr(0, request.find("Content-Length")) +
                              "Transfer-Encoding: chunked\r\n\r\n10\r\n" + kGetEmail.substr(0, 16) +
                              "\r\n" + restSize + "\r\n" + rest + "\r\n0\r\n\r\n";
  const std::size_t chunksAt = chunked.find("\r\n\r\n") + 4;
  RawClient slowChunks(server_->port());
  slowChunks.send(chunked.substr(0, chunksAt + 5));
  // Answered long before the bodies time out, though they outnumber the workers.
  RawClient normal(server_->port());
  normal.send(request);
  std::string answer = normal.receive(milliseconds(1000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
  // A body that keeps coming, however slowly, is answered once whole; one that stops is told
  // why its connection is closed.
  for (std::size_t at = 0; bodyAt + 1 + at < request.size() || chunksAt + 5 + at < chunked.size();
       at += 8) {
    std::this_thread::sleep_for(milliseconds(20));
    if (bodyAt + 1 + at < request.size()) slow.front()->send(request.substr(bodyAt + 1 + at, 8));
    if (chunksAt + 5 + at < chunked.size()) slowChunks.send(chunked.substr(chunksAt + 5 + at, 8));
  }
  answer = slow.front()->receive(milliseconds(5000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
  answer = slowChunks.receive(milliseconds(5000));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
  std::string refused = slow.back()->receive(milliseconds(6000));
  EXPECT_TRUE(refused.starts_with("HTTP/1.1 408 ")) << refused;
  EXPECT_NE(refused.find("The request's body stopped arriving for 2500 ms"), std::string::npos);
}

TEST_F(HttpServerTest, AClientOpeningConnectionsWithoutEndCannotShutOthersOut) {
  ServerOptions o = options();
  o.limits.maxConnections = 50;
  start(o);
  std::vector<std::unique_ptr<RawClient>> flood;
  for (int i = 0; i < 500; ++i) {
    flood.push_back(std::make_unique<RawClient>(server_->port()));
    flood.back()->send("GET /rpc/ZEB18000.rdmImpEmailInt HTTP/1.1\r\nHo");
  }
  RawClient normal(server_->port());
  normal.send(postText(kGetEmail));
  EXPECT_TRUE(normal.receive().starts_with("HTTP/1.1 200 "));
  // The oldest made room, closed without a word.
  EXPECT_EQ(flood.front()->receive(milliseconds(2000)), "");
  flood.clear();
  RawClient after(server_->port());
  after.send(postText(kGetEmail));
  EXPECT_TRUE(after.receive().starts_with("HTTP/1.1 200 "));
}

TEST_F(HttpServerTest, HeadsAndBodiesOverTheLimitsAreRefusedWithTheLimit) {
  ServerOptions o = options();
  o.limits.maxHeaderBytes = 2048;
  o.limits.maxHeaderCount = 10;
  o.limits.maxBodyBytes = 1024;
  start(o);
  std::string manyHeaders;
  for (int i = 0; i < 11; ++i) manyHeaders += "X-Filler-" + std::to_string(i) + ": 1\r\n";
  struct Case {
    const char* name;
    std::string request;
    std::string status;
    std::string message;
  };
  for (const Case& c : {
           Case{"long head", postText(kGetEmail, "X-Long: " + std::string(3000, 'a') + "\r\n"),
                "431", "The request line and headers are over the limit of 2048 bytes"},
           Case{"many headers", postText(kGetEmail, manyHeaders), "431",
                "The request has 15 header lines; at most 10 are taken"},
           Case{"large body", postText(std::string(1025, ' ')), "413",
                "The request body of 1025 bytes is over the limit of 1024 bytes (1 KiB)"},
       }) {
    SCOPED_TRACE(c.name);
    RawClient raw(server_->port());
    raw.send(c.request);
    std::string answer = raw.receive();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + c.status + " ")) << answer;
    EXPECT_NE(answer.find(c.message), std::string::npos) << answer;
  }
}

TEST_F(HttpServerTest, IdleConnectionsStayOpenYetAStopClosesThemAtOnce) {
  start(options());
  RawClient raw(server_->port());
  raw.send(postText(kGetEmail));
  EXPECT_TRUE(raw.receive().starts_with("HTTP/1.1 200 "));
  // Python's http.client, for one, reuses a connection after any pause.
  std::this_thread::sleep_for(milliseconds(1500));
  raw.send(postText(kGetEmail));
  EXPECT_TRUE(raw.receive().starts_with("HTTP/1.1 200 "));
  auto started = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(raw.receive(milliseconds(1000)), "");
}

TEST_F(HttpServerTest, NotificationsAreCarriedOutAndAnsweredWithNothing) {
  start(options());
  RawClient raw(server_->port());
  for (const char* body :
       {R"({"jsonrpc": "2.0", "method": "SetDelEmail", "params": ["2026", "03", "14"]})",
        R"({"jsonrpc": "2.0", "method": "NoSuchMethod", "params": []})"}) {
    raw.send(postText(body));
    std::string answer = raw.receive();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 204 ")) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\n")) << answer;
  }
  // A body that is no request is still answered.
  raw.send(postText(R"({"jsonrpc": "2.0", "method": 5})"));
  EXPECT_TRUE(raw.receive().starts_with("HTTP/1.1 400 "));
  std::vector<CallRecord> calls = log();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].method, "SetDelEmail");
  EXPECT_EQ(calls[0].session, kSession);
  EXPECT_EQ(calls[0].code, 0);
  EXPECT_EQ(calls[1].code, -32601);
  EXPECT_EQ(calls[2].status, 400);
}

}  // namespace
}  // namespace zeb::server
