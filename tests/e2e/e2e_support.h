// Helpers for the end-to-end tests: mail logs written to a temporary directory, the real server
// on an ephemeral loopback port (in this process or in a child process that can be killed),
// the real connection, and the stored statistics read back.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "import/net_server_object.h"
#include "import/upload.h"
#include "platform/net/net_connection.h"
#include "server/email_layout.h"
#include "server/server.h"
#include "server/statistics_store.h"
#include "server/stats_report.h"

namespace zeb::e2e {

namespace fs = std::filesystem;

// A directory of its own under the temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    static int serial = 0;
    path_ = fs::temp_directory_path() /
            ("zeb_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(++serial));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// One delivered message of a December day: one sending line and one delivery line.
struct Mail {
  int day;
  std::string from;
  std::string to;
  int size;
};

// Writes the mails as a Postfix log, in the order given, each with a queue identifier of its
// own, and answers the path.
inline std::string writeLog(const std::string& path, const std::vector<Mail>& mails) {
  std::string text;
  char head[64];
  int serial = 0;
  for (const Mail& m : mails) {
    ++serial;
    std::snprintf(head, sizeof head, "Dec %2d %02d:%02d:%02d mx ", m.day, serial / 3600 % 24,
                  serial / 60 % 60, serial % 60);
    char id[16];
    std::snprintf(id, sizeof id, "%02d%08X", m.day, serial);
    text += std::string(head) + "postfix/qmgr[311]: " + id + ": from=<" + m.from +
            ">, size=" + std::to_string(m.size) + ", nrcpt=1 (queue active)\n";
    text += std::string(head) + "postfix/smtp[312]: " + id + ": to=<" + m.to +
            ">, relay=mx.cliente.com.br[192.0.2.25]:25, delay=0.4, dsn=2.0.0, status=sent (250 "
            "2.0.0 Ok)\n";
    text += std::string(head) + "postfix/qmgr[311]: " + id + ": removed\n";
  }
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// "count" mails, each with an origin of its own, so that every mail is one statistics row:
// whatever reaches the server can be checked to be whole batches. "perDay" mails a day from
// "firstDay" on.
inline std::vector<Mail> distinctMails(int count, int firstDay, int perDay) {
  std::vector<Mail> mails;
  for (int i = 0; i < count; ++i) {
    mails.push_back({firstDay + i / perDay, "remetente" + std::to_string(i) + "@empresa.com.br",
                     "compras@cliente.com.br", 1000 + i * 37 % 5000});
  }
  return mails;
}

// "count" mails of one day between a few addresses, so that most fold into rows that an earlier
// mail (often of an earlier upload batch) made; some addresses differ from others only in
// letter case. "salt" varies the sizes and the pairs between logs.
inline std::vector<Mail> busyDay(int day, int count, int salt = 0) {
  std::vector<Mail> mails;
  for (int i = 0; i < count; ++i) {
    int sender = (i * 7 + salt) % 9;
    std::string from = "usuario" + std::to_string(sender) + "@empresa.com.br";
    if (i % 5 == 0) from[0] = 'U';
    mails.push_back({day, from, "contato" + std::to_string((i + salt) % 13) + "@cliente.com.br",
                     500 + (i * 131 + salt * 17) % 20000});
  }
  return mails;
}

inline std::vector<Mail> concat(std::vector<std::vector<Mail>> parts) {
  std::vector<Mail> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The stored statistics of the database at "path", one text per row ("|" between the 11
// columns in their order), sorted by branch, date, origin and destination.
inline std::vector<std::string> storedRows(const std::string& path,
                                           const server::RowFilter& filter = {}) {
  std::vector<std::string> rows;
  server::StatisticsStore store(path, server::StatisticsStore::Mode::kReadOnly);
  store.forEach(filter, [&rows](const server::EmailRow& row) {
    std::string text;
    for (std::string_view part : row.texts) {
      text += part;
      text += '|';
    }
    rows.push_back(text + server::formatNumber(row.volume) + "|" + server::formatNumber(row.count));
  });
  return rows;
}

// A connection to the server object at 127.0.0.1:"port", connected.
inline void connectTo(platform::net::TNetConnection& net, int port) {
  net.setConnected(false);
  net.setHost("127.0.0.1");
  net.setPort(port);
  net.setServerName(std::string(server::kObjectName));
  net.setConnected(true);
}

// The server in this process, on a database file that outlives it.
class LiveServer {
 public:
  explicit LiveServer(std::string database) : database_(std::move(database)) { start(); }

  // A new server on the same database; a new connection (and so a new import session) to it.
  void start() {
    server::ServerOptions options;
    options.port = 0;
    options.databasePath = database_;
    server_ = std::make_unique<server::Server>(options);
    server_->start();
    connectTo(net_, server_->port());
  }
  void stop() { server_->stop(); }

  int port() const { return server_->port(); }
  server::ServerMetrics metrics() const { return server_->metrics(); }
  import::ServerObject& object(){return object_;
} platform::net::TNetConnection& connection() {
  return net_;
}
std::vector<std::string> rows(const server::RowFilter& filter = {}) const {
  return storedRows(database_, filter);
}

private:
std::string database_;
std::unique_ptr<server::Server> server_;
platform::net::TNetConnection net_;
import::NetServerObject object_{net_};
};  // namespace zeb::e2e

// The server in a child process, which a test can kill as a crash would.
class ChildServer {
 public:
  explicit ChildServer(const std::string& database) {
    int pipe[2];
    if (::pipe(pipe) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // A test that dies (a failed check under a sanitizer aborts) must not leave its server
      // running: ctest would wait for ever on the output the server still holds open.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(1);
      ::close(pipe[0]);
      int port = 0;
      try {
        server::ServerOptions options;
        options.port = 0;
        options.databasePath = database;
        // Leaked on purpose: the child ends by SIGKILL, never by returning.
        auto* server = new server::Server(options);
        server->start();
        port = server->port();
      } catch (...) {
        port = -1;
      }
      if (::write(pipe[1], &port, sizeof port) != sizeof port) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(pipe[1]);
    if (::read(pipe[0], &port_, sizeof port_) != sizeof port_) port_ = -1;
    ::close(pipe[0]);
    if (port_ <= 0) {
      kill();
      throw std::runtime_error("the child server did not start");
    }
  }
  ~ChildServer() { kill(); }
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // SIGKILL, and waits for the child to be gone. Safe to call twice.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
  int port_ = 0;
};

// Passes every call on to another server object, counting them, and runs a hook around each.
class Tap : public import::ServerObject {
 public:
  explicit Tap(import::ServerObject& inner) : inner_(inner) {}

  nlohmann::json call(std::string_view method, const nlohmann::json& params) override {
    before(method);
    nlohmann::json answer = inner_.call(method, params);
    after(method);
    return answer;
  }
  nlohmann::json callRaw(std::string_view method, std::string paramsJson) override {
    if (method == "SetEmail") {
      changesPerBatch.push_back(nlohmann::json::parse(paramsJson)[0]["changes"].size());
    }
    before(method);
    nlohmann::json answer = inner_.callRaw(method, std::move(paramsJson));
    after(method);
    return answer;
  }

  // A call sent goes on to the inner object's send(); its hooks run when it is sent and when
  // it is answered.
  void send(std::string_view method, std::string paramsJson) override {
    if (method == "SetEmail") {
      changesPerBatch.push_back(nlohmann::json::parse(paramsJson)[0]["changes"].size());
    }
    before(method);
    sent_ = std::string(method);
    inner_.send(method, std::move(paramsJson));
  }
  nlohmann::json answer() override {
    nlohmann::json answer = inner_.answer();
    after(sent_);
    return answer;
  }
  bool sending() const override { return inner_.sending(); }
  void abandon() noexcept override { inner_.abandon(); }

  int count(std::string_view method) const {
    int n = 0;
    for (const auto& m : methods) n += m == method;
    return n;
  }

  std::vector<std::string> methods;              // every call, in order
  std::vector<std::size_t> changesPerBatch;      // the changes of every SetEmail, in order
  std::function<void(std::string_view)> onCall;  // before a call is passed on
  std::function<void(std::string_view)> onDone;  // after it has answered

 private:
  std::string sent_;
  void before(std::string_view method) {
    methods.emplace_back(method);
    if (onCall) onCall(method);
  }
  void after(std::string_view method) {
    if (onDone) onDone(method);
  }

  import::ServerObject& inner_;
};

}  // namespace zeb::e2e
