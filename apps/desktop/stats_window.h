// The window "Estatísticas de E-mail": the stored statistics of a branch and a date range, read
// through the application server (never the database file) into a table that fetches pages as
// it scrolls, with the range's totals, a chart of messages and bytes per day, and the export of
// the whole range as CSV.
#pragma once

#include <QDate>
#include <QWidget>
#include <memory>
#include <string>

#include "platform/net/net_security.h"
#include "stats_model.h"

class QChartView;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace zeb::desktop {

class StatsWindow : public QWidget {
 public:
  // Where the server is asked: read at every query, so that a change of the settings is
  // followed.
  struct Server {
    std::string host;
    int port = 0;
    platform::net::NetSecurity security = {};
  };
  using ServerAddress = std::function<Server()>;

  // "report" hears of every failure (the host shows it in its error dialog).
  StatsWindow(ServerAddress address, StatsTableModel::ErrorReport report,
              QWidget* parent = nullptr);
  ~StatsWindow() override;

  // The range starts as every branch from the first day of the month a year ago to today.
  void setBranch(const QString& branch);
  void setRange(const QString& branch, const QDate& from, const QDate& to);
  // Asks the server for the range in the fields: the table's first page, the totals and the
  // chart. Answers false, the failure reported, when it failed.
  bool query();
  // Writes the whole range (not only the rows fetched) to "path" as the command line's csv
  // format does. Answers false, the failure reported, when it failed; false and no file, with
  // nothing reported, when the operator stopped it.
  bool exportCsv(const QString& path);

  // How long a read of every page (a sort, an export) goes on before a dialog shows how far it
  // has come, with a button that stops it.
  void setProgressDelay(int milliseconds) { progressDelayMs_ = milliseconds; }

  StatsTableModel& model() { return *model_; }
  QTableView* table() const { return table_; }
  QString totalsText() const;

 private:
  class ReadProgressDialog;

  hosting::StatsRange range() const;
  void showChart();
  void chooseExportFile();

  ServerAddress address_;
  StatsTableModel::ErrorReport report_;
  StatsTableModel* model_;
  QLineEdit* branch_;
  QDateEdit* from_;
  QDateEdit* to_;
  QPushButton* queryButton_;
  QPushButton* exportButton_;
  QTableView* table_;
  QLabel* totals_;
  QChartView* chart_;
  std::unique_ptr<ReadProgressDialog> sortProgress_;  // while a sort reads the pages left
  int progressDelayMs_ = 400;
};

}  // namespace zeb::desktop
