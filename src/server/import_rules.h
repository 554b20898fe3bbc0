// The rules that decide what one accepted batch does besides its own changes, the same for every
// storage backend: which (branch, day) pairs it carries, which of them it replaces for its
// session, and which it may no longer touch because a later import has taken them.
//
// An import session marks a date (SetDelEmail) and gets a ticket, its place among the imports
// of the database. Each (branch, day) belongs to the import with the latest ticket that has
// replaced it. Imports of one branch that overlap in time thus end as if they had run one after
// another in the order of their tickets: a change on a day owned by a later ticket is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "server/email_params.h"

namespace zeb::server {

// What one import session has asked to be replaced, and what it has replaced so far.
struct Replacement {
  // The first date whose stored statistics the session replaces, "YYYYMMDD"; empty when the
  // session has marked none, and then nothing is replaced.
  std::string from;
  // The (branch, day) pairs replaced so far, as made by dayKey() (net_changes.h).
  std::unordered_set<std::string> replaced;
  // The import's place among the imports of the database, given when it marks its date; 0 for
  // a session that has not, which takes no day from another.
  std::uint64_t ticket = 0;
};

struct ApplyCounts {
  std::uint64_t inserted = 0;  // the batch's changes of each kind, all applied
  std::uint64_t updated = 0;
  std::uint64_t deleted = 0;
  std::uint64_t replacedDays = 0;  // (branch, day) pairs whose stored rows the batch replaced
};

// The (branch, day) pairs that a batch's changes carry (in "row" or "old"), as day keys one
// after another in the order first met.
std::string daysCarried(const EmailBatch& batch);

// Of the days "carried", those the batch replaces: on or after "replacement.from" and not
// replaced by the session yet.
std::string daysToReplace(std::string_view carried, const Replacement& replacement);

// Of the days "carried", those owned by an import with a later ticket than "ticket", as told by
// "ownerOf" (the ticket that owns a day key; 0 for none). None for ticket 0.
std::unordered_set<std::string> daysLost(
    std::string_view carried, std::uint64_t ticket,
    const std::function<std::uint64_t(const std::string& day)>& ownerOf);

// Drops from "batch" the changes on the days of "lost" (day keys), in place.
void dropDays(EmailBatch& batch, const std::unordered_set<std::string>& lost);

// The latest date among a list of day keys; empty for an empty list.
std::string lastDate(std::string_view days);

// The changes of each kind in "batch".
ApplyCounts countChanges(const EmailBatch& batch);

// Adds the days "replaced" (day keys) to the session's and counts them.
void rememberReplaced(std::string_view replaced, Replacement& replacement, ApplyCounts& counts);

}  // namespace zeb::server
