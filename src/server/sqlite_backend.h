// The SQLite backend: the statistics in one database file (statistics_store.h: a pending file,
// a merger behind it), and the import sessions in this process's memory (session_table.h). One
// server process per database: its sessions and its numbering of batches are its own.
#pragma once

#include <memory>

#include "server/session_table.h"
#include "server/statistics_backend.h"
#include "server/statistics_store.h"

namespace zeb::server {

class SqliteBackend final : public StatisticsBackend {
 public:
  // Opens "options.database" as StatisticsStore does (kReadOnly for "options.readOnly").
  explicit SqliteBackend(const BackendOptions& options);

  void touchSession(std::string_view session) override;
  void startImport(std::string_view session, const std::string& from) override;
  ApplyCounts accept(std::string_view session, std::string_view text, EmailBatch& batch) override;
  void flush() override;
  void forEach(const RowFilter& filter,
               const std::function<void(const EmailRow&)>& row) const override;
  void forEachAfter(const RowFilter& filter, const std::vector<std::string>& after, int limit,
                    const std::function<void(const EmailRow&)>& row) const override;
  void forEachDay(const RowFilter& filter,
                  const std::function<void(std::string_view, std::int64_t, double, double)>& day)
      const override;
  StoreMetrics metrics() const override;

 private:
  StatisticsStore store_;
  SessionTable sessions_;
};

}  // namespace zeb::server
