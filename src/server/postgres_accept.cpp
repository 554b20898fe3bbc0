// The PostgreSQL backend's import sessions and the acceptance of their batches.
#include <unordered_map>
#include <unordered_set>

#include "platform/core/exceptions.h"
#include "server/batch_record.h"
#include "server/pg_connection.h"
#include "server/postgres_backend.h"
#include "server/postgres_lease.h"
#include "server/postgres_merger.h"
#include "server/postgres_tables.h"

namespace zeb::server {

namespace {

void refuseIfReadOnly(const BackendOptions& options) {
  if (options.readOnly) {
    throw platform::Exception("Database '" + shownUri(options.database) +
                              "': opened for reading only");
  }
}

// Records that the session "id" (a literal) is used at "now", made when unknown; one quiet since
// before "cutoff" starts afresh, without its mark and ticket.
std::string recordUse(const std::string& id, std::int64_t now, std::int64_t cutoff) {
  const std::string before = std::to_string(cutoff);
  return "INSERT INTO zeb_import_session (id, from_date, ticket, last_used) VALUES (" + id +
         ", '', 0, " + std::to_string(now) +
         ") ON CONFLICT (id) DO UPDATE SET last_used = EXCLUDED.last_used,"
         " from_date = CASE WHEN zeb_import_session.last_used < " +
         before +
         " THEN '' ELSE zeb_import_session.from_date END,"
         " ticket = CASE WHEN zeb_import_session.last_used < " +
         before + " THEN 0 ELSE zeb_import_session.ticket END";
}

// The day keys of "days" as the session and owner tables keep them, as a text[] value in
// PostgreSQL's text form, for a parameter.
std::string dayArrayValue(std::string_view days) {
  std::string value = "{";
  server::forEachDay(days, [&](std::string_view branch, std::string_view date) {
    if (value.size() > 1) value += ',';
    value += '"';
    for (char ch : dayText(branch, date)) {
      if (ch == '"' || ch == '\\') value += '\\';
      value += ch;
    }
    value += '"';
  });
  return value + "}";
}

// The same as an SQL array.
std::string dayArray(PgConnection& c, std::string_view days) {
  return c.literal(dayArrayValue(days)) + "::text[]";
}

// A batch of a session whose state this server knows, with the state it leaves, in one
// statement that writes nothing unless the session's row is still at the version known ($5:
// its xmin, which every write of the row changes), so that its mark, ticket and days are the
// remembered ones, and no day of the batch ($7) belongs to an import with a later ticket than
// its own ($6), so that the rules drop nothing; else the batch takes the way that reads the
// state.
// $1 the days it replaces, $2 its latest day, $3 its pending form, $4 the session, $8 the days
// it replaces as day keys, $9 the time of the call. Prepared once per connection: everything
// that changes is a parameter, the numbers and arrays in their text form.
constexpr const char* kStoreKnown =
    "WITH known AS (SELECT 1 FROM zeb_import_session WHERE id = $4::text AND xmin::text = $5::text"
    " AND ($6::text::bigint = 0 OR NOT EXISTS (SELECT 1 FROM zeb_day_owner"
    " WHERE day = ANY($7::text::text[]) AND ticket > $6::text::bigint))),"
    " batch AS (INSERT INTO zeb_pending_batch (seq, days, last_date, delta)"
    " SELECT nextval('zeb_batch_number'), $1, $2, $3 FROM known),"
    " owner AS (INSERT INTO zeb_day_owner (day, ticket) SELECT d, $6::text::bigint FROM known,"
    " unnest($8::text::text[]) d WHERE $6::text::bigint > 0 ON CONFLICT (day) DO UPDATE SET"
    " ticket = greatest(zeb_day_owner.ticket, EXCLUDED.ticket)),"
    " day AS (INSERT INTO zeb_session_day (session, day) SELECT $4::text, d FROM known,"
    " unnest($8::text::text[]) d ON CONFLICT DO NOTHING)"
    " UPDATE zeb_import_session SET last_used = $9::text::bigint FROM known WHERE id = $4::text"
    " RETURNING xmin::text";

}  // namespace

void PostgresBackend::touchSession(std::string_view session) {
  if (options_.readOnly) return;
  Lease c(*this);
  c->exec(recordUse(c->literal(session), nowMicros(), cutoffMicros()), "recording the session");
  // The session's row has changed: its next batch reads its state afresh.
  forget(session);
}

void PostgresBackend::startImport(std::string_view session, const std::string& from) {
  refuseIfReadOnly(options_);
  Lease c(*this);
  std::string id = c->literal(session);
  std::string cutoff = std::to_string(cutoffMicros());
  std::int64_t now = nowMicros();
  // Sessions quiet for longer than the timeout are forgotten on the way.
  std::vector<PgResult> started = c->exec(
      "BEGIN;"
      "DELETE FROM zeb_session_day WHERE session IN (SELECT id FROM zeb_import_session"
      " WHERE last_used < " +
          cutoff + ") OR session = " + id +
          ";"
          "DELETE FROM zeb_import_session WHERE last_used < " +
          cutoff +
          ";"
          "INSERT INTO zeb_import_session (id, from_date, ticket, last_used) VALUES (" +
          id + ", " + c->literal(from) + ", nextval('zeb_import_ticket'), " + std::to_string(now) +
          ") ON CONFLICT (id) DO UPDATE SET from_date = EXCLUDED.from_date,"
          " ticket = EXCLUDED.ticket, last_used = EXCLUDED.last_used"
          " RETURNING xmin::text, ticket;"
          "COMMIT",
      "starting an import");
  KnownSession known;
  known.replacement.from = from;
  if (!started.empty() && pgRows(started.front()) == 1) {
    known.version = std::string(pgField(started.front(), 0, 0));
    known.replacement.ticket = static_cast<std::uint64_t>(fieldInt(pgField(started.front(), 0, 1)));
    known.lastUsed = now;
    remember(session, std::move(known));
  } else {
    forget(session);
  }
}

std::optional<PostgresBackend::KnownSession> PostgresBackend::known(std::string_view session,
                                                                    std::int64_t cutoff) const {
  std::lock_guard lock(sessionsMutex_);
  auto it = sessions_.find(std::string(session));
  // A session about to expire takes the way that reads it, which decides what its expiry does.
  if (it == sessions_.end() || it->second.lastUsed < cutoff) return std::nullopt;
  return it->second;
}

void PostgresBackend::remember(std::string_view session, KnownSession state) {
  std::int64_t cutoff = cutoffMicros();
  std::lock_guard lock(sessionsMutex_);
  std::erase_if(sessions_, [&](const auto& entry) { return entry.second.lastUsed < cutoff; });
  sessions_[std::string(session)] = std::move(state);
}

void PostgresBackend::forget(std::string_view session) {
  std::lock_guard lock(sessionsMutex_);
  sessions_.erase(std::string(session));
}

ApplyCounts PostgresBackend::accept(std::string_view session, std::string_view /*text*/,
                                    EmailBatch& batch) {
  refuseIfReadOnly(options_);
  Lease c(*this);
  const std::int64_t now = nowMicros();
  const std::int64_t cutoff = cutoffMicros();
  std::string carried = daysCarried(batch);
  std::string scratch, pending;
  pendingForm(batch, scratch, pending);
  std::optional<ApplyCounts> counts;
  if (std::optional<KnownSession> state = known(session, cutoff)) {
    counts = acceptKnown(*c, session, pending, batch, carried, std::move(*state), now);
  }
  if (!counts) counts = acceptRead(*c, session, pending, batch, carried, now, cutoff);
  if (merger_) merger_->accepted();
  return *counts;
}

std::optional<ApplyCounts> PostgresBackend::acceptKnown(PgConnection& c, std::string_view session,
                                                        std::string_view pending,
                                                        const EmailBatch& batch,
                                                        std::string_view carried,
                                                        KnownSession state, std::int64_t now) {
  const std::string days = daysToReplace(carried, state.replacement);
  const std::string replaced = dayArrayValue(days);
  const std::string ticket = std::to_string(state.replacement.ticket);
  const std::string last = lastDate(carried);
  const std::string owned = dayArrayValue(carried);
  const std::string at = std::to_string(now);
  std::vector<PgResult> stored;
  try {
    stored =
        c.execPipeline({{"BEGIN", {}},
                        {kBatchLock, {}},
                        {kStoreKnown,
                         {days, last, pending, session, state.version, ticket, owned, replaced, at},
                         true},
                        {"COMMIT", {}}},
                       "storing a batch");
  } catch (...) {
    // Whether it was committed is not known: the session's row tells the next batch.
    forget(session);
    throw;
  }
  // The lock's row, then the session's row if the batch was stored.
  if (stored.size() != 2 || pgRows(stored.back()) != 1) return std::nullopt;
  ApplyCounts counts = countChanges(batch);
  rememberReplaced(days, state.replacement, counts);
  state.version = std::string(pgField(stored.back(), 0, 0));
  state.lastUsed = now;
  remember(session, std::move(state));
  return counts;
}

ApplyCounts PostgresBackend::acceptRead(PgConnection& c, std::string_view session,
                                        std::string_view pending, EmailBatch& batch,
                                        std::string carried, std::int64_t now,
                                        std::int64_t cutoffAt) {
  const std::string id = c.literal(session);
  const std::string cutoff = std::to_string(cutoffAt);
  const std::string expired =
      "(SELECT last_used < " + cutoff + " FROM zeb_import_session WHERE id = " + id + ")";
  std::string days;
  std::string kept;
  ApplyCounts counts;
  KnownSession state;
  Replacement& replacement = state.replacement;
  try {
    // The session's state and the owners of the batch's days, read under the batch lock.
    std::vector<PgResult> read = c.exec(
        std::string("BEGIN;") + kBatchLock +
            ";SELECT from_date, ticket, last_used FROM zeb_import_session WHERE id = " + id +
            ";SELECT day FROM zeb_session_day WHERE session = " + id +
            ";SELECT day, ticket FROM zeb_day_owner WHERE day = ANY(" + dayArray(c, carried) + ")",
        "storing a batch");
    const PgResult& sessionRow = read.at(1);
    const PgResult& sessionDays = read.at(2);
    const PgResult& owners = read.at(3);
    if (pgRows(sessionRow) > 0 && fieldInt(pgField(sessionRow, 0, 2)) >= cutoffAt) {
      replacement.from = std::string(pgField(sessionRow, 0, 0));
      replacement.ticket = static_cast<std::uint64_t>(fieldInt(pgField(sessionRow, 0, 1)));
      for (int i = 0; i < pgRows(sessionDays); ++i) {
        std::string_view day = pgField(sessionDays, i, 0);
        replacement.replaced.insert(dayKey(day.substr(8), day.substr(0, 8)));
      }
    }
    std::unordered_map<std::string, std::uint64_t> ownerOf;
    for (int i = 0; i < pgRows(owners); ++i) {
      std::string_view day = pgField(owners, i, 0);
      ownerOf[dayKey(day.substr(8), day.substr(0, 8))] =
          static_cast<std::uint64_t>(fieldInt(pgField(owners, i, 1)));
    }
    std::unordered_set<std::string> lost =
        daysLost(carried, replacement.ticket, [&](const std::string& day) -> std::uint64_t {
          auto it = ownerOf.find(day);
          return it != ownerOf.end() ? it->second : 0;
        });
    if (!lost.empty()) {
      // Stored as it is to be merged.
      dropDays(batch, lost);
      std::string scratch;
      pendingForm(batch, scratch, kept);
      pending = kept;
      carried = daysCarried(batch);
    }
    days = daysToReplace(carried, replacement);
    counts = countChanges(batch);
    const std::string replaced = dayArray(c, days);
    // The batch and the state it leaves in one round trip, ending with the commit.
    const std::string last = lastDate(carried);
    std::vector<PgResult> written =
        c.execPipeline({{"INSERT INTO zeb_pending_batch (seq, days, last_date, delta) VALUES"
                         " (nextval('zeb_batch_number'), $1, $2, $3)",
                         {days, last, pending}},
                        {"INSERT INTO zeb_day_owner (day, ticket) SELECT d, i.ticket FROM unnest(" +
                             replaced + ") d, zeb_import_session i WHERE i.id = " + id +
                             " AND i.ticket > 0 ON CONFLICT (day) DO UPDATE SET"
                             " ticket = greatest(zeb_day_owner.ticket, EXCLUDED.ticket)",
                         {}},
                        // A session quiet for longer than the timeout starts afresh: its days go.
                        {"DELETE FROM zeb_session_day WHERE session = " + id + " AND coalesce(" +
                             expired + ", false)",
                         {}},
                        {"INSERT INTO zeb_session_day (session, day) SELECT " + id +
                             ", d FROM unnest(" + replaced + ") d ON CONFLICT DO NOTHING",
                         {}},
                        {recordUse(id, now, cutoffAt) + " RETURNING xmin::text", {}},
                        {"COMMIT", {}}},
                       "storing a batch");
    state.version = std::string(pgField(written.at(0), 0, 0));
  } catch (...) {
    forget(session);
    c.rollBack();
    throw;
  }
  rememberReplaced(days, replacement, counts);
  state.lastUsed = now;
  remember(session, std::move(state));
  return counts;
}

}  // namespace zeb::server
