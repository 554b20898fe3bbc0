#include "import/log_paths.h"

#include <gtest/gtest.h>

#include "platform/core/exceptions.h"

namespace zeb::import {
namespace {

TEST(log_paths_test, the_field_text_and_its_paths_go_both_ways) {
  struct Case {
    std::string text;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"", {}},
      {"/var/log/mail.log", {"/var/log/mail.log"}},
      {"C:\\logs\\mail log.txt", {"C:\\logs\\mail log.txt"}},  // blanks in one path stay
      {"my \"odd\" log", {"my \"odd\" log"}},                  // quotes inside one path stay
      {"\"mail.log.2.gz\" \"mail.log.1\" \"mail.log\"",
       {"mail.log.2.gz", "mail.log.1", "mail.log"}},
      {"\"a b\" \"c\"\"d\"", {"a b", "c\"d"}},  // a quote in a path is written twice
      {"\"\"\"quoted\"\"\"", {"\"quoted\""}},   // one path that begins with a quote
  };
  for (const Case& c : cases) {
    EXPECT_EQ(splitLogPaths(c.text), c.paths) << c.text;
    EXPECT_EQ(joinLogPaths(c.paths), c.text) << c.text;
  }
  EXPECT_EQ(splitLogPaths("\"a\"\t \"b\" "), (std::vector<std::string>{"a", "b"}));
}

TEST(log_paths_test, a_list_that_cannot_be_read_says_where) {
  struct Case {
    std::string text, message;
  };
  const Case cases[] = {
      {"\"a\" b", "the file list '\"a\" b' has a path without quotes at character 5"},
      {"\"a\" \"b", "the file list '\"a\" \"b' has a quote left open at character 5"},
      {"\"a\"\"", "the file list '\"a\"\"' has a quote left open at character 1"},
      {"\"a\"x", "the file list '\"a\"x' needs a blank at character 4"},
  };
  for (const Case& c : cases) {
    try {
      splitLogPaths(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const platform::EConvertError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace zeb::import
