#include "server/json_reader.h"

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

class JsonReaderStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonReaderStringTest, DecodesTheTextAndCountsItsCharacters) {
  const StringCase& c = GetParam();
  std::string arena;
  arena.reserve(c.json.size());
  JsonReader reader(c.json);
  EXPECT_EQ(reader.readString(arena), c.text);
  EXPECT_EQ(reader.lastLength(), c.characters);
  reader.expectEnd();
}

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonReaderStringTest,
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

TEST(JsonReaderTest, TextWithoutEscapesIsAViewIntoTheInput) {
  std::string json = R"(["abc", "d\u0065f"])";
  std::string arena;
  arena.reserve(json.size());
  JsonReader reader(json);
  reader.expect('[');
  ASSERT_TRUE(reader.nextMember(']', true));
  std::string_view first = reader.readString(arena);
  ASSERT_TRUE(reader.nextMember(']', false));
  std::string_view second = reader.readString(arena);
  EXPECT_FALSE(reader.nextMember(']', false));
  EXPECT_EQ(first.data(), json.data() + 2);
  EXPECT_EQ(second, "def");
  EXPECT_EQ(second.data(), arena.data());
}

struct NumberCase {
  std::string json;
  double value;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.json; }

class JsonReaderNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JsonReaderNumberTest, ReadsTheValue) {
  JsonReader reader(GetParam().json);
  EXPECT_EQ(reader.readNumber(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Numbers, JsonReaderNumberTest,
                         ::testing::Values(NumberCase{"0", 0}, NumberCase{"987", 987},
                                           NumberCase{"987.0", 987}, NumberCase{"-1.5", -1.5},
                                           NumberCase{"4294967296000", 4294967296000.0},
                                           NumberCase{"1e3", 1000}, NumberCase{"2.5E-1", 0.25},
                                           NumberCase{"1e-400", 0}));

struct MalformedCase {
  const char* name;
  std::string json;
  std::string message;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class JsonReaderMalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(JsonReaderMalformedTest, SkipValueRefusesItWithWhereAndWhy) {
  JsonReader reader(GetParam().json);
  try {
    reader.skipValue();
    reader.expectEnd();
    FAIL() << "accepted";
  } catch (const JsonSyntaxError& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, JsonReaderMalformedTest,
    ::testing::Values(
        MalformedCase{"Empty", "", "Malformed JSON at byte 0: expected a value but the text ended"},
        MalformedCase{"UnclosedString", R"(["abc)",
                      "Malformed JSON at byte 5: a string is not closed"},
        MalformedCase{"ControlCharacter", "\"a\tb\"",
                      "Malformed JSON at byte 2: a control character inside a string"},
        MalformedCase{"OverlongUtf8", "\"\xC0\xAF\"",
                      "Malformed JSON at byte 1: a string holds bytes that are not UTF-8"},
        MalformedCase{"EncodedSurrogate", "\"\xED\xA0\x80\"",
                      "Malformed JSON at byte 1: a string holds bytes that are not UTF-8"},
        MalformedCase{"TruncatedUtf8", "\"\xE2\x82\"",
                      "Malformed JSON at byte 1: a string holds bytes that are not UTF-8"},
        MalformedCase{"UnknownEscape", R"("a\x")",
                      "Malformed JSON at byte 2: an unknown escape '\\x'"},
        MalformedCase{"ShortUnicodeEscape", R"("\u00g0")",
                      "Malformed JSON at byte 3: a \\u escape needs four hex digits"},
        MalformedCase{"LoneLowSurrogate", R"("\udc00")",
                      "Malformed JSON at byte 1: a lone low surrogate in a \\u escape"},
        MalformedCase{"HighSurrogateAlone", R"("\ud83dx")",
                      "Malformed JSON at byte 1: a high surrogate without its low half in a \\u "
                      "escape"},
        MalformedCase{"LeadingZero", "012",
                      "Malformed JSON at byte 0: a number with a leading zero"},
        MalformedCase{"BareDecimalPoint", "1.",
                      "Malformed JSON at byte 2: a number needs digits after its decimal point"},
        MalformedCase{"HugeNumber", "1e999", "Malformed JSON at byte 0: a number out of range"},
        MalformedCase{"PlusSign", "+1", "Malformed JSON at byte 0: expected a value"},
        MalformedCase{"TrailingComma", "[1, 2,]",
                      "Malformed JSON at byte 6: a value is missing after ','"},
        MalformedCase{"MissingComma", "[1 2]", "Malformed JSON at byte 3: expected ',' or ']'"},
        MalformedCase{"UnquotedKey", "{a: 1}",
                      "Malformed JSON at byte 1: expected a member name in quotes"},
        MalformedCase{"MissingColon", R"({"a" 1})", "Malformed JSON at byte 5: expected ':'"},
        MalformedCase{"Unclosed", "[[1]",
                      "Malformed JSON at byte 4: expected ',' or ']' but the "
                      "text ended"},
        MalformedCase{"BadLiteral", "[tru]", "Malformed JSON at byte 1: expected a value"},
        MalformedCase{"TooDeep", std::string(65, '[') + std::string(65, ']'),
                      "Malformed JSON at byte 64: values nested more than 64 deep"},
        MalformedCase{"TwoValues", "1 2",
                      "Malformed JSON at byte 2: unexpected text after the value"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonReaderTest, SkipStructureFindsTheEndOfAValueWithoutReadingIt) {
  std::string json = R"({"a": ["x\\", "y\"]", {"b": [1, 2]}], "c": 3} , 7)";
  JsonReader reader(json);
  EXPECT_EQ(reader.skipStructure(), R"({"a": ["x\\", "y\"]", {"b": [1, 2]}], "c": 3})");
  ASSERT_TRUE(reader.nextMember(']', false));
  EXPECT_EQ(reader.skipStructure(), "7");
}

TEST(JsonReaderTest, SkipStructureReportsAFaultAsTheCheckingSkipDoes) {
  for (std::string json : {std::string("[1, {]"), std::string(R"(["abc)"), std::string("[[1]")}) {
    std::string expected;
    try {
      JsonReader(json).skipValue();
    } catch (const JsonSyntaxError& e) {
      expected = e.what();
    }
    try {
      JsonReader(json).skipStructure();
      ADD_FAILURE() << json;
    } catch (const JsonSyntaxError& e) {
      EXPECT_EQ(e.what(), expected) << json;
    }
  }
}

}  // namespace
}  // namespace zeb::server
