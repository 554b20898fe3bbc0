// The tables of the PostgreSQL backend (postgres_backend.h lists them): the statements that make
// them, the check that a database's schema is ours, the names of the statistics' columns and
// key that every statement on them shares, and the advisory locks that order the servers of a
// database. Also how their fields read as numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeb::server {

class PgConnection;

// Advisory locks of this schema (the second key): one for setting the schema up, one that every
// batch takes when it is accepted, so that batches are numbered one after another, and one that
// every merge takes, so that they are merged one after another. A merge never waits for an
// accept, nor an accept for a merge.
inline constexpr const char* kSchemaLock =
    "SELECT pg_advisory_xact_lock(1952801, hashtext(current_schema()))";
inline constexpr const char* kBatchLock =
    "SELECT pg_advisory_xact_lock(1952802, hashtext(current_schema()))";
inline constexpr const char* kMergeLock =
    "SELECT pg_advisory_xact_lock(1952803, hashtext(current_schema()))";

// What a pending batch's delta starts with when it holds the batch's compact form rather than
// the delta text as it came (which starts with '[' or '{'): kPendingCompact as it is (left by
// servers of version 3), kPendingPacked compressed with LZ4 (pendingForm()).
inline constexpr std::string_view kPendingCompact = "C";
inline constexpr std::string_view kPendingPacked = "L";

struct EmailBatch;
// The form in which "batch" waits in the pending table: kPendingPacked, the compact form's size
// (four bytes, least significant first), then the compact form compressed with LZ4 (a fifth of
// its size on mail logs). Compressed here, PostgreSQL takes in, copies and writes a fifth of
// the bytes, which made accepting batches about a third cheaper; the column is stored as it
// comes, not compressed again. "scratch" holds the compact form meanwhile.
void pendingForm(const EmailBatch& batch, std::string& scratch, std::string& out);
// The compact form of a kPendingPacked delta, written into "out" ("packed" without the prefix).
// Throws Exception "the batch record is malformed" when it is not one.
void unpackPending(std::string_view packed, std::string& out);

inline constexpr const char* kColumnNames =
    "cdfilial, nmorigem, nmdestino, anetlemail, meetlemail, dietlemail, bietlemail, seetlemail,"
    " tretlemail, vrvoldados, qtemail";

// The texts compare by their bytes ("C"), and the addresses' key folds ASCII letters alone
// (lower() under "C"): the order of SQLite's key with its NOCASE addresses.
inline constexpr const char* kTextColumns =
    " cdfilial text COLLATE \"C\" NOT NULL, nmorigem text COLLATE \"C\" NOT NULL,"
    " nmdestino text COLLATE \"C\" NOT NULL, anetlemail text COLLATE \"C\" NOT NULL,"
    " meetlemail text COLLATE \"C\" NOT NULL, dietlemail text COLLATE \"C\" NOT NULL,"
    " bietlemail text COLLATE \"C\" NOT NULL, seetlemail text COLLATE \"C\" NOT NULL,"
    " tretlemail text COLLATE \"C\" NOT NULL,";

// The key of the statistics, as an SQL expression of its six parts (texts of collation "C"):
// branch, date and the addresses lower-cased in ASCII (lower() under "C"), as one text whose
// byte order is the order of the six, which is the order of SQLite's key with its NOCASE
// addresses. The table's unique index is on it: an index comparison is then one comparison of
// bytes where six columns took up to six, and a COPY into the table a quarter to a third less
// time. The branch and the origin have each \x01 written \x01\x02 and end in \x01\x01, which
// sorts before anything they may go on with, so that no two keys meet whatever the texts hold;
// the date is eight characters (four, two and two), as every stored row has it.
std::string keyOf(std::string_view branch, std::string_view year, std::string_view month,
                  std::string_view day, std::string_view origin, std::string_view destination);
// The key of a row of the table or of the staging table, whose columns are named after
// "alias." when one is given. Written the same everywhere, so that the index serves it.
std::string rowKey(std::string_view alias = {});
// The keys of a day lie from dayStart() (inclusive) to dayEnd() (exclusive); "day" is its two
// digits.
std::string dayStart(std::string_view branch, std::string_view year, std::string_view month,
                     std::string_view day);
std::string dayEnd(std::string_view branch, std::string_view year, std::string_view month,
                   std::string_view day);

// Makes whatever of the tables is missing, unless "readOnly", under the schema lock, after
// checking that the database's tables are ours and not of a newer version. Answers whether the
// pending table exists (a database of version 1, opened for reading, has none). Throws Exception
// "Database 'SHOWN': ..." saying why a database is refused.
bool setUpPostgresTables(PgConnection& c, bool readOnly);

// A field in PostgreSQL's text format, as a truth value ("t") or a number (0 when it is none).
bool fieldIsTrue(std::string_view field);
double fieldDouble(std::string_view field);
std::int64_t fieldInt(std::string_view field);

// A day as the session and owner tables keep it: "YYYYMMDD" and the branch after it.
std::string dayText(std::string_view branch, std::string_view date);

}  // namespace zeb::server
