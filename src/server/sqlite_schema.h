// The schema of a SQLite statistics database, and its version.
//
// The database holds the tables estatistica_email (the statistics), merge_state (the last
// batch merged) and schema_version (one row: the version of this layout, kSqliteSchemaVersion).
// A database from before the version was recorded (the first two tables alone, with our
// columns) is ours and is adopted: the version table is added on its first write.
#pragma once

#include <string>

struct sqlite3;

namespace zeb::server {

inline constexpr int kSqliteSchemaVersion = 1;

// Checks that the database "db" (opened from "path") is ours at a version this program knows.
// With "write" it then creates what is missing, all in one transaction: the whole schema in an
// empty database, the version table in an adopted one. Throws Exception, having changed
// nothing, for a database that is not ours or is newer:
//   Database 'PATH': not a statistics database of zeb18000: it holds the table 'customers'
//   Database 'PATH': not a statistics database of zeb18000: its table estatistica_email has
//     other columns (CDFILIAL, NAME) than ours
//   Database 'PATH': its schema is version 3, newer than this program knows (1); use the
//     zeb18000 that wrote it, or a later one
// and "Database 'PATH': reading its schema: REASON" when SQLite cannot read it (not a database).
void checkSqliteSchema(sqlite3* db, const std::string& path, bool write);

// The statements that make the statistics table and the merge state, for tests that need a
// database as earlier versions wrote it.
const char* sqliteTableStatements();

}  // namespace zeb::server
