#include "server/net_changes.h"

#include <algorithm>
#include <array>
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

// Reads "text" as compareNoCase() sees it (letters folded, nothing from a NUL on): mixes it and
// its length into "hash", and answers its first "n" bytes (zeros past the end) in "prefix",
// big-endian, so that where two prefixes differ they order the texts as compareNoCase() does.
void foldAddress(std::string_view text, std::uint64_t& hash, std::uint64_t* prefix,
                 std::size_t words) {
  constexpr std::uint64_t kPrime = 0x100000001b3;  // FNV-1a
  std::array<unsigned char, 16> head{};
  std::size_t i = 0;
  for (; i < text.size() && text[i] != 0; ++i) {
    auto c = static_cast<unsigned char>(foldAscii(static_cast<unsigned char>(text[i])));
    if (i < head.size()) head[i] = c;
    hash = (hash ^ c) * kPrime;
  }
  hash = (hash ^ (text.size() + 1)) * kPrime;
  for (std::size_t w = 0; w < words; ++w) {
    prefix[w] = 0;
    for (std::size_t b = 0; b < 8; ++b) prefix[w] = prefix[w] << 8 | head[w * 8 + b];
  }
}

// "YYYYMMDD" from the year, month and day of a row, whose widths the decoder has checked.
std::array<char, 8> dateOf(const EmailRow& row) {
  std::array<char, 8> date{};
  std::string_view y = row.texts[kANETLEMAIL], m = row.texts[kMEETLEMAIL],
                   d = row.texts[kDIETLEMAIL];
  std::copy_n(y.begin(), std::min<std::size_t>(y.size(), 4), date.begin());
  std::copy_n(m.begin(), std::min<std::size_t>(m.size(), 2), date.begin() + 4);
  std::copy_n(d.begin(), std::min<std::size_t>(d.size(), 2), date.begin() + 6);
  return date;
}

}  // namespace

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
  dayScratch_.assign(branch);
  dayScratch_.append(date.data(), date.size());
  dayScratch_ += static_cast<char>(branch.size());
  auto [at, added] = dayIndex_.try_emplace(dayScratch_, static_cast<std::uint32_t>(days_.size()));
  if (added) days_.push_back({branch, date});
  return lastDay_ = at->second;
}

void NetChanges::push(const EmailRow& row, bool store) {
  Change change{};
  change.row = &row;
  change.day = dayOf(row.texts[kCDFILIAL], dateOf(row));
  change.order = next_++;
  change.store = store;
  // The day's index stands for the branch and the date: it is the same for the same day.
  change.hash = 0xcbf29ce484222325 ^ change.day;
  std::uint64_t origin[2];
  foldAddress(row.texts[kNMORIGEM], change.hash, origin, 2);
  foldAddress(row.texts[kNMDESTINO], change.hash, &change.destination, 1);
  change.originHigh = origin[0];
  change.originLow = origin[1];
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
        if (compareKeys(change.old, change.row) != 0) push(change.old, false);
        push(change.row, true);
        break;
      case ChangeOp::Delete:
        push(change.old, false);
        break;
    }
  }
}

void NetChanges::settle() {
  replaced_.clear();
  deletions_.clear();
  rows_.clear();
  // The days in key order: the branch by its bytes, then the date.
  std::vector<std::uint32_t> byRank(days_.size());
  for (std::uint32_t i = 0; i < byRank.size(); ++i) byRank[i] = i;
  std::sort(byRank.begin(), byRank.end(), [this](std::uint32_t a, std::uint32_t b) {
    int d = compareBytes(days_[a].branch, days_[b].branch);
    return d != 0 ? d < 0 : days_[a].date < days_[b].date;
  });
  for (std::uint32_t rank = 0; rank < byRank.size(); ++rank) {
    DayEntry& day = days_[byRank[rank]];
    day.rank = rank;
    if (day.replaced) replaced_.push_back({day.branch, {day.date.data(), day.date.size()}});
  }

  // The last change of each key decides: found by hashing, it takes its key's slot over from
  // the changes before it.
  constexpr std::uint32_t kFree = ~std::uint32_t{0};
  std::size_t capacity = 16;
  while (capacity < 2 * changes_.size()) capacity *= 2;
  slots_.assign(capacity, kFree);
  for (std::uint32_t i = 0; i < changes_.size(); ++i) {
    const Change& change = changes_[i];
    for (std::size_t at = change.hash & (capacity - 1);; at = (at + 1) & (capacity - 1)) {
      std::uint32_t& slot = slots_[at];
      if (slot != kFree) {
        const Change& other = changes_[slot];
        if (other.hash != change.hash || other.day != change.day ||
            compareAddresses(*other.row, *change.row) != 0) {
          continue;
        }
      }
      slot = i;
      break;
    }
  }
  std::vector<Change>& last = survivors_;
  last.clear();
  for (std::uint32_t slot : slots_) {
    if (slot == kFree) continue;
    const Change& change = changes_[slot];
    const DayEntry& day = days_[change.day];
    if (day.replaced && day.replacedAt > change.order) continue;  // gone with its day
    last.push_back(change);
    last.back().day = day.rank;
  }
  std::sort(last.begin(), last.end(), [](const Change& a, const Change& b) {
    if (a.day != b.day) return a.day < b.day;
    if (a.originHigh != b.originHigh) return a.originHigh < b.originHigh;
    if (a.originLow != b.originLow) return a.originLow < b.originLow;
    return a.destination < b.destination;
  });
  for (const Change& change : last) (change.store ? rows_ : deletions_).push_back(change.row);
}

void NetChanges::clear() {
  next_ = 0;
  changes_.clear();
  survivors_.clear();
  days_.clear();
  dayIndex_.clear();
  lastDay_ = 0;
  replaced_.clear();
  deletions_.clear();
  rows_.clear();
}

}  // namespace zeb::server
