// Decoding the positional params of the remote object's methods. Every fault is an RpcError
// with the code kInvalidParams and a message that names the method, the change, the row and
// the column at fault. Text that is not JSON throws JsonSyntaxError; a fault found before the
// end leaves the rest unread, so the caller checks the whole body (checkWellFormed) before it
// reports an RpcError.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/email_layout.h"

namespace zeb::server {

enum class ChangeOp { Insert, Update, Delete };

struct EmailChange {
  ChangeOp op = ChangeOp::Insert;
  EmailRow old;  // update, delete: the row as it was when loaded or last merged
  EmailRow row;  // insert, update: the row as it is now
};

// One decoded SetEmail delta. Its texts are views into the request body or into "arena";
// both must outlive the batch's use. Reused from call to call so that decoding allocates
// nothing once the buffers have grown to the size of the batches.
struct EmailBatch {
  std::vector<EmailChange> changes;
  std::string arena;
};

// GetEmail(): no params.
void decodeGetEmailParams(std::string_view params);

// SetDelEmail(year, month, day): three texts, "YYYY", "MM" (01-12), "DD" (01-31). Answers the
// date as "YYYYMMDD".
std::string decodeSetDelEmailParams(std::string_view params);

// GetEmailStats(branch, from, to, pageSize, after), decoded. The dates are "YYYYMMDD".
struct StatsQuery {
  std::string branch;  // empty: every branch
  std::string from;
  std::string to;
  int pageSize = 0;
  // The key of the last row of the previous page (branch, year, month, day, origin,
  // destination); empty for the first page.
  std::vector<std::string> after;
};

inline constexpr int kStatsPageMax = 10000;

// GetEmailStats(branch, from, to, pageSize, after): "branch" a text of at most 4 characters
// ("" for every branch); "from" and "to" calendar dates "YYYY-MM-DD", "from" not after "to";
// "pageSize" a whole number from 1 to kStatsPageMax; "after" null or the "next" key that the
// previous page answered (six texts).
StatsQuery decodeGetEmailStatsParams(std::string_view params);

// SetEmail(delta): the columns matched by name, in any order; every cdsDados column must be
// there and no other. Texts must fit their column's width in characters; the date columns must
// be digits (ANETLEMAIL four, MEETLEMAIL 01-12, DIETLEMAIL 01-31). A NUL character in a text
// ("\u0000") is read as U+FFFD, the replacement character, so that every database stores the
// row alike (PostgreSQL's texts cannot hold a NUL).
void decodeSetEmailParams(std::string_view params, EmailBatch& batch);

// The SetEmail params of "batch": what decodeSetEmailParams() reads back as the same changes.
std::string encodeSetEmailParams(const EmailBatch& batch);

// Refuses a decoded batch that would store a row no import produces, so that the table and its
// totals hold only such rows. Every row stored (the "row" of an insert or an update; the "old"
// rows only name keys, which may be rows stored before these rules) must have:
//  - a day that its month has in its year (the Gregorian calendar: no 31 April, 29 February
//    only in a leap year);
//  - VRVOLDADOS a whole number of bytes from 0 and QTEMAIL a whole number of messages from 1,
//    neither past 2^53, where doubles stop counting by one;
//  - the period codes of its month, as the import builds them: BIETLEMAIL, TRETLEMAIL and
//    SEETLEMAIL the number of the bimester, trimester and semester followed by "°Bim", "°Tri"
//    and "°Sem" (month 03: "2°Bim", "1°Tri", "1°Sem").
// The widths and the date's digits were checked by decodeSetEmailParams(). Throws RpcError
// kInvalidParams naming the change, the column and the value, for the first fault met, such as
//   SetEmail: change 3: DIETLEMAIL in "row" must be a day of 2025-02 (01 to 28), not '31'
void checkStorableRows(const EmailBatch& batch);

}  // namespace zeb::server
