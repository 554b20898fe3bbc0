#include "platform/os/file_services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/core/exceptions.h"

namespace zeb::platform::os {
namespace {

namespace fs = std::filesystem;

// Sets (or, with null, removes) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
    ::tzset();
  }
  ~ScopedEnv() {
    old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_);
    ::tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class file_services_test : public ::testing::Test {
 protected:
  ~file_services_test() override { fs::remove_all(dir_); }
  std::string dir_ = ::mkdtemp((fs::temp_directory_path() / "zeb_os_XXXXXX").string().data());
};

TEST_F(file_services_test, temporary_directory_is_tmpdir_else_tmp) {
  for (const char* tmpdir : {"/var/spool/x", "", static_cast<const char*>(nullptr)}) {
    ScopedEnv env("TMPDIR", tmpdir);
    EXPECT_EQ(temporaryDirectory(), tmpdir && *tmpdir ? tmpdir : "/tmp");
  }
}

TEST_F(file_services_test, temporary_file_is_new_empty_and_private_whatever_the_umask) {
  ScopedEnv env("TMPDIR", dir_.c_str());
  mode_t oldMask = ::umask(0);
  std::string first = makeTemporaryFile(), second = makeTemporaryFile();
  ::umask(oldMask);
  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
  }
}

TEST_F(file_services_test, year_is_taken_in_local_time) {
  std::string path = dir_ + "/log";
  std::ofstream(path) << "x";
  // 2024-12-31 23:30:00 UTC: still 2024 in UTC, already 2025 three hours east.
  const std::time_t kNewYearsEve = 1735687800;
  struct timespec times[2] = {{kNewYearsEve, 0}, {kNewYearsEve, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ScopedEnv utc("TZ", "UTC0");
  EXPECT_EQ(fileYear(path), "2024");
  ScopedEnv east("TZ", "EAST-3");
  EXPECT_EQ(fileYear(path), "2025");
}

TEST_F(file_services_test, existence_size_and_deletion) {
  std::string path = dir_ + "/f";
  std::ofstream(path) << "";
  fs::resize_file(path, 5ull << 30);  // sparse: sizes past 4 GiB take no space
  EXPECT_EQ(fileSize(path), 5368709120);
  EXPECT_TRUE(fileExists(path));
  EXPECT_FALSE(fileExists(dir_));
  EXPECT_TRUE(deleteFile(path));
  EXPECT_FALSE(fileExists(path));
  EXPECT_FALSE(deleteFile(path));
  try {
    deleteFile(dir_);
    ADD_FAILURE() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.what(), "Deleting '" + dir_ + "' failed: Is a directory");
  }
}

}  // namespace
}  // namespace zeb::platform::os
