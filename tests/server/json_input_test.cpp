#include "server/json_input.h"

#include <gtest/gtest.h>

#include <string>

namespace zeb::server {
namespace {

struct StringCase {
  const char* name;
  std::string json;
  std::string text;
  std::size_t characters;
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class JsonInputStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonInputStringTest, DecodesTheTextAndCountsItsCharacters) {
  const StringCase& c = GetParam();
  std::string json = "[" + c.json + "]";
  std::string arena;
  arena.reserve(json.size());
  json::Input input;
  for (auto element : input.get(input.open(json).get_array())) {
    std::size_t characters = 0;
    EXPECT_EQ(input.text(input.get(std::move(element)), arena, &characters), c.text);
    EXPECT_EQ(characters, c.characters);
  }
  input.expectEnd();
}

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonInputStringTest,
    ::testing::Values(StringCase{"Plain", R"("a@example.com")", "a@example.com", 13},
                      StringCase{"Empty", R"("")", "", 0},
                      StringCase{"Utf8",
                                 "\"Jos\xC3\xA9 1\xC2\xB0"
                                 "Bim\"",
                                 "Jos\xC3\xA9 1\xC2\xB0"
                                 "Bim",
                                 10},
                      StringCase{"FourByteCharacter", "\"\xF0\x9F\x98\x80!\"", "\xF0\x9F\x98\x80!",
                                 2},
                      StringCase{"Escapes", R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t", 12},
                      StringCase{"UnicodeEscape", R"("Jos\u00e9\u00B0")", "Jos\xC3\xA9\xC2\xB0", 5},
                      StringCase{"SurrogatePair", R"("x\ud83d\ude00y")", "x\xF0\x9F\x98\x80y", 3},
                      StringCase{"EscapeThenUtf8", "\"\\n\xC3\xA9z\"", "\n\xC3\xA9z", 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonInputTest, TextWithoutEscapesIsAViewIntoTheCallersText) {
  std::string json = R"(["abc" , "d\u0065f", {"k": [1, "x"]}])";
  std::string arena;
  arena.reserve(json.size());
  json::Input input;
  auto values = input.get(input.open(json).get_array());
  auto it = values.begin();
  std::string first = input.text(input.get(*it));
  std::string_view view = input.text(input.get(*++it), arena);
  EXPECT_EQ(first, "abc");
  EXPECT_EQ(view, "def");
  EXPECT_EQ(view.data(), arena.data());
  std::string_view structure = input.structure(input.get(*++it));
  EXPECT_EQ(structure, R"({"k": [1, "x"]})");
  EXPECT_EQ(structure.data(), json.data() + json.find('{'));
}

TEST(JsonInputTest, ReadsNumbersAsDoubles) {
  std::string json = "[0, 987, 987.0, -1.5, 4294967296000, 1e3, 2.5E-1, 1e-400, "
                     "123456789012345678901234567890]";
  std::vector<double> expected = {0, 987, 987, -1.5, 4294967296000.0, 1000, 0.25, 0, 1.2345678901234568e29};
  json::Input input;
  std::size_t i = 0;
  for (auto element : input.get(input.open(json).get_array())) {
    ASSERT_LT(i, expected.size());
    EXPECT_EQ(input.number(input.get(std::move(element))), expected[i++]);
  }
  EXPECT_EQ(i, expected.size());
}

struct MalformedCase {
  const char* name;
  std::string json;
  std::string reason;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class JsonInputMalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(JsonInputMalformedTest, ReadingItThroughRefusesItAndSaysWhy) {
  json::Input input;
  try {
    input.open(GetParam().json);
    input.skipDocument();
    FAIL() << "accepted";
  } catch (const JsonSyntaxError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 22), "Malformed JSON at byte");
    EXPECT_NE(std::string(e.what()).find(GetParam().reason), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, JsonInputMalformedTest,
    ::testing::Values(
        MalformedCase{"Empty", "", "the text is empty"},
        MalformedCase{"UnclosedString", R"(["abc)", ""},
        MalformedCase{"ControlCharacter", "\"a\tb\"", "control character"},
        MalformedCase{"OverlongUtf8", "\"\xC0\xAF\"", "not UTF-8"},
        MalformedCase{"EncodedSurrogate", "\"\xED\xA0\x80\"", "not UTF-8"},
        MalformedCase{"TruncatedUtf8", "\"\xE2\x82\"", "not UTF-8"},
        MalformedCase{"UnknownEscape", R"(["a\x"])", "escape"},
        MalformedCase{"ShortUnicodeEscape", R"(["\u00g0"])", "escape"},
        MalformedCase{"LoneLowSurrogate", R"(["\udc00"])", "surrogate"},
        MalformedCase{"HighSurrogateAlone", R"(["\ud83dx"])", "surrogate"},
        MalformedCase{"LeadingZero", "[012]", "number"},
        MalformedCase{"BareDecimalPoint", "[1.]", "number"},
        MalformedCase{"HugeNumber", "[1e999]", "number"},
        MalformedCase{"PlusSign", "[+1]", ""},
        MalformedCase{"TrailingComma", "[1, 2,]", ""},
        MalformedCase{"MissingComma", "[1 2]", ""},
        MalformedCase{"UnquotedKey", "{a: 1}", ""},
        MalformedCase{"MissingColon", R"({"a" 1})", ""},
        MalformedCase{"Unclosed", "[[1]", ""},
        MalformedCase{"BadLiteral", "[tru]", ""},
        MalformedCase{"BadNull", "[nul]", ""},
        MalformedCase{"TooDeep", std::string(65, '[') + std::string(65, ']'), "nested more than 64"},
        MalformedCase{"TwoValues", "[1] 2", "unexpected text after the value"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonInputTest, NestingUpToTheLimitIsRead) {
  json::Input input;
  input.open(std::string(64, '[') + std::string(64, ']'));
  input.skipDocument();
}

}  // namespace
}  // namespace zeb::server
