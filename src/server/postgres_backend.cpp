#include "server/postgres_backend.h"

#include <chrono>
#include <string_view>

#include "server/pg_connection.h"
#include "server/postgres_lease.h"
#include "server/postgres_merger.h"
#include "server/postgres_tables.h"

namespace zeb::server {

namespace {

// Reads a row of "result" (the columns of kColumnNames, in order) into "row".
void readRow(const PgResult& result, int at, EmailRow& row) {
  for (std::size_t i = 0; i < kTextColumnCount; ++i) {
    row.texts[i] = pgField(result, at, static_cast<int>(i));
  }
  row.volume = fieldDouble(pgField(result, at, kVRVOLDADOS));
  row.count = fieldDouble(pgField(result, at, kQTEMAIL));
}

// The numbered text parameters of a statement, "$N::text" of the columns' collation as they
// are added.
struct Params {
  std::vector<std::string> values;
  std::string add(std::string_view value) {
    values.emplace_back(value);
    return "$" + std::to_string(values.size()) + "::text COLLATE \"C\"";
  }
  std::string date(std::string_view date) {
    return "(" + add(date.substr(0, 4)) + ", " + add(date.substr(4, 2)) + ", " +
           add(date.substr(6, 2)) + ")";
  }
};

// The rows of "filter", as a WHERE clause. With a branch, its days are also a range of the key,
// which the index walks.
std::string whereFilter(const RowFilter& filter, Params& params) {
  std::string where = " WHERE ";
  if (!filter.branch.empty()) {
    std::string branch = params.add(filter.branch);
    where += "cdfilial = " + branch + " AND " + rowKey() + " >= " +
             dayStart(branch, params.add(filter.from.substr(0, 4)),
                      params.add(filter.from.substr(4, 2)), params.add(filter.from.substr(6, 2))) +
             " AND " + rowKey() + " < " +
             dayEnd(branch, params.add(filter.to.substr(0, 4)), params.add(filter.to.substr(4, 2)),
                    params.add(filter.to.substr(6, 2))) +
             " AND ";
  }
  where += "(anetlemail, meetlemail, dietlemail) >= " + params.date(filter.from) +
           " AND (anetlemail, meetlemail, dietlemail) <= " + params.date(filter.to);
  return where;
}

}  // namespace

PostgresBackend::PostgresBackend(const BackendOptions& options) : options_(options) {
  auto first = std::make_unique<PgConnection>(options_.database);
  pendingTable_ = setUpPostgresTables(*first, options_.readOnly);
  idle_.push_back(std::move(first));
  if (!options_.readOnly) merger_ = std::make_unique<Merger>(*this);
}

PostgresBackend::~PostgresBackend() {
  if (!merger_) return;
  merger_.reset();
  // What was accepted since the last merge; should it fail, the batches stay pending for the
  // next server or read.
  try {
    flush();
  } catch (...) {
  }
}

std::int64_t PostgresBackend::nowMicros() const {
  // The servers of one database share the wall clock; a clock given for tests moves it.
  auto now = std::chrono::system_clock::now();
  if (options_.clock) {
    now += std::chrono::duration_cast<std::chrono::system_clock::duration>(
        options_.clock() - std::chrono::steady_clock::now());
  }
  return std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
}

std::int64_t PostgresBackend::cutoffMicros() const {
  return nowMicros() -
         std::chrono::duration_cast<std::chrono::microseconds>(options_.sessionTimeout).count();
}

void PostgresBackend::forEachAfter(const RowFilter& filter, const std::vector<std::string>& after,
                                   int limit,
                                   const std::function<void(const EmailRow&)>& row) const {
  Params params;
  std::string sql = std::string("SELECT ") + kColumnNames + " FROM estatistica_email" +
                    whereFilter(filter, params);
  if (after.size() == 6 && after[1].size() == 4 && after[2].size() == 2 && after[3].size() == 2) {
    sql += " AND " + rowKey() + " > " +
           keyOf(params.add(after[0]), params.add(after[1]), params.add(after[2]),
                 params.add(after[3]), params.add(after[4]), params.add(after[5]));
  } else if (after.size() == 6) {
    // A date of other widths than a stored row's: its key would not sort as its parts, so the
    // parts are compared, as SQLite compares them (the index serves only the order).
    sql +=
        " AND (cdfilial, anetlemail, meetlemail, dietlemail, lower(nmorigem),"
        " lower(nmdestino)) > (" +
        params.add(after[0]) + ", " + params.add(after[1]) + ", " + params.add(after[2]) + ", " +
        params.add(after[3]) + ", lower(" + params.add(after[4]) + "), lower(" +
        params.add(after[5]) + "))";
  }
  sql += " ORDER BY " + rowKey() + " LIMIT " + std::to_string(limit);
  catchUp();
  Lease c(*this);
  PgResult result = c->query(sql, params.values, "reading the statistics");
  EmailRow out;
  for (int i = 0; i < pgRows(result); ++i) {
    readRow(result, i, out);
    row(out);
  }
}

void PostgresBackend::forEach(const RowFilter& filter,
                              const std::function<void(const EmailRow&)>& row) const {
  // A page at a time, so that a large table is never held whole in memory.
  constexpr int kPage = 10000;
  std::vector<std::string> after;
  for (;;) {
    int rows = 0;
    forEachAfter(filter, after, kPage, [&](const EmailRow& r) {
      row(r);
      if (++rows == kPage) {
        after.clear();
        for (Column c : {kCDFILIAL, kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL, kNMORIGEM, kNMDESTINO}) {
          after.emplace_back(r.texts[c]);
        }
      }
    });
    if (rows < kPage) return;
  }
}

void PostgresBackend::forEachDay(
    const RowFilter& filter,
    const std::function<void(std::string_view, std::int64_t, double, double)>& day) const {
  Params params;
  std::string sql =
      "SELECT anetlemail || meetlemail || dietlemail, count(*), coalesce(sum(qtemail), 0),"
      " coalesce(sum(vrvoldados), 0) FROM estatistica_email" +
      whereFilter(filter, params) +
      " GROUP BY anetlemail, meetlemail, dietlemail ORDER BY anetlemail, meetlemail, dietlemail";
  catchUp();
  Lease c(*this);
  PgResult result = c->query(sql, params.values, "summing the statistics per day");
  for (int i = 0; i < pgRows(result); ++i) {
    day(pgField(result, i, 0), fieldInt(pgField(result, i, 1)), fieldDouble(pgField(result, i, 2)),
        fieldDouble(pgField(result, i, 3)));
  }
}

}  // namespace zeb::server
