// An application server on an ephemeral loopback port that answers as a test scripts it, for
// the tests of the connection and of what reads through it.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zeb::platform::net::test {

inline constexpr char kObject[] = "ZEB18000.rdmImpEmailInt";
inline constexpr char kDescription[] =
    R"({"object":"ZEB18000.rdmImpEmailInt","methods":["GetEmail","SetDelEmail","SetEmail"]})";

struct Seen {
  std::string method;
  std::string path;
  std::string session;
  std::string contentType;
  std::string body;
  int remotePort;
};

struct Answer {
  int status;
  std::string body;
  std::string type = "application/json";
};

// An application server on an ephemeral loopback port that answers as the test scripts it
// and remembers every request.
class ScriptedServer {
 public:
  // Stopping waits for the connections that a client keeps open: a server that closes each
  // connection after its answer stops at once.
  explicit ScriptedServer(bool keepConnections = true) {
    server_.set_tcp_nodelay(true);
    if (!keepConnections) server_.set_keep_alive_max_count(1);
    server_.Get("/rpc/.*", [this](const httplib::Request& request, httplib::Response& response) {
      answer(request, response, description_);
    });
    server_.Post("/rpc/.*", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      released_.wait(lock, [this] { return !holding_; });
      lock.unlock();
      answer(request, response, call_);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~ScriptedServer() { stop(); }

  int port() const { return port_; }
  void describeAs(Answer answer) { description_ = std::move(answer); }
  void answerCallsWith(Answer answer) { call_ = std::move(answer); }
  void holdCalls() { holding_ = true; }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      holding_ = false;
    }
    released_.notify_all();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void answer(const httplib::Request& request, httplib::Response& response, const Answer& with) {
    std::lock_guard lock(mutex_);
    seen_.push_back({request.method, request.path, request.get_header_value("X-Zeb-Session"),
                     request.get_header_value("Content-Type"), request.body, request.remote_port});
    response.status = with.status;
    response.set_content(with.body, with.type);
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  Answer description_{200, kDescription};
  Answer call_{200, R"({"jsonrpc":"2.0","id":1,"result":true})"};
  std::mutex mutex_;
  std::condition_variable released_;
  bool holding_ = false;
  std::vector<Seen> seen_;
};

}  // namespace zeb::platform::net::test
