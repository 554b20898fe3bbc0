#include "platform/os/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/exceptions.h"

namespace zeb::platform::os {
namespace {

namespace fs = std::filesystem;

class file_test : public ::testing::Test {
 protected:
  ~file_test() override { fs::remove_all(dir_); }
  std::string dir_ = ::mkdtemp((fs::temp_directory_path() / "zeb_os_XXXXXX").string().data());
  std::string path_ = dir_ + "/f";
};

TEST_F(file_test, create_empties_an_existing_file) {
  std::ofstream(path_) << "old contents";
  File file(path_, File::Mode::kCreate);
  file.write("new", 3);
  file.close();
  EXPECT_EQ(fs::file_size(path_), 3u);
}

TEST_F(file_test, positions_and_sizes_are_64_bit) {
  std::ofstream(path_) << "";
  fs::resize_file(path_, 5ull << 30);
  File file(path_, File::Mode::kRead);
  EXPECT_EQ(file.size(), 5368709120);
  EXPECT_FALSE(file.eof());
}

TEST_F(file_test, a_closed_file_or_the_wrong_mode_fails_with_ebadf) {
  std::ofstream(path_) << "x";
  File file(path_, File::Mode::kRead);
  try {
    file.write("y", 1);
    ADD_FAILURE() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.what(), "Writing '" + path_ + "' failed: Bad file descriptor");
  }
  file.close();
  file.close();  // harmless
  char byte;
  EXPECT_THROW(file.read(&byte, 1), EInOutError);
}

}  // namespace
}  // namespace zeb::platform::os
