// `zeb18000 stats --server` against the real server: the listing a user gets through the network
// must be the one the database gives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/server.h"
#include "server/statistics_store.h"

namespace zeb::server {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Result {
  int status;
  std::string out;
  std::string err;
};

json row(const std::string& branch, const std::string& origin, const std::string& dest,
         const std::string& date, double volume, double count) {
  int month = std::stoi(date.substr(5, 2));
  auto code = [&](int per, const char* name) {
    return std::to_string((month - 1) / per + 1) + "\u00b0" + name;
  };
  return json::array({branch, origin, dest, date.substr(0, 4), date.substr(5, 2), date.substr(8, 2),
                      code(2, "Bim"), code(6, "Sem"), code(3, "Tri"), volume, count});
}

class StatsServerTest : public ::testing::Test {
 protected:
  StatsServerTest() {
    dir_ = fs::temp_directory_path() / ("zeb_stats_server_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    db_ = (dir_ / "stats.db").string();
    // Enough rows for several of the command's pages, and texts that the formats must escape.
    json changes = json::array();
    int n = 0;
    for (const char* branch : {"0001", "02"}) {
      for (int day = 1; day <= 28; ++day) {
        std::string date = "2024-02-" + std::string(day < 10 ? "0" : "") + std::to_string(day);
        for (int i = 0; i < 90; ++i) {
          ++n;
          std::string origin =
              (i % 3 == 0 ? "Sales" : "sales") + std::to_string(i) + "@example.com";
          std::string dest =
              i % 7 == 0 ? "\"Quoted, Name\"\t<x\\y@example.org>" : "ops@example.org";
          changes.push_back(
              {{"op", "insert"},
               {"row", row(branch, origin, dest, date, n * 10.0 + (n % 2) * 0.5, n % 5 + 1)}});
        }
      }
    }
    std::string text =
        json::array({{{"columns", json::parse(columnsJson())}, {"changes", changes}}}).dump();
    EmailBatch batch;
    decodeSetEmailParams(text, batch);
    StatisticsStore store(db_, StatisticsStore::Mode::kReadWrite);
    Replacement none;
    store.apply(batch, none);
  }
  ~StatsServerTest() override { fs::remove_all(dir_); }

  Result run(const std::string& args) {
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    std::string command =
        std::string(ZEB18000_BIN) + " " + args + " >" + out.string() + " 2>" + err.string();
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  }

  static std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  std::string db_;
};

TEST_F(StatsServerTest, ListingFromTheServerEqualsTheListingFromTheDatabase) {
  ServerOptions options;
  options.port = 0;
  options.databasePath = db_;
  Server server(options);
  server.start();
  std::string address = " --server 127.0.0.1:" + std::to_string(server.port());
  for (const char* format : {"tsv", "table", "csv", "json"}) {
    for (const char* filter :
         {"", " --branch 0001", " --branch 02 --from 2024-02-10 --to 2024-02-20",
          " --from 2024-03-01"}) {
      SCOPED_TRACE(std::string(format) + filter);
      std::string args = std::string("stats --format ") + format + filter;
      Result fromServer = run(args + address);
      Result fromDb = run(args + " --db " + db_);
      EXPECT_EQ(fromServer.status, 0) << fromServer.err;
      EXPECT_EQ(fromDb.status, 0) << fromDb.err;
      EXPECT_EQ(fromServer.out, fromDb.out);
      if (std::string(format) == "tsv" && std::string(filter).empty()) {
        EXPECT_EQ(std::count(fromServer.out.begin(), fromServer.out.end(), '\n'), 2 * 28 * 90);
      }
    }
  }
  server.stop();
}

TEST_F(StatsServerTest, QueryTheServerRefusesOrCannotAnswerEndsWithItsReason) {
  ServerOptions options;
  options.port = 0;
  options.databasePath = db_;
  Server server(options);
  server.start();
  std::string address = " --server 127.0.0.1:" + std::to_string(server.port());
  Result r = run("stats --from 2024-02-30" + address);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("GetEmailStats failed: GetEmailStats: 'from' must be a date YYYY-MM-DD of "
                       "the calendar, not '2024-02-30'"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  int port = server.port();
  server.stop();
  r = run("stats --server 127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << r.err;
  r = run("stats --server nowhere --db " + db_);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--db and --server do not go together"), std::string::npos) << r.err;
}

TEST_F(StatsServerTest, OverTlsWithATokenImportAndListingGoThroughAndNothingElseDoes) {
  std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
  std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
      "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0);
  std::string tokenFile = (dir_ / "token").string();
  std::ofstream(tokenFile) << "  the-token-of-this-test  \n";
  ServerOptions options;
  options.port = 0;
  options.databasePath = db_;
  options.token = "the-token-of-this-test";
  options.tlsCertFile = cert;
  options.tlsKeyFile = key;
  Server server(options);
  server.start();
  std::string address = " --server https://localhost:" + std::to_string(server.port());
  std::string trust = " --ca-file " + cert;

  Result imported = run("import --quiet --branch 0009" + address + trust + " --token-file " +
                        tokenFile + " " ZEB_SAMPLE_LOG);
  EXPECT_EQ(imported.status, 0) << imported.err;
  ::setenv("ZEB_TOKEN_FILE", tokenFile.c_str(), 1);
  Result listed = run("stats --format tsv --branch 0009" + address + trust);
  ::unsetenv("ZEB_TOKEN_FILE");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 6) << listed.out;

  Result noToken = run("stats" + address + trust);
  EXPECT_EQ(noToken.status, 1);
  EXPECT_NE(noToken.err.find("The call carries no token"), std::string::npos) << noToken.err;
  Result untrusted = run("stats" + address + " --token-file " + tokenFile);
  EXPECT_EQ(untrusted.status, 1);
  EXPECT_NE(untrusted.err.find("the server's certificate is not trusted"), std::string::npos)
      << untrusted.err;
  Result insecure =
      run("stats --format tsv --branch 0009 --insecure --token-file " + tokenFile + address);
  EXPECT_EQ(insecure.status, 0) << insecure.err;
  EXPECT_EQ(insecure.out, listed.out);
  EXPECT_EQ(insecure.err,
            "zeb18000: warning: --insecure: the server's certificate is not verified\n");
  for (const Result* r : {&imported, &listed, &noToken, &untrusted, &insecure}) {
    EXPECT_EQ(r->err.find("the-token-of-this-test"), std::string::npos) << r->err;
  }
  server.stop();
}

}  // namespace
}  // namespace zeb::server
