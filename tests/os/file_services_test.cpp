#include "platform/os/file_services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A pid that no process has: a child's, once it has ended and been reaped.
pid_t endedPid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST_F(file_services_test, only_abandoned_temporary_files_of_ours_are_removed) {
  ScopedEnv env("TMPDIR", dir_.c_str());
  std::string dead = std::to_string(endedPid());
  std::string alive = std::to_string(::getppid());
  std::string mine = makeTemporaryFile();  // this live process's, locked
  int lockHolder = -1;
  struct Case {
    std::string name;
    enum { kFile, kLockedFile, kDirectory, kLink } kind;
    bool removed;
  };
  const Case cases[] = {
      {"tmpzeb-" + dead + "-a1B2c3", Case::kFile, true},
      // A lock held means the file is in use, whatever its pid says (another pid namespace).
      {"tmpzeb-" + dead + "-d4E5f6", Case::kLockedFile, false},
      {"tmpzeb-" + alive + "-g7H8i9", Case::kFile, false},
      {"tmpzeb-" + dead + "-dir123", Case::kDirectory, false},
      {"tmpzeb-" + dead + "-lnk123", Case::kLink, false},
      {"tmpzeb-" + dead + "-toolong1", Case::kFile, false},
      {"tmpzeb--a1B2c3", Case::kFile, false},
      {"tmpzeb-12x4-a1B2c3", Case::kFile, false},
      {"tmpA1b2C3", Case::kFile, false},  // another program's temporary file
  };
  std::string outside = dir_ + "/outside";
  std::ofstream(outside) << "kept";
  for (const Case& c : cases) {
    std::string path = dir_ + "/" + c.name;
    if (c.kind == Case::kDirectory) {
      fs::create_directory(path);
    } else if (c.kind == Case::kLink) {
      fs::create_symlink(outside, path);
    } else {
      std::ofstream(path) << "work";
      if (c.kind == Case::kLockedFile) {
        lockHolder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(lockHolder, LOCK_EX), 0);
      }
    }
  }
  removeAbandonedTemporaryFiles();
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(fs::symlink_status(dir_ + "/" + c.name)), !c.removed) << c.name;
  }
  EXPECT_TRUE(fs::exists(mine));
  EXPECT_TRUE(fs::exists(outside));
  ::close(lockHolder);

  // Deleting its file releases the lock with the name; a file of this process is never taken.
  EXPECT_TRUE(deleteFile(mine));
  EXPECT_FALSE(fs::exists(mine));
  EXPECT_EQ(fs::path(makeTemporaryFile())
                .filename()
                .string()
                .rfind("tmpzeb-" + std::to_string(::getpid()) + "-", 0),
            0u);
}

}  // namespace
}  // namespace zeb::platform::os
