// The stored statistics of a branch and a date range as a table model: rows come from the
// application server a page at a time, as the view scrolls to them (canFetchMore/fetchMore), so
// a large range costs one page until the operator looks further. Knows nothing of widgets.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/stats_client.h"
#include "platform/net/net_connection.h"

namespace zeb::desktop {

class StatsTableModel : public QAbstractTableModel {
 public:
  enum Column {
    kOrigin,
    kDestination,
    kDay,
    kMessages,
    kBytes,
    kBimester,
    kTrimester,
    kSemester,
    kColumnCount
  };
  // Hears of a page that could not be read while the view asked for more; the view's calls
  // cannot carry an exception.
  using ErrorReport = std::function<void(std::exception_ptr)>;
  // Hears how far a read of every page has come (rows read of the rows in the range) after each
  // page, and last with "read" equal to "total" when the read is over; answers false to stop
  // the read there.
  using ReadProgress = std::function<bool(std::int64_t read, std::int64_t total)>;

  explicit StatsTableModel(QObject* parent = nullptr);
  ~StatsTableModel() override;

  void setErrorReport(ErrorReport report) { report_ = std::move(report); }
  void setReadProgress(ReadProgress progress) { progress_ = std::move(progress); }
  void setPageSize(int rows) { pageSize_ = rows; }

  // Asks the server at "host":"port" for "range" and reads the first page, which brings the
  // totals and the per-day sums. Raises EServerError as StatsReader::fetchMore() does; the model
  // is then empty.
  void query(const std::string& host, int port, const hosting::StatsRange& range,
             const platform::net::NetSecurity& security = {});

  const hosting::StatsTotals& totals() const { return totals_; }
  const std::vector<hosting::StatsDay>& days() const { return days_; }
  const hosting::StatsRow& storedRow(int row) const { return rows_[static_cast<std::size_t>(row)]; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  // The server keeps one order (branch, day, origin, destination); another order needs every
  // row of the range, so sorting reads the pages left first, telling the read progress after
  // each. A read stopped there or failed leaves the rows in the server's order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  // Reads the next page into the table; false, the failure reported, when that failed.
  bool fetchPage();

  std::unique_ptr<platform::net::TNetConnection> connection_;
  std::unique_ptr<hosting::StatsReader> reader_;
  std::vector<hosting::StatsRow> rows_;
  hosting::StatsTotals totals_;
  std::vector<hosting::StatsDay> days_;
  ErrorReport report_;
  ReadProgress progress_;
  int pageSize_ = 500;
};

}  // namespace zeb::desktop
