// The net effect of a run of batches on the statistics table, worked out in memory, so that the
// table is written once per key, in key order, however many batches the run holds.
//
// Every change of a batch acts on keys without regard to what is stored, which is what makes
// this possible:
//  - insert(row) stores the row under its key, over whatever is there;
//  - update(old, row) deletes old's key and stores the row under its key (the table's rules for
//    an update come to this, whether or not the old row is still stored);
//  - delete(old) deletes old's key;
//  - replacing a day deletes every key of that branch's day.
// So what a run leaves under a key is decided by the last of these that reached it: a row
// stored after the last replacement of its day is stored, a key deleted last is deleted, and
// anything before a replacement of its day is gone with the day.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/email_params.h"

namespace zeb::server {

// A row's date, "YYYYMMDD", from its year, month and day (four, two and two digits, as the
// decoder has checked).
std::array<char, 8> rowDate(const EmailRow& row);

// The key of one branch's day, as kept in Replacement::replaced and in the day lists of the
// pending file: the branch's length in one byte, the branch, and "YYYYMMDD".
std::string dayKey(std::string_view branch, std::string_view date);

// Calls "day(branch, date)" for every key of a list of day keys written one after another.
template <typename F>
void forEachDay(std::string_view days, F&& day) {
  std::size_t at = 0;
  while (at < days.size()) {
    auto length = static_cast<unsigned char>(days[at]);
    day(days.substr(at + 1, length), days.substr(at + 1 + length, 8));
    at += 1 + length + 8;
  }
}

// The order of the table's key, as SQLite compares it: the branch, year, month and day by their
// bytes, then the origin and the destination with the NOCASE collation (ASCII letters folded).
// Negative, zero or positive; zero means the table holds the two rows under one key.
int compareKeys(const EmailRow& a, const EmailRow& b);

class NetChanges {
 public:
  struct Day {
    std::string_view branch;
    std::string_view date;  // "YYYYMMDD"
  };
  // What a run leaves under the key of a row stored in one of its replaced days.
  enum class Outcome {
    kGone,      // nothing: the stored row goes
    kReplaced,  // another row, which rows() stores over it
    kSame,      // this very row, column for column: rows() leaves it out
  };

  // Adds a batch after those added before: first the days it replaces ("days", a list of day
  // keys), then its changes in order. The texts of "days" and "batch" must stay valid and
  // unchanged until clear().
  void add(std::string_view days, const EmailBatch& batch);
  // Works out the net effect of what was added. Then, in this order: replacedDays(), the
  // outcome of each stored row of those days, deletions() and rows().
  void settle();
  // Forgets everything added.
  void clear();

  // The days whose stored rows the run replaces, each once, in key order.
  const std::vector<Day>& replacedDays() const { return replaced_; }
  // "stored" is a row stored in one of replacedDays() before the run.
  Outcome outcomeOf(const EmailRow& stored);
  // The keys deleted, one row carrying each key, in key order.
  const std::vector<const EmailRow*>& deletions();
  // The rows stored, one per key, in key order (the order in which the table takes them
  // fastest: rows past its last key are appended). Rows found kSame are left out.
  const std::vector<const EmailRow*>& rows();

 private:
  // A branch's day met in the run.
  struct DayEntry {
    std::string_view branch;
    std::array<char, 8> date;
    bool replaced = false;
    std::uint32_t replacedAt = 0;  // the order of its last replacement
    std::uint32_t rank = 0;        // its place in key order among the run's days
  };
  // The first bytes of the addresses, folded as the key compares them, and their lengths: they
  // order the rows without reading them, but for addresses that share their first bytes.
  static constexpr std::size_t kOriginWords = 4;
  static constexpr std::size_t kDestinationWords = 2;
  struct SortKey {
    std::uint64_t origin[kOriginWords];
    std::uint64_t destination[kDestinationWords];
    std::uint32_t originLength;
    std::uint32_t destinationLength;
  };
  // One change to one key, with a hash of the key as the table compares it, to find the other
  // changes to that key.
  struct Change {
    std::uint64_t hash;
    SortKey sort;
    const EmailRow* row;
    std::uint32_t day;    // an index into days_
    std::uint32_t order;  // in the run
    bool store;
    bool same;        // a row stored already, found by outcomeOf()
    bool superseded;  // a later change to its key came
  };
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  struct Slot {
    std::uint64_t hash;
    std::uint32_t change;  // kNone: free
  };
  // What order() sorts: a change that decides its key.
  struct Sorted {
    SortKey sort;
    std::uint32_t rank;  // of the change's day
    std::uint32_t change;
  };

  std::uint32_t dayOf(std::string_view branch, const std::array<char, 8>& date);
  void hashKey(Change& change) const;
  void push(const EmailRow& row, bool store);
  std::size_t find(const Change& key) const;
  bool goneWithDay(const Change& change) const;
  void order();

  std::uint32_t next_ = 0;
  std::vector<Change> changes_;
  std::vector<Slot> slots_;  // the hash table: the last change of each key
  std::vector<Sorted> sorted_;
  bool ordered_ = false;
  std::vector<DayEntry> days_;
  std::unordered_map<std::string, std::uint32_t> dayIndex_;  // by dayKey(): the index in days_
  std::uint32_t lastDay_ = 0;
  std::vector<Day> replaced_;
  std::vector<const EmailRow*> deletions_;
  std::vector<const EmailRow*> rows_;
};

}  // namespace zeb::server
