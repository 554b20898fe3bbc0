#include "server/statistics_backend.h"

#include "server/pg_connection.h"
#include "server/postgres_backend.h"
#include "server/sqlite_backend.h"

namespace zeb::server {

bool isPostgresUri(std::string_view database) {
  return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::string shownDatabase(std::string_view database) {
  return isPostgresUri(database) ? shownUri(database) : std::string(database);
}

std::unique_ptr<StatisticsBackend> openStatisticsBackend(const BackendOptions& options) {
  if (isPostgresUri(options.database)) return std::make_unique<PostgresBackend>(options);
  return std::make_unique<SqliteBackend>(options);
}

}  // namespace zeb::server
