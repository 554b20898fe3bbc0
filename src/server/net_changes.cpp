#include "server/net_changes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace zeb::server {

namespace {

int compareLengths(std::size_t a, std::size_t b) { return a < b ? -1 : a > b ? 1 : 0; }

// SQLite's BINARY collation.
int compareBytes(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  return c != 0 ? c : compareLengths(a.size(), b.size());
}

int foldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// SQLite's NOCASE collation, byte for byte as sqlite3_strnicmp and its caller do it: a NUL in
// the first text ends the comparison of bytes, and the lengths decide what is left. Two keys
// that SQLite takes for one must be one here too, or a run's changes to them would be ordered
// wrongly.
int compareNoCase(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x == y) {
      if (x == 0) break;
      continue;
    }
    int d = foldAscii(x) - foldAscii(y);
    if (d != 0) return d;
  }
  return compareLengths(a.size(), b.size());
}

int compareAddresses(const EmailRow& a, const EmailRow& b) {
  int d = compareNoCase(a.texts[kNMORIGEM], b.texts[kNMORIGEM]);
  return d != 0 ? d : compareNoCase(a.texts[kNMDESTINO], b.texts[kNMDESTINO]);
}

// compareNoCase(a, b) == 0, sooner: texts of one length may only be one, and those that are
// one are most often the same bytes (an import updating a row it sent before).
bool sameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  return compareNoCase(a, b) == 0;
}

bool sameAddresses(const EmailRow& a, const EmailRow& b) {
  return sameNoCase(a.texts[kNMORIGEM], b.texts[kNMORIGEM]) &&
         sameNoCase(a.texts[kNMDESTINO], b.texts[kNMDESTINO]);
}

// compareKeys(a, b) == 0.
bool sameKey(const EmailRow& a, const EmailRow& b) {
  for (Column c : {kCDFILIAL, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL}) {
    if (a.texts[c] != b.texts[c]) return false;
  }
  return sameAddresses(a, b);
}

// The letters A-Z among eight bytes turned to lower case, all eight at once; other bytes as
// they are.
std::uint64_t foldWord(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHigh = 0x80 * kOnes;
  std::uint64_t low7 = w & ~kHigh;
  std::uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;   // high bit set where byte >= 'A'
  std::uint64_t pastZ = low7 + (0x80 - 'Z' - 1) * kOnes;  // high bit set where byte > 'Z'
  std::uint64_t upper = atLeastA & ~pastZ & ~w & kHigh;
  return w | (upper >> 2);  // 0x80 >> 2 is the bit that makes a letter lower case
}

std::uint64_t mix(std::uint64_t h) {
  h *= 0x9e3779b97f4a7c15;
  return h ^ (h >> 29);
}

// Eight bytes as a number that orders like the bytes do.
std::uint64_t bigEndian(std::uint64_t w) {
  return std::endian::native == std::endian::little ? __builtin_bswap64(w) : w;
}

// Reads "text" as compareNoCase() sees it (letters folded, nothing from a NUL on): mixes it and
// its length into "hash", and answers its first 8 * "words" bytes (zeros past the end) in
// "prefix" as numbers, so that where two prefixes differ they order the texts as
// compareNoCase() does.
void foldAddress(std::string_view text, std::uint64_t& hash, std::uint64_t* prefix,
                 std::size_t words) {
  std::size_t n = text.size();
  if (n > 0) {
    if (const void* nul = std::memchr(text.data(), 0, n)) {
      n = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
    }
  }
  std::size_t w = 0;
  for (std::size_t at = 0; at < n; at += 8, ++w) {
    std::uint64_t chunk = 0;
    std::memcpy(&chunk, text.data() + at, std::min<std::size_t>(8, n - at));
    chunk = foldWord(chunk);
    hash = mix(hash ^ chunk);
    if (w < words) prefix[w] = bigEndian(chunk);
  }
  for (; w < words; ++w) prefix[w] = 0;
  hash = mix(hash ^ text.size());
}

}  // namespace

std::array<char, 8> rowDate(const EmailRow& row) {
  std::array<char, 8> date{};
  std::string_view y = row.texts[kANETLEMAIL], m = row.texts[kMEETLEMAIL],
                   d = row.texts[kDIETLEMAIL];
  std::copy_n(y.begin(), std::min<std::size_t>(y.size(), 4), date.begin());
  std::copy_n(m.begin(), std::min<std::size_t>(m.size(), 2), date.begin() + 4);
  std::copy_n(d.begin(), std::min<std::size_t>(d.size(), 2), date.begin() + 6);
  return date;
}

