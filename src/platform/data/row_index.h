// The hash indexes behind a record set's key lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/row_storage.h"
#include "platform/data/string_pool.h"

namespace zeb::platform::data::internal {

constexpr std::size_t kMaxKeys = 64;
constexpr std::size_t kNoSlot = ~std::size_t{0};

// The hash index behind one key list. Rows with equal keys (letter case folded) form a group:
// a circular list of row ids in ascending order, that is in table order, linked by "next". A
// slot names the group's tail, whose successor is the head: the answer of a look-up.
//
// A slot is four bytes: the tail's row id and, in the top bits, a few bits of the key's hash
// that spare most comparisons with rows of other keys. Small slots matter: with a million groups
// the slots take 8 MiB, and a look-up in a large table then costs little more than in a small
// one. Deleted slots stay marked (a probe run must not break) and are reused by inserts; a rehash
// clears them.
struct Index {
  static constexpr unsigned kIdBits = 26;
  static constexpr std::uint32_t kIdMask = (1u << kIdBits) - 1;
  static constexpr std::uint32_t kMaxRowId = kIdMask - 1;
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kDeleted = 0xFFFFFFFFu;
  static constexpr std::uint32_t kTagMask = ~kIdMask;
  static std::uint32_t tag(std::uint32_t hash) {
    std::uint32_t t = hash >> kIdBits;
    return (t == 0 ? 1 : t) << kIdBits;  // never 0, so that no slot in use reads as free
  }

  std::vector<std::uint32_t> slots;
  std::size_t mask = 0;
  std::size_t used = 0;  // slots not free: groups and deleted ones
  std::size_t groups = 0;
  std::vector<std::uint32_t> next;
  // The row of the last successful look-up and its slot: deleting the row just found (the
  // common pattern) then needs no second probe. Any change to the slots clears it.
  std::uint32_t hintRow = kNone;
  std::size_t hintPos = 0;

  explicit Index(std::size_t expected) { reset(capacityFor(expected)); }

  static std::size_t capacityFor(std::size_t groups) {
    std::size_t size = 16;
    while (size * 7 < groups * 10) size *= 2;
    return size;
  }
  void reset(std::size_t size) {
    slots.assign(size, kFree);
    mask = size - 1;
    used = 0;
    groups = 0;
    hintRow = kNone;
  }
  // Stores a group that is known not to be in the table.
  void place(std::uint32_t hash, std::uint32_t tail) {
    std::size_t pos = hash & mask;
    while (slots[pos] != kFree) pos = (pos + 1) & mask;
    slots[pos] = tag(hash) | tail;
    ++used;
    ++groups;
  }
};

// How many rows ahead of a source's current row a keyed look-up fetches the index slot: far
// enough for the fetch to arrive in time, near enough that it is still cached when used.
constexpr std::size_t kLookAhead = 8;

struct KeyDef {
  std::string list;
  std::vector<int> fields;
  std::vector<std::uint32_t> words;
  std::vector<std::size_t> widths;
  std::unique_ptr<Index> index;
  // Look-ups keyed by another table's rows: that table, its row of the last look-up, and the
  // row kLookAhead places further on whose index slot has been fetched (kNone: none).
  const void* aheadSource = nullptr;
  std::uint64_t aheadContent = 0;
  std::uint32_t lastRow = kNone;
  std::uint32_t aheadRow = kNone;
};

// A key's hash is built from the hashes of its texts, so that a text's hash, once known, serves
// every key and every row that holds it.
inline std::uint64_t keyStart() { return kHashSeed; }
inline std::uint64_t keyAdd(std::uint64_t h, std::uint32_t hash) {
  return detail::mixWord(h, hash);
}
inline std::uint32_t keyFinish(std::uint64_t h) { return shortHash(finishHash(h)); }
inline std::uint32_t textHash(std::string_view text) { return shortHash(foldedHash(text)); }

}  // namespace zeb::platform::data::internal
