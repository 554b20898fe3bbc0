#include "platform/data/string_pool.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::platform::data {

namespace {
constexpr std::size_t kFirstChunk = 4096;
}  // namespace

bool foldedEqual(std::string_view a, std::string_view b) {
  using detail::foldWord;
  std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n == 0) return true;
  const char* p = a.data();
  const char* q = b.data();
  if (n <= 8) {
    std::uint64_t x = detail::shortWord(p, n);
    std::uint64_t y = detail::shortWord(q, n);
    return x == y || foldWord(x) == foldWord(y);
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = detail::load64(p + i);
    std::uint64_t y = detail::load64(q + i);
    if (x != y && foldWord(x) != foldWord(y)) return false;
  }
  if (i < n) {
    std::uint64_t x = detail::load64(p + n - 8);
    std::uint64_t y = detail::load64(q + n - 8);
    if (x != y && foldWord(x) != foldWord(y)) return false;
  }
  return true;
}

StringPool::StringPool() : slots_(16, 0), mask_(15) { entries_.push_back(Entry{0, kEmpty}); }
StringPool::StringPool(StringPool&&) noexcept = default;
StringPool& StringPool::operator=(StringPool&&) noexcept = default;
StringPool::~StringPool() = default;

std::uint32_t StringPool::find(std::string_view text) const {
  if (text.empty()) return kEmpty;
  std::uint32_t h = shortHash(foldedHash(text));
  for (std::size_t pos = h & mask_;; pos = (pos + 1) & mask_) {
    Slot slot = slots_[pos];
    if (slot == 0) return kNotFound;
    if (static_cast<std::uint32_t>(slot >> 32) == h) {
      auto id = static_cast<std::uint32_t>(slot);
      if (sameBytes(this->text(id), text)) return id;
    }
  }
}

std::uint32_t StringPool::findFold(std::string_view text, std::uint32_t hash) const {
  if (text.empty()) return kEmpty;
  for (std::size_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
    Slot slot = slots_[pos];
    if (slot == 0) return kNotFound;
    if (static_cast<std::uint32_t>(slot >> 32) == hash) {
      auto id = static_cast<std::uint32_t>(slot);
      if (foldedEqual(this->text(id), text)) return entries_[id].fold;
    }
  }
}

std::uint32_t StringPool::intern(std::string_view text, std::uint64_t hash) {
  if (text.empty()) return kEmpty;
  std::uint32_t h = shortHash(hash);
  std::uint32_t fold = kNotFound;
  std::size_t pos = h & mask_;
  for (;; pos = (pos + 1) & mask_) {
    Slot slot = slots_[pos];
    if (slot == 0) break;
    if (static_cast<std::uint32_t>(slot >> 32) == h) {
      auto id = static_cast<std::uint32_t>(slot);
      std::string_view held = this->text(id);
      if (sameBytes(held, text)) return id;
      // Texts of one folded class hash alike, so they all lie on this probe path.
      if (fold == kNotFound && foldedEqual(held, text)) fold = entries_[id].fold;
    }
  }
  if (entries_.size() >= kNotFound) throw Exception("text pool is full");
  auto id = static_cast<std::uint32_t>(entries_.size());
  std::uint32_t loc = store(text);
  entries_.push_back(Entry{loc, fold == kNotFound ? id : fold});
  slots_[pos] = (static_cast<Slot>(h) << 32) | id;
  // Grow at 70% load: linear probing stays short, and the table costs at most about 23 bytes
  // per text right after growing.
  if (++slotsUsed_ * 10 > slots_.size() * 7) grow();
  return id;
}

std::uint32_t StringPool::add(std::string_view text) {
  if (text.empty()) return kEmpty;
  if (entries_.size() >= kNotFound) throw Exception("text pool is full");
  auto id = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(Entry{store(text), kNoFold});
  ++added_;
  return id;
}

std::uint32_t StringPool::store(std::string_view text) {
  std::size_t length = text.size();
  std::size_t prefix = length < 0x80 ? 1 : length < 0x4000 ? 2 : 3;
  std::size_t need = prefix + length;
  if (need > kMaxChunk) {
    throw Exception("text of " + std::to_string(length) + " bytes is too long to store");
  }
  if (chunks_.empty() || used_ + need > chunkSizes_.back()) {
    if (chunks_.size() == kMaxChunks) throw Exception("text pool is full");
    // Chunks double up to 1 MiB, so that small tables stay small; texts never move once stored.
    std::size_t size = chunks_.empty() ? kFirstChunk : std::min(kMaxChunk, chunkSizes_.back() * 2);
    size = std::max(size, need);
    chunks_.push_back(std::make_unique_for_overwrite<unsigned char[]>(size));
    chunkSizes_.push_back(size);
    used_ = 0;
  }
  unsigned char* p = chunks_.back().get() + used_;
  if (prefix == 1) {
    p[0] = static_cast<unsigned char>(length);
  } else if (prefix == 2) {
    p[0] = static_cast<unsigned char>(0x80 | (length & 0x7F));
    p[1] = static_cast<unsigned char>(length >> 7);
  } else {
    p[0] = static_cast<unsigned char>(0x80 | (length & 0x7F));
    p[1] = static_cast<unsigned char>(0x80 | ((length >> 7) & 0x7F));
    p[2] = static_cast<unsigned char>(length >> 14);
  }
  std::memcpy(p + prefix, text.data(), length);
  auto loc = static_cast<std::uint32_t>(((chunks_.size() - 1) << kOffsetBits) | used_);
  used_ += need;
  return loc;
}

void StringPool::grow() {
  std::vector<Slot> bigger(slots_.size() * 2, 0);
  std::size_t mask = bigger.size() - 1;
  for (Slot slot : slots_) {
    if (slot == 0) continue;
    std::size_t pos = static_cast<std::uint32_t>(slot >> 32) & mask;
    while (bigger[pos] != 0) pos = (pos + 1) & mask;
    bigger[pos] = slot;
  }
  slots_ = std::move(bigger);
  mask_ = mask;
}

std::size_t StringPool::memoryBytes() const {
  std::size_t bytes = entries_.capacity() * sizeof(Entry) + slots_.capacity() * sizeof(Slot) +
                      chunks_.capacity() * sizeof(chunks_[0]);
  for (std::size_t size : chunkSizes_) bytes += size;
  return bytes;
}

}  // namespace zeb::platform::data