std::string dayKey(std::string_view branch, std::string_view date) {
  std::string key;
  key += static_cast<char>(branch.size());  // keeps "ab"+"c..." apart from "a"+"bc..."
  key += branch;
  key += date;
  return key;
}

int compareKeys(const EmailRow& a, const EmailRow& b) {
  for (Column c : {kCDFILIAL, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL}) {
    int d = compareBytes(a.texts[c], b.texts[c]);
    if (d != 0) return d;
  }
  return compareAddresses(a, b);
}

std::uint32_t NetChanges::dayOf(std::string_view branch, const std::array<char, 8>& date) {
  // Most changes fall on the day of the change before them.
  if (lastDay_ < days_.size() && days_[lastDay_].date == date && days_[lastDay_].branch == branch) {
    return lastDay_;
  }
  auto [at, added] = dayIndex_.try_emplace(dayKey(branch, {date.data(), date.size()}),
                                           static_cast<std::uint32_t>(days_.size()));
  if (added) days_.push_back({branch, date});
  return lastDay_ = at->second;
}

void NetChanges::hashKey(Change& change) const {
  // The day's index stands for the branch and the date: it is the same for the same day. The
  // constant only keeps day 0 from hashing like nothing.
  change.hash = mix(0xcbf29ce484222325 ^ change.day);
  std::string_view origin = change.row->texts[kNMORIGEM];
  std::string_view destination = change.row->texts[kNMDESTINO];
  foldAddress(origin, change.hash, change.sort.origin, kOriginWords);
  foldAddress(destination, change.hash, change.sort.destination, kDestinationWords);
  change.sort.originLength = static_cast<std::uint32_t>(origin.size());
  change.sort.destinationLength = static_cast<std::uint32_t>(destination.size());
}

void NetChanges::push(const EmailRow& row, bool store) {
  Change change{};
  change.row = &row;
  change.day = dayOf(row.texts[kCDFILIAL], rowDate(row));
  change.order = next_++;
  change.store = store;
  hashKey(change);
  changes_.push_back(change);
}

void NetChanges::add(std::string_view days, const EmailBatch& batch) {
  forEachDay(days, [this](std::string_view branch, std::string_view date) {
    std::array<char, 8> d{};
    std::copy_n(date.begin(), std::min<std::size_t>(date.size(), d.size()), d.begin());
    DayEntry& day = days_[dayOf(branch, d)];
    day.replaced = true;
    day.replacedAt = next_++;
  });
  for (const EmailChange& change : batch.changes) {
    switch (change.op) {
      case ChangeOp::Insert:
        push(change.row, true);
        break;
      case ChangeOp::Update:
        // An update that keeps its key is a store under that key, and most updates do.
        if (!sameKey(change.old, change.row)) push(change.old, false);
        push(change.row, true);
        break;
      case ChangeOp::Delete:
        push(change.old, false);
        break;
    }
  }
}

// Whether a replacement of its day came after "change".
bool NetChanges::goneWithDay(const Change& change) const {
  const DayEntry& day = days_[change.day];
  return day.replaced && day.replacedAt > change.order;
}

// The slot of the key of "key" in the hash table: the one holding a change to it, or the free
// one where it would go.
std::size_t NetChanges::find(const Change& key) const {
  std::size_t mask = slots_.size() - 1;
  for (std::size_t at = key.hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.change == kNone) return at;
    if (slot.hash != key.hash) continue;
    const Change& other = changes_[slot.change];
    if (other.day == key.day && sameAddresses(*other.row, *key.row)) return at;
  }
}

void NetChanges::settle() {
  // The days in key order: the branch by its bytes, then the date.
  std::vector<std::uint32_t> byRank(days_.size());
  for (std::uint32_t i = 0; i < byRank.size(); ++i) byRank[i] = i;
  std::sort(byRank.begin(), byRank.end(), [this](std::uint32_t a, std::uint32_t b) {
    int d = compareBytes(days_[a].branch, days_[b].branch);
    return d != 0 ? d < 0 : days_[a].date < days_[b].date;
  });
  replaced_.clear();
  for (std::uint32_t rank = 0; rank < byRank.size(); ++rank) {
    DayEntry& day = days_[byRank[rank]];
    day.rank = rank;
    if (day.replaced) replaced_.push_back({day.branch, {day.date.data(), day.date.size()}});
  }
  // The last change of each key decides: it takes its key's slot over from the changes before.
  std::size_t capacity = 16;
  while (capacity < 2 * changes_.size()) capacity *= 2;
  slots_.assign(capacity, Slot{0, kNone});
  std::size_t mask = capacity - 1;
  constexpr std::size_t kAhead = 8;
  for (std::uint32_t i = 0; i < changes_.size(); ++i) {
    // A run's table outgrows the caches, and its slots are met in no order: ask for the slot
    // of a change a few changes ahead.
    if (i + kAhead < changes_.size()) __builtin_prefetch(&slots_[changes_[i + kAhead].hash & mask]);
    Slot& slot = slots_[find(changes_[i])];
    if (slot.change != kNone) changes_[slot.change].superseded = true;
    slot = {changes_[i].hash, i};
  }
  ordered_ = false;
}

