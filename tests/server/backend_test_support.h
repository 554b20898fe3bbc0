// The storage backends that the server tests run against: a SQLite file in the test's folder,
// or a schema of its own in the throwaway PostgreSQL cluster that ctest starts for the server
// tests (scripts/pg-cluster, the fixture "postgresql"; its URI in the file that
// ZEB_TEST_POSTGRESQL_FILE names).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>

#include "server/pg_connection.h"

namespace zeb::server::test {

enum class Backend { kSqlite, kPostgres };

inline void PrintTo(Backend backend, std::ostream* os) {
  *os << (backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

// The URI of the test cluster; empty when there is none.
inline std::string testClusterUri() {
  const char* file = std::getenv("ZEB_TEST_POSTGRESQL_FILE");
  if (file == nullptr) return {};
  std::ifstream in(file);
  std::string uri;
  std::getline(in, uri);
  return uri;
}

// Skips the test when there is no cluster, and fails it instead under CI, where the PostgreSQL
// tests must run. For SetUp() and test bodies.
#define ZEB_REQUIRE_POSTGRESQL(uri)                                                          \
  if ((uri).empty()) {                                                                      \
    if (std::getenv("CI") != nullptr) {                                                     \
      FAIL() << "no PostgreSQL cluster for the tests (scripts/pg-cluster failed or is not " \
                "run by ctest's fixture)";                                                  \
    }                                                                                       \
    GTEST_SKIP() << "no PostgreSQL cluster (run the tests through ctest)";                  \
  }

// A schema of its own in the test cluster, dropped with everything in it at the end.
class PostgresSchema {
 public:
  PostgresSchema() {
    base_ = testClusterUri();
    if (base_.empty()) return;
    static std::atomic<int> counter{0};
    name_ = "t" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    PgConnection(base_).exec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE; CREATE SCHEMA " + name_,
                             "making a test schema");
    uri_ = base_ + "?options=-csearch_path%3D" + name_;
  }
  ~PostgresSchema() {
    if (name_.empty()) return;
    try {
      PgConnection(base_).exec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE", "dropping it");
    } catch (...) {
    }
  }
  PostgresSchema(const PostgresSchema&) = delete;
  PostgresSchema& operator=(const PostgresSchema&) = delete;

  // The URI whose connections work in this schema; empty when there is no cluster.
  const std::string& uri() const { return uri_; }
  // Runs "sql" in the schema, from outside the server.
  void exec(const std::string& sql) const {
    PgConnection(uri_).exec(sql, "running a test statement");
  }

 private:
  std::string base_, name_, uri_;
};

}  // namespace zeb::server::test
