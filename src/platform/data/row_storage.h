// The rows of a record set: blocks of cells that never move, with the ids of each row's
// neighbours, so that appending never copies the table and deleting any row is O(1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/exceptions.h"

namespace zeb::platform::data::internal {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kDead = 0xFFFFFFFEu;
constexpr std::uint32_t kMaxRows = 0xFFFFFF00u;

// Rows live in blocks that never move, so that appending never copies the table and a block
// whose rows are all deleted can be given back while the table is still being consumed.
constexpr unsigned kBlockBits = 12;
constexpr std::uint32_t kBlockRows = 1u << kBlockBits;

// Physical rows with stable ids (the order of addition). Each row holds its cells followed by
// the ids of the previous and next live row, so that deleting any row is O(1) and a walk
// touches one place per row.
struct Rows {
  std::uint32_t cellWords = 0;
  std::uint32_t stride = 2;
  std::vector<std::unique_ptr<std::uint32_t[]>> blocks;
  std::vector<std::uint32_t> blockLive;
  std::uint32_t count = 0;  // rows ever added
  std::uint32_t live = 0;
  std::uint32_t head = kNone;
  std::uint32_t tail = kNone;

  explicit Rows(std::uint32_t words = 0) : cellWords(words), stride(words + 2) {}

  std::uint32_t* row(std::uint32_t id) {
    return blocks[id >> kBlockBits].get() + std::size_t{id & (kBlockRows - 1)} * stride;
  }
  const std::uint32_t* row(std::uint32_t id) const {
    return blocks[id >> kBlockBits].get() + std::size_t{id & (kBlockRows - 1)} * stride;
  }
  std::uint32_t prev(std::uint32_t id) const { return row(id)[cellWords]; }
  std::uint32_t next(std::uint32_t id) const { return row(id)[cellWords + 1]; }
  bool isLive(std::uint32_t id) const {
    return id < count && blocks[id >> kBlockBits] != nullptr && next(id) != kDead;
  }

  std::uint32_t add(const std::uint32_t* cells, const std::string& table) {
    if (count >= kMaxRows) throw Exception("table " + table + " is full");
    std::uint32_t id = count;
    std::size_t block = id >> kBlockBits;
    if (block == blocks.size()) {
      blocks.push_back(
          std::make_unique_for_overwrite<std::uint32_t[]>(std::size_t{kBlockRows} * stride));
      blockLive.push_back(0);
    }
    std::uint32_t* r = row(id);
    std::memcpy(r, cells, std::size_t{cellWords} * 4);
    r[cellWords] = tail;
    r[cellWords + 1] = kNone;
    if (tail != kNone) {
      row(tail)[cellWords + 1] = id;
    } else {
      head = id;
    }
    tail = id;
    ++count;
    ++live;
    ++blockLive[block];
    return id;
  }

  void remove(std::uint32_t id) {
    std::uint32_t p = prev(id);
    std::uint32_t n = next(id);
    if (p != kNone) {
      row(p)[cellWords + 1] = n;
    } else {
      head = n;
    }
    if (n != kNone) {
      row(n)[cellWords] = p;
    } else {
      tail = p;
    }
    row(id)[cellWords + 1] = kDead;
    --live;
    std::size_t block = id >> kBlockBits;
    // A full block without live rows is never read again: give its memory back.
    if (--blockLive[block] == 0 && (block + 1) * std::size_t{kBlockRows} <= count) {
      blocks[block].reset();
    }
  }
};

}  // namespace zeb::platform::data::internal
