#include "host/text_services.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/core/exceptions.h"

namespace zeb::host {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(text_services_test, ajusta_pads_a_day_or_month_to_two_digits) {
  const std::pair<const char*, const char*> cases[] = {
      {"5 ", "05"},  // a day as cut from the log line, with its ending blank
      {"15 ", "15"}, {"3", "03"}, {"12", "12"}, {" 7", "07"},
  };
  for (auto [text, expected] : cases) EXPECT_EQ(Ajusta(text, 2), expected) << text;
}

TEST(text_services_test, ajusta_refuses_what_is_not_a_number_of_one_or_two_digits) {
  const std::pair<const char*, const char*> cases[] = {
      {"x", "'x' is not a number of 1 to 2 digits"},
      {"", "'' is not a number of 1 to 2 digits"},
      {"123", "'123' is not a number of 1 to 2 digits"},
      {"1a", "'1a' is not a number of 1 to 2 digits"},
      {"  ", "'  ' is not a number of 1 to 2 digits"},
      {"-1", "'-1' is not a number of 1 to 2 digits"},
  };
  for (auto [text, message] : cases) {
    EXPECT_THAT([&] { Ajusta(text, 2); }, ThrowsMessage<platform::EConvertError>(StrEq(message)))
        << text;
  }
}

TEST(text_services_test, ltrim_drops_leading_spaces_only) {
  const std::pair<const char*, const char*> cases[] = {
      {"  a ", "a "}, {"\t a", "\t a"}, {" \ta", "\ta"}, {"   ", ""}, {"", ""}, {"a", "a"},
  };
  for (auto [text, expected] : cases) EXPECT_EQ(LTrim(text), expected) << text;
}

TEST(text_services_test, empty_string_is_true_for_nothing_but_spaces) {
  const std::pair<const char*, bool> cases[] = {
      {"", true},
      {"   ", true},
      {" a", false},
      {"\t", false},
  };
  for (auto [text, expected] : cases) EXPECT_EQ(EmptyString(text), expected) << text;
}

}  // namespace
}  // namespace zeb::host
