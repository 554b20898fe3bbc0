#include "platform/data/string_pool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zeb::platform::data {
namespace {

TEST(StringPool, EmptyTextIsIdZero) {
  StringPool pool;
  EXPECT_EQ(pool.intern(""), StringPool::kEmpty);
  EXPECT_EQ(pool.text(StringPool::kEmpty), "");
  EXPECT_EQ(pool.size(), 1u);
}

TEST(StringPool, KeepsOneCopyPerDistinctText) {
  StringPool pool;
  std::uint32_t a = pool.intern("a@example.com");
  std::uint32_t b = pool.intern("b@example.com");
  EXPECT_NE(a, b);
  EXPECT_EQ(pool.intern(std::string("a@example.com")), a);
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(pool.text(a), "a@example.com");
  EXPECT_EQ(pool.text(b), "b@example.com");
}

TEST(StringPool, CaseVariantsShareTheFoldOfTheFirst) {
  StringPool pool;
  std::uint32_t mixed = pool.intern("Ana@Example.COM");
  std::uint32_t lower = pool.intern("ana@example.com");
  std::uint32_t other = pool.intern("ana@example.org");
  EXPECT_NE(mixed, lower);
  EXPECT_EQ(pool.fold(mixed), mixed);
  EXPECT_EQ(pool.fold(lower), mixed);
  EXPECT_EQ(pool.fold(other), other);
}

TEST(StringPool, OnlyAsciiLettersFold) {
  StringPool pool;
  std::uint32_t upper = pool.intern("JOÃO");
  std::uint32_t lower = pool.intern("joão");  // Ã and ã differ beyond ASCII
  EXPECT_NE(pool.fold(lower), pool.fold(upper));
  EXPECT_EQ(pool.fold(pool.intern("joÃo")), upper);
  EXPECT_FALSE(foldedEqual("[", "{"));  // '[' is 'Z' + 1, '{' is 'z' + 1
  EXPECT_FALSE(foldedEqual("@", "`"));  // '@' is 'A' - 1
  EXPECT_TRUE(foldedEqual("QUEUE-ID-3F2A1B4C5D", "queue-id-3f2a1b4c5d"));
  EXPECT_EQ(foldedHash("QUEUE-ID-3F2A1B4C5D"), foldedHash("queue-id-3f2a1b4c5d"));
}

TEST(StringPool, FindAnswersNotFoundForUnknownText) {
  StringPool pool;
  std::uint32_t id = pool.intern("3F2A1B4C5D");
  EXPECT_EQ(pool.find("3F2A1B4C5D"), id);
  EXPECT_EQ(pool.find("3f2a1b4c5d"), StringPool::kNotFound);
  EXPECT_EQ(pool.find(""), StringPool::kEmpty);
}

TEST(StringPool, FindFoldAnswersTheClassOfInternedTextsOnly) {
  StringPool pool;
  std::uint32_t first = pool.intern("Ana@Example.COM");
  pool.intern("ana@example.com");
  auto findFold = [&](std::string_view text) {
    return pool.findFold(text, shortHash(foldedHash(text)));
  };
  EXPECT_EQ(findFold("ANA@EXAMPLE.COM"), first);
  EXPECT_EQ(findFold("ana@example.org"), StringPool::kNotFound);
  EXPECT_EQ(findFold(""), StringPool::kEmpty);
  EXPECT_TRUE(pool.allFolded());
  pool.add("Bo@example.com");
  EXPECT_EQ(findFold("bo@example.com"), StringPool::kNotFound);  // added texts are not seen
  EXPECT_FALSE(pool.allFolded());
}

TEST(StringPool, AddStoresACopyWithoutFoldId) {
  StringPool pool;
  std::uint32_t interned = pool.intern("4XyZb2Lq9Mz3kP7");
  std::uint32_t added = pool.add("4XyZb2Lq9Mz3kP7");
  EXPECT_NE(added, interned);
  EXPECT_EQ(pool.text(added), "4XyZb2Lq9Mz3kP7");
  EXPECT_EQ(pool.fold(added), StringPool::kNoFold);
  EXPECT_EQ(pool.find("4XyZb2Lq9Mz3kP7"), interned);
  EXPECT_EQ(pool.add(""), StringPool::kEmpty);
}

TEST(StringPool, KeepsLongTextsWhole) {
  StringPool pool;
  std::string medium(200, 'm');    // two-byte length prefix
  std::string large(20000, 'l');   // three-byte length prefix
  std::string huge(1000000, 'h');  // a chunk of its own
  std::uint32_t m = pool.intern(medium);
  std::uint32_t l = pool.intern(large);
  std::uint32_t h = pool.intern(huge);
  std::uint32_t s = pool.intern("short");
  EXPECT_EQ(pool.text(m), medium);
  EXPECT_EQ(pool.text(l), large);
  EXPECT_EQ(pool.text(h), huge);
  EXPECT_EQ(pool.text(s), "short");
}

TEST(StringPool, TextsStayInPlaceWhileThePoolGrows) {
  StringPool pool;
  std::uint32_t first = pool.intern("first text");
  const char* where = pool.text(first).data();
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 100000; ++i) ids.push_back(pool.intern("queue" + std::to_string(i)));
  EXPECT_EQ(pool.text(first).data(), where);
  for (int i = 0; i < 100000; i += 997) {
    EXPECT_EQ(pool.text(ids[static_cast<std::size_t>(i)]), "queue" + std::to_string(i));
    EXPECT_EQ(pool.find("queue" + std::to_string(i)), ids[static_cast<std::size_t>(i)]);
  }
  EXPECT_EQ(pool.size(), 100002u);
}

}  // namespace
}  // namespace zeb::platform::data
