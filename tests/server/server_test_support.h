// Helpers for the server tests: statistics rows and deltas in the wire's shape.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "server/email_layout.h"

namespace zeb::server::test {

using nlohmann::json;

// The test's name made fit for a directory name: parameterized tests carry a "/" in it.
inline std::string testDirectoryName() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// A new empty directory for the running test, under the system's temporary directory.
inline std::filesystem::path freshTestDirectory(const std::string& prefix) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              (prefix + std::to_string(::getpid()) + "_" + testDirectoryName());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// Runs one statement on a database file of the server's, from outside the server.
inline void execOn(const std::filesystem::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A cdsDados row as the module sends it, with the period codes of its month.
inline json statRow(const std::string& branch, const std::string& origin, const std::string& dest,
                    const std::string& date /* YYYY-MM-DD */, double volume, double count) {
  std::string y = date.substr(0, 4), m = date.substr(5, 2), d = date.substr(8, 2);
  int month = std::stoi(m);
  auto code = [&](int per, const char* name) {
    return std::to_string((month - 1) / per + 1) + "\u00b0" + name;
  };
  return json::array({branch, origin, dest, y, m, d, code(2, "Bim"), code(6, "Sem"), code(3, "Tri"),
                      volume, count});
}

inline json insertChange(const json& row) { return {{"op", "insert"}, {"row", row}}; }
inline json updateChange(const json& old, const json& row) {
  return {{"op", "update"}, {"old", old}, {"row", row}};
}
inline json deleteChange(const json& old) { return {{"op", "delete"}, {"old", old}}; }

inline json deltaOf(const json& changes) {
  return {{"columns", json::parse(columnsJson())}, {"changes", changes}};
}

}  // namespace zeb::server::test