NetChanges::Outcome NetChanges::outcomeOf(const EmailRow& stored) {
  std::string_view branch = stored.texts[kCDFILIAL];
  std::array<char, 8> date = rowDate(stored);
  if (lastDay_ >= days_.size() || days_[lastDay_].date != date ||
      days_[lastDay_].branch != branch) {
    auto day = dayIndex_.find(dayKey(branch, {date.data(), date.size()}));
    if (day == dayIndex_.end()) return Outcome::kGone;
    lastDay_ = day->second;
  }
  Change key{};
  key.row = &stored;
  key.day = lastDay_;
  hashKey(key);
  std::uint32_t slot = slots_[find(key)].change;
  if (slot == kNone) return Outcome::kGone;
  Change& last = changes_[slot];
  if (!last.store || goneWithDay(last)) return Outcome::kGone;
  const EmailRow& row = *last.row;
  if (row.texts != stored.texts || std::memcmp(&row.volume, &stored.volume, sizeof(double)) != 0 ||
      std::memcmp(&row.count, &stored.count, sizeof(double)) != 0) {
    return Outcome::kReplaced;
  }
  last.same = true;
  return Outcome::kSame;
}

void NetChanges::order() {
  if (ordered_) return;
  ordered_ = true;
  sorted_.clear();
  // The changes that decide their keys, in the run's order rather than the table's: read one
  // after another.
  for (std::uint32_t i = 0; i < changes_.size(); ++i) {
    const Change& change = changes_[i];
    if (change.superseded || goneWithDay(change) || change.same) continue;
    sorted_.push_back({change.sort, days_[change.day].rank, i});
  }
  // The key's order exactly, reading the addresses themselves only where their first bytes and
  // lengths leave it open.
  auto before = [this](const Sorted& a, const Sorted& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    const SortKey& x = a.sort;
    const SortKey& y = b.sort;
    for (std::size_t w = 0; w < kOriginWords; ++w) {
      if (x.origin[w] != y.origin[w]) return x.origin[w] < y.origin[w];
    }
    if (x.originLength > 8 * kOriginWords || y.originLength > 8 * kOriginWords) {
      int d = compareNoCase(changes_[a.change].row->texts[kNMORIGEM],
                            changes_[b.change].row->texts[kNMORIGEM]);
      if (d != 0) return d < 0;
    } else if (x.originLength != y.originLength) {
      return x.originLength < y.originLength;
    }
    for (std::size_t w = 0; w < kDestinationWords; ++w) {
      if (x.destination[w] != y.destination[w]) return x.destination[w] < y.destination[w];
    }
    if (x.destinationLength > 8 * kDestinationWords ||
        y.destinationLength > 8 * kDestinationWords) {
      return compareNoCase(changes_[a.change].row->texts[kNMDESTINO],
                           changes_[b.change].row->texts[kNMDESTINO]) < 0;
    }
    return x.destinationLength < y.destinationLength;
  };
  std::sort(sorted_.begin(), sorted_.end(), before);
  deletions_.clear();
  rows_.clear();
  for (const Sorted& entry : sorted_) {
    const Change& change = changes_[entry.change];
    (change.store ? rows_ : deletions_).push_back(change.row);
  }
}

const std::vector<const EmailRow*>& NetChanges::deletions() {
  order();
  return deletions_;
}

const std::vector<const EmailRow*>& NetChanges::rows() {
  order();
  return rows_;
}

void NetChanges::clear() {
  next_ = 0;
  changes_.clear();
  sorted_.clear();
  ordered_ = false;
  days_.clear();
  dayIndex_.clear();
  lastDay_ = 0;
  replaced_.clear();
  deletions_.clear();
  rows_.clear();
}

}  // namespace zeb::server
