#include "server/postgres_tables.h"

#include <lz4.h>

#include <charconv>
#include <cstring>
#include <limits>

#include "platform/core/exceptions.h"
#include "server/batch_record.h"
#include "server/email_params.h"
#include "server/pg_connection.h"
#include "server/postgres_backend.h"

namespace zeb::server {

namespace {

std::string keyPrefix(std::string_view branch, std::string_view year, std::string_view month,
                      std::string_view day) {
  return "replace(" + std::string(branch) + ", E'\\x01', E'\\x01\\x02') || E'\\x01\\x01' || " +
         std::string(year) + " || " + std::string(month) + " || " + std::string(day);
}

const std::string kCreate =
    std::string("CREATE TABLE IF NOT EXISTS estatistica_email (") + kTextColumns +
    " vrvoldados double precision NOT NULL, qtemail double precision NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS estatistica_email_key ON estatistica_email (" +
    rowKey() +
    ");"
    "CREATE TABLE IF NOT EXISTS zeb_import_session (id text PRIMARY KEY,"
    " from_date text NOT NULL, ticket bigint NOT NULL, last_used bigint NOT NULL);"
    "CREATE TABLE IF NOT EXISTS zeb_session_day (session text NOT NULL,"
    " day text COLLATE \"C\" NOT NULL, PRIMARY KEY (session, day));"
    "CREATE TABLE IF NOT EXISTS zeb_day_owner (day text COLLATE \"C\" PRIMARY KEY,"
    " ticket bigint NOT NULL);"
    "CREATE SEQUENCE IF NOT EXISTS zeb_import_ticket;"
    "CREATE TABLE IF NOT EXISTS zeb_pending_batch (seq bigint PRIMARY KEY, days bytea NOT NULL,"
    " last_date text COLLATE \"C\" NOT NULL, delta bytea NOT NULL);"
    "CREATE SEQUENCE IF NOT EXISTS zeb_batch_number;"
    "CREATE TABLE IF NOT EXISTS zeb_schema_version (id integer PRIMARY KEY CHECK (id = 1),"
    " version integer NOT NULL);"
    "INSERT INTO zeb_schema_version VALUES (1, " +
    std::to_string(kPostgresSchemaVersion) +
    ") ON CONFLICT (id) DO UPDATE SET version = EXCLUDED.version"
    " WHERE zeb_schema_version.version < EXCLUDED.version;";

// The deltas come compressed (pendingForm()): PostgreSQL stores them as they are.
constexpr const char* kPendingStorage =
    "ALTER TABLE zeb_pending_batch ALTER COLUMN delta SET STORAGE EXTERNAL";

constexpr const char* kOurColumns =
    "cdfilial text, nmorigem text, nmdestino text, anetlemail text, meetlemail text,"
    " dietlemail text, bietlemail text, seetlemail text, tretlemail text,"
    " vrvoldados double precision, qtemail double precision";

const std::string kInspect =
    "SELECT to_regclass('zeb_schema_version') IS NOT NULL,"
    " to_regclass('estatistica_email') IS NOT NULL,"
    " coalesce(to_regclass('zeb_import_session')::text, to_regclass('zeb_session_day')::text,"
    " to_regclass('zeb_day_owner')::text, to_regclass('zeb_import_ticket')::text,"
    " to_regclass('zeb_pending_batch')::text, to_regclass('zeb_batch_number')::text, ''),"
    " (SELECT string_agg(attname || ' ' || format_type(atttypid, atttypmod), ', '"
    " ORDER BY attnum) FROM pg_attribute WHERE attrelid = to_regclass('estatistica_email')"
    " AND attnum > 0 AND NOT attisdropped),"
    " to_regclass('zeb_pending_batch') IS NOT NULL";

}  // namespace

std::string keyOf(std::string_view branch, std::string_view year, std::string_view month,
                  std::string_view day, std::string_view origin, std::string_view destination) {
  return "(" + keyPrefix(branch, year, month, day) + " || replace(lower(" + std::string(origin) +
         "), E'\\x01', E'\\x01\\x02') || E'\\x01\\x01' || lower(" + std::string(destination) + "))";
}

std::string rowKey(std::string_view alias) {
  std::string a = alias.empty() ? std::string() : std::string(alias) + ".";
  return keyOf(a + "cdfilial", a + "anetlemail", a + "meetlemail", a + "dietlemail", a + "nmorigem",
               a + "nmdestino");
}

std::string dayStart(std::string_view branch, std::string_view year, std::string_view month,
                     std::string_view day) {
  return "(" + keyPrefix(branch, year, month, day) + ")";
}

std::string dayEnd(std::string_view branch, std::string_view year, std::string_view month,
                   std::string_view day) {
  // The day's last digit one up: the keys of the day share everything before it.
  const std::string d(day);
  return "(" +
         keyPrefix(branch, year, month,
                   "left(" + d + ", 1) || chr(ascii(right(" + d + ", 1)) + 1)") +
         ")";
}

bool fieldIsTrue(std::string_view field) { return field == "t"; }

double fieldDouble(std::string_view text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::int64_t fieldInt(std::string_view text) {
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::string dayText(std::string_view branch, std::string_view date) {
  return std::string(date) + std::string(branch);
}

bool setUpPostgresTables(PgConnection& c, bool readOnly) {
  bool pendingTable = true;
  auto refuse = [&](const std::string& why) {
    throw platform::Exception("Database '" + c.shown() + "': " + why);
  };
  // Looked at under the schema lock, so that two servers starting on an empty database do not
  // both make it.
  c.exec(std::string("BEGIN;") + kSchemaLock, "reading its schema");
  try {
    PgResult found = std::move(c.exec(kInspect, "reading its schema").front());
    bool versioned = fieldIsTrue(pgField(found, 0, 0));
    bool table = fieldIsTrue(pgField(found, 0, 1));
    std::string other(pgField(found, 0, 2));
    std::string columns(pgField(found, 0, 3));
    bool pending = fieldIsTrue(pgField(found, 0, 4));
    if (!versioned && (table || !other.empty())) {
      refuse("not a statistics database of zeb18000: it holds a table " +
             (table ? std::string("estatistica_email") : other) + " that zeb18000 did not make");
    }
    std::int64_t v = 0;
    if (versioned) {
      PgResult version =
          std::move(c.exec("SELECT version FROM zeb_schema_version", "reading its schema").front());
      v = pgRows(version) > 0 ? fieldInt(pgField(version, 0, 0)) : 0;
      if (v > kPostgresSchemaVersion) {
        refuse("its schema is version " + std::to_string(v) + ", newer than this program knows (" +
               std::to_string(kPostgresSchemaVersion) +
               "); use the zeb18000 that wrote it, or a later one");
      }
    }
    if (table && columns != kOurColumns) {
      refuse(
          "not a statistics database of zeb18000: its table estatistica_email has other columns (" +
          columns + ") than ours");
    }
    if (readOnly) {
      if (!table) refuse("reading the table estatistica_email: it does not exist");
      // Version 1 had no pending table: then nothing is pending.
      pendingTable = pending;
    } else {
      // Before version 3 the key was six columns: the index is made anew on the one text.
      if (table && v < 3) c.exec("DROP INDEX estatistica_email_key", "creating the tables");
      c.exec(kCreate, "creating the tables");
      // Before version 4 the deltas came uncompressed, and PostgreSQL compressed them.
      if (!pending || v < 4) c.exec(kPendingStorage, "creating the tables");
    }
    c.exec("COMMIT", "creating the tables");
  } catch (...) {
    c.rollBack();
    throw;
  }
  return pendingTable;
}

void pendingForm(const EmailBatch& batch, std::string& scratch, std::string& out) {
  encodeBatchRecord(batch, scratch);
  if (scratch.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
    throw platform::Exception("The batch is too large to keep pending (" +
                              std::to_string(scratch.size()) + " bytes)");
  }
  const int size = static_cast<int>(scratch.size());
  const int bound = LZ4_compressBound(size);
  out.assign(kPendingPacked);
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((size >> shift) & 0xff);
  const std::size_t head = out.size();
  out.resize(head + static_cast<std::size_t>(bound));
  int packed = LZ4_compress_default(scratch.data(), out.data() + head, size, bound);
  if (packed <= 0) throw platform::Exception("The batch could not be compressed");
  out.resize(head + static_cast<std::size_t>(packed));
}

void unpackPending(std::string_view packed, std::string& out) {
  const auto malformed = [] { return platform::Exception("the batch record is malformed"); };
  if (packed.size() < 4) throw malformed();
  std::uint32_t size = 0;
  for (int i = 0; i < 4; ++i) {
    size |= std::uint32_t{static_cast<unsigned char>(packed[i])} << (8 * i);
  }
  const std::string_view body = packed.substr(4);
  // LZ4 expands at most 255 times: a larger size is not of these bytes.
  if (size > static_cast<std::uint32_t>(LZ4_MAX_INPUT_SIZE) || size / 255 > body.size() ||
      body.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw malformed();
  }
  out.resize(size);
  int got = LZ4_decompress_safe(body.data(), out.data(), static_cast<int>(body.size()),
                                static_cast<int>(size));
  if (got < 0 || static_cast<std::uint32_t>(got) != size) throw malformed();
}

}  // namespace zeb::server
