// The net effect of a run of batches on the statistics table, worked out in memory, so that the
// table is written once per key, nearly in key order, however many batches the run holds.
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

  // Adds a batch after those added before: first the days it replaces ("days", a list of day
  // keys), then its changes in order. The texts of "days" and "batch" must stay valid and
  // unchanged until clear().
  void add(std::string_view days, const EmailBatch& batch);
  // Works out the net effect of what was added; then the lists below hold it.
  void settle();
  // Forgets everything added.
  void clear();

  // The days whose stored rows go first, each once.
  const std::vector<Day>& replacedDays() const { return replaced_; }
  // Then the keys deleted, one row carrying each key, nearly in key order.
  const std::vector<const EmailRow*>& deletions() const { return deletions_; }
  // Then the rows stored, one per key, nearly in key order: by branch, day and the first bytes
  // of the addresses (the order in which the table takes them fastest; any order would store
  // the same).
  const std::vector<const EmailRow*>& rows() const { return rows_; }

 private:
  // A branch's day met in the run.
  struct DayEntry {
    std::string_view branch;
    std::array<char, 8> date;
    bool replaced = false;
    std::uint32_t replacedAt = 0;  // the order of its last replacement
    std::uint32_t rank = 0;        // its place in key order among the run's days
  };
  // One change to one key, with what is needed to find the other changes to its key (a hash
  // of the key as the table compares it) and to sort the rows nearly into key order without
  // reading them (the day's rank, and the first bytes of the addresses folded).
  struct Change {
    std::uint64_t hash;
    std::uint64_t originHigh;
    std::uint64_t originLow;
    std::uint64_t destination;
    const EmailRow* row;
    std::uint32_t day;  // an index into days_ until settle() ranks the days, then the rank
    std::uint32_t order;
    bool store;
  };
  std::uint32_t dayOf(std::string_view branch, const std::array<char, 8>& date);
  void push(const EmailRow& row, bool store);

  std::uint32_t next_ = 0;
  std::vector<Change> changes_;
  std::vector<std::uint32_t> slots_;  // the hash table that finds the last change of each key
  std::vector<Change> survivors_;
  std::vector<DayEntry> days_;
  std::unordered_map<std::string, std::uint32_t> dayIndex_;  // the days_ index of each day
  std::string dayScratch_;
  std::uint32_t lastDay_ = 0;
  std::vector<Day> replaced_;
  std::vector<const EmailRow*> deletions_;
  std::vector<const EmailRow*> rows_;
};

}  // namespace zeb::server
