// What a record set remembers of texts to store them fast: the texts of the tables it copies
// from, and per column the last text stored and whether its texts still repeat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/data/string_pool.h"

namespace zeb::platform::data::internal {

// What a table has learnt about the texts of another table (its source) whose cells it copies or
// looks up: per source text id, the id of the same bytes here, the fold id of its class here, and
// its hash. A direct-mapped cache by source id: texts that repeat (addresses, dates) are then
// found with one array read, and a source of millions of distinct texts costs a bounded table.
constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
struct TextLink {
  std::uint32_t source = kUnknown;  // the source id this entry is for
  std::uint32_t own = kUnknown;     // the id of the same (cut) bytes here, once stored here
  std::uint32_t fold = kUnknown;    // the fold id of its class here, once found here
  std::uint32_t hash = 0;
};
constexpr std::size_t kMaxLinks = std::size_t{1} << 16;

struct SourceTexts {
  const void* table = nullptr;
  std::uint64_t content = 0;  // the source's content when the links were made
  std::size_t width = 0;      // source texts are cut to this many characters; 0: they always fit
  std::vector<TextLink> links;
};

// Per text column: the last text stored (parsed logs repeat days, months and addresses, and a
// repeat then costs a compare instead of a hash look-up), and whether texts are still looked up
// at all. Looking up a text that is new costs a cache miss in a large table and saves nothing,
// so a column whose texts are nearly all distinct (queue ids) stores them without the look-up.
// A sample of its texts, chosen by hash so that a value is either always or never in it, is
// still looked up, and a rising share of repeats in the sample turns look-ups back on.
struct ColumnCache {
  std::uint32_t id = StringPool::kEmpty;
  const char* data = nullptr;
  std::size_t size = 0;
  bool distinct = false;
  std::uint32_t count = 0;    // texts looked up in the current window
  std::uint32_t repeats = 0;  // of those, texts that were already held
};
constexpr std::uint32_t kLookupWindow = 4096;
constexpr std::uint32_t kSampleWindow = 64;
// Below 20% repeats a column is taken as distinct; from 30% on it is looked up again. Where the
// two meet, a duplicate copy of a short text costs about what a table slot for a new one does.
constexpr std::uint32_t kDistinctBelowPercent = 20;
constexpr std::uint32_t kLookupFromPercent = 30;
constexpr unsigned kSampleShift = 58;  // 1 text in 64 by hash

}  // namespace zeb::platform::data::internal
