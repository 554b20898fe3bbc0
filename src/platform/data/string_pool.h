// The text store of one record set: every distinct text is kept once and named by a 32-bit id,
// so that a text cell costs four bytes however often its value repeats. Texts are never freed
// before the pool is, so an id and the bytes behind it stay valid for the pool's lifetime.
//
// Each interned text also carries the id of its case-folded class: texts that differ only in
// ASCII letter case share one fold id (that of the first of them interned), which lets keys
// compare by id.
//
// Internal to the record sets; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace zeb::platform::data {

namespace detail {

inline std::uint64_t load64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline std::uint64_t load32(const char* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// The bytes of a text of 1 to 8 bytes in one word, without a call to memcpy; for a given length
// every byte lands somewhere, so equal lengths and equal words mean equal texts.
inline std::uint64_t shortWord(const char* p, std::size_t n) {
  if (n >= 4) return load32(p) | (load32(p + n - 4) << 32);
  return static_cast<unsigned char>(p[0]) |
         (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
         (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
}

// Lower-cases the ASCII letters of eight bytes at once: a byte gets bit 0x20 when it lies in
// 'A'..'Z'. Bytes of 0x80 and above are left alone, so multi-byte UTF-8 characters are kept.
inline std::uint64_t foldWord(std::uint64_t w) {
  constexpr std::uint64_t k7F = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t k80 = 0x8080808080808080ULL;
  std::uint64_t low = w & k7F;
  std::uint64_t atLeastA = low + 0x3F3F3F3F3F3F3F3FULL;  // high bit set when low >= 'A'
  std::uint64_t aboveZ = low + 0x2525252525252525ULL;    // high bit set when low > 'Z'
  std::uint64_t upper = (atLeastA ^ aboveZ) & ~w & k80;
  return w | (upper >> 2);
}

inline std::uint64_t mixWord(std::uint64_t h, std::uint64_t w) {
  h = (h ^ w) * 0x9FB21C651E98DF25ULL;
  return h ^ (h >> 29);
}

}  // namespace detail

constexpr std::uint64_t kHashSeed = 0x9E3779B97F4A7C15ULL;

// Adds a text, with its ASCII letters folded to lower case, to a running hash. Texts that differ
// only in letter case add alike. Several texts (a key) go into one hash before finishHash().
inline std::uint64_t foldText(std::uint64_t h, std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  h = (h ^ n) * 0xC2B2AE3D27D4EB4FULL;
  if (n <= 8) return n == 0 ? h : detail::mixWord(h, detail::foldWord(detail::shortWord(p, n)));
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) h = detail::mixWord(h, detail::foldWord(detail::load64(p + i)));
  if (i < n) h = detail::mixWord(h, detail::foldWord(detail::load64(p + n - 8)));
  return h;
}

inline std::uint64_t finishHash(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  return h ^ (h >> 32);
}

// A 64-bit hash of one text with ASCII letters folded. Stable for the life of the process.
inline std::uint64_t foldedHash(std::string_view text) {
  return finishHash(foldText(kHashSeed, text));
}

// The 32-bit form of a hash that the pool's and the indexes' slots keep.
inline std::uint32_t shortHash(std::uint64_t hash) {
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

// True when the texts are equal byte for byte.
inline bool sameBytes(std::string_view a, std::string_view b) {
  std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n == 0) return true;
  if (n <= 8) return detail::shortWord(a.data(), n) == detail::shortWord(b.data(), n);
  return std::memcmp(a.data(), b.data(), n) == 0;
}
// True when the texts are equal once ASCII letters are folded.
bool foldedEqual(std::string_view a, std::string_view b);

class StringPool {
 public:
  // Id 0 is always the empty text.
  static constexpr std::uint32_t kEmpty = 0;

  StringPool();
  StringPool(StringPool&&) noexcept;
  StringPool& operator=(StringPool&&) noexcept;
  ~StringPool();

  // The id of the text, adding it when it is new. Throws Exception when the pool is full
  // (4 GiB of text) or the text is longer than 1 MiB.
  std::uint32_t intern(std::string_view text) { return intern(text, foldedHash(text)); }
  // The same, with "hash" == foldedHash(text) already known.
  std::uint32_t intern(std::string_view text, std::uint64_t hash);
  // Stores the text under a new id without looking for an equal one: for columns whose texts
  // are nearly all distinct (queue ids), where the look-up would cost a cache miss and save
  // nothing. Such a text has no fold id (fold() answers kNoFold) and find() does not see it.
  std::uint32_t add(std::string_view text);
  // The id of the text, or kNotFound when the pool does not hold it.
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;
  std::uint32_t find(std::string_view text) const;
  // The fold id of the texts that equal "text" once ASCII letters are folded, or kNotFound when
  // the pool holds none of them (texts stored by add() are not seen). "hash" must be
  // shortHash(foldedHash(text)).
  std::uint32_t findFold(std::string_view text, std::uint32_t hash) const;
  // True while every text has a fold id (none was stored by add()): a text whose folded class
  // findFold() does not know then equals no text of the pool, even ignoring letter case.
  bool allFolded() const { return added_ == 0; }

  // "id" must have come from this pool.
  std::string_view text(std::uint32_t id) const {
    if (id == kEmpty) return {};
    const unsigned char* p = location(entries_[id].loc);
    std::size_t length = p[0];
    std::size_t skip = 1;
    if (length & 0x80) {
      length = (length & 0x7F) | (static_cast<std::size_t>(p[1] & 0x7F) << 7);
      skip = 2;
      if (p[1] & 0x80) {
        length |= static_cast<std::size_t>(p[2]) << 14;
        skip = 3;
      }
    }
    return {reinterpret_cast<const char*>(p + skip), length};
  }
  // The fold id, or kNoFold for a text stored by add(): compare such texts by their bytes.
  static constexpr std::uint32_t kNoFold = 0xFFFFFFFFu;
  std::uint32_t fold(std::uint32_t id) const { return entries_[id].fold; }

  // Distinct texts held, the empty text included.
  std::size_t size() const { return entries_.size(); }
  // Bytes allocated for texts, entries and the hash table.
  std::size_t memoryBytes() const;

 private:
  struct Entry {
    std::uint32_t loc;   // chunk number (high 12 bits) and offset in the chunk (low 20 bits)
    std::uint32_t fold;  // id of the first interned text of the same folded class
  };
  // A slot holds the short hash (high half) and the id (low half); 0 marks a free slot, which
  // works because the empty text (id 0) is never put into the table.
  using Slot = std::uint64_t;

  const unsigned char* location(std::uint32_t loc) const {
    return chunks_[loc >> kOffsetBits].get() + (loc & kOffsetMask);
  }
  std::uint32_t store(std::string_view text);
  void grow();

  static constexpr unsigned kOffsetBits = 20;
  static constexpr std::uint32_t kOffsetMask = (1u << kOffsetBits) - 1;
  static constexpr std::size_t kMaxChunk = std::size_t{1} << kOffsetBits;
  static constexpr std::size_t kMaxChunks = std::size_t{1} << (32 - kOffsetBits);

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t slotsUsed_ = 0;
  std::vector<std::unique_ptr<unsigned char[]>> chunks_;
  std::vector<std::size_t> chunkSizes_;
  std::size_t used_ = 0;   // bytes used in the last chunk
  std::size_t added_ = 0;  // texts stored by add()
};

}  // namespace zeb::platform::data
