// The statistics window against the real server holding known rows, driven as the operator
// does: the range typed, the query clicked, the table scrolled to its end, a column sorted.
#include "stats_window.h"

#include <gtest/gtest.h>

#include <QDateEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QMdiArea>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "desktop_host.h"
#include "desktop_test_support.h"
#include "main_window.h"
#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/server.h"
#include "server/statistics_store.h"

namespace zeb::desktop {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::DialogOperator;
using testing::qtApp;
using testing::scratchDirectory;

constexpr int kDays = 20;
constexpr int kPerDay = 60;  // over kDays: 1200 rows of branch 0001, more than two pages

// Branch 0001 holds kDays x kPerDay rows from 2024-05-01 on, row n with n bytes and n % 3 + 1
// messages; branch 0002 holds one row that the window must not show.
void storeKnownRows(const std::string& db) {
  json changes = json::array();
  auto add = [&](const char* branch, const std::string& origin, int day, double bytes,
                 double count) {
    std::string d = (day < 10 ? "0" : "") + std::to_string(day);
    changes.push_back({{"op", "insert"},
                       {"row",
                        {branch, origin, "ops@example.org", "2024", "05", d, "3\u00b0Bim",
                         "1\u00b0Sem", "2\u00b0Tri", bytes, count}}});
  };
  int n = 0;
  for (int day = 1; day <= kDays; ++day) {
    for (int i = 0; i < kPerDay; ++i) {
      ++n;
      add("0001", "user" + std::to_string(i) + "@example.com", day, n, n % 3 + 1);
    }
  }
  add("0002", "other@example.com", 1, 999999, 9);
  std::string text =
      json::array({{{"columns", json::parse(server::columnsJson())}, {"changes", changes}}}).dump();
  server::EmailBatch batch;
  server::decodeSetEmailParams(text, batch);
  server::StatisticsStore store(db, server::StatisticsStore::Mode::kReadWrite);
  server::Replacement none;
  store.apply(batch, none);
}

class StatsWindowTest : public ::testing::Test {
 protected:
  StatsWindowTest() {
    qtApp();
    std::string db = (scratchDirectory() / "stats_window.db").string();
    fs::remove(db);
    storeKnownRows(db);
    server::ServerOptions options;
    options.port = 0;
    options.databasePath = db;
    server_ = std::make_unique<server::Server>(options);
    server_->start();
    DesktopOptions desktop;
    desktop.branch = "0001";
    desktop.server = "127.0.0.1:" + QString::number(server_->port());
    host_ = std::make_unique<DesktopHost>(desktop);
    host_->window().show();
  }
  ~StatsWindowTest() override {
    host_.reset();
    server_->stop();
  }

  // Types the range into the window's fields and clicks the query, as the operator does.
  StatsWindow& queryThroughTheFields(const QString& from, const QString& to) {
    StatsWindow& window = host_->openStatsWindow();
    window.findChild<QDateEdit*>("dtpInicio")->setDate(QDate::fromString(from, "yyyy-MM-dd"));
    window.findChild<QDateEdit*>("dtpFim")->setDate(QDate::fromString(to, "yyyy-MM-dd"));
    QTest::mouseClick(window.findChild<QPushButton*>("btnConsultar"), Qt::LeftButton);
    return window;
  }

  std::unique_ptr<server::Server> server_;
  std::unique_ptr<DesktopHost> host_;
};

TEST_F(StatsWindowTest,
       the_range_is_fetched_in_pages_as_the_table_scrolls_and_the_totals_are_the_sums) {
  StatsWindow& window = queryThroughTheFields("2024-05-01", "2024-05-31");
  EXPECT_EQ(window.findChild<QLineEdit*>("edtFilial")->text(), "0001");
  StatsTableModel& model = window.model();
  // One page until the operator looks further.
  EXPECT_EQ(model.rowCount(), 500);
  const int rows = kDays * kPerDay;
  const double bytes = rows * (rows + 1) / 2.0;
  // Messages: n % 3 + 1 over 1200 rows is 400 times 1 + 2 + 3.
  EXPECT_EQ(window.totalsText(), "Registros: 1.200    Mensagens: 2.400    Bytes: 720.600");
  ASSERT_EQ(model.days().size(), static_cast<std::size_t>(kDays));
  EXPECT_EQ(model.days().front().date, "2024-05-01");
  EXPECT_EQ(model.days().front().bytes, kPerDay * (kPerDay + 1) / 2.0);

  QTableView* table = window.table();
  for (int i = 0; i < 100 && model.canFetchMore({}); ++i) {
    table->scrollToBottom();
    QCoreApplication::processEvents();
  }
  ASSERT_EQ(model.rowCount(), rows);
  double seenBytes = 0;
  for (int r = 0; r < model.rowCount(); ++r) seenBytes += model.storedRow(r).volume;
  EXPECT_EQ(seenBytes, bytes);
  // The server's order: day, then origin ("user10@" before "user1@", as '0' comes before '@').
  EXPECT_EQ(model.index(0, StatsTableModel::kOrigin).data().toString(), "user0@example.com");
  EXPECT_EQ(model.index(1, StatsTableModel::kOrigin).data().toString(), "user10@example.com");
  EXPECT_EQ(model.index(rows - 1, StatsTableModel::kDay).data().toString(), "20/05/2024");
}

TEST_F(StatsWindowTest, a_click_on_a_header_sorts_the_whole_range) {
  StatsWindow& window = queryThroughTheFields("2024-05-01", "2024-05-31");
  StatsTableModel& model = window.model();
  QHeaderView* header = window.table()->horizontalHeader();
  struct Case {
    int column;
    QString first;  // after one click (ascending), then after a second click (descending)
    QString firstDescending;
  };
  for (const Case& c : {Case{StatsTableModel::kBytes, "1", "1200"},
                        Case{StatsTableModel::kDay, "01/05/2024", "20/05/2024"},
                        Case{StatsTableModel::kOrigin, "user0@example.com", "user9@example.com"}}) {
    SCOPED_TRACE(c.column);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(c.column) + 10, 5));
    if (header->sortIndicatorOrder() != Qt::AscendingOrder) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(c.column) + 10, 5));
    }
    // Sorting needs every row: the pages left were read first.
    EXPECT_EQ(model.rowCount(), kDays * kPerDay);
    EXPECT_EQ(model.index(0, c.column).data().toString(), c.first);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(c.column) + 10, 5));
    EXPECT_EQ(model.index(0, c.column).data().toString(), c.firstDescending);
  }
}

// The operator presses "Cancelar" on the progress of a read of every page, once it is there.
void cancelTheReadOf(StatsWindow& window) {
  auto* watch = new QTimer(&window);
  QObject::connect(watch, &QTimer::timeout, &window, [&window, watch] {
    if (auto* progress = window.findChild<QProgressDialog*>()) {
      progress->cancel();
      watch->deleteLater();
    }
  });
  watch->start(0);
}

TEST_F(StatsWindowTest, a_sort_stopped_while_the_pages_are_read_keeps_the_servers_order) {
  StatsWindow& window = host_->openStatsWindow();
  window.setProgressDelay(0);
  StatsTableModel& model = window.model();
  model.setPageSize(100);
  queryThroughTheFields("2024-05-01", "2024-05-31");
  QHeaderView* header = window.table()->horizontalHeader();
  cancelTheReadOf(window);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(StatsTableModel::kBytes) + 10, 5));
  QCoreApplication::processEvents();
  EXPECT_LT(model.rowCount(), kDays * kPerDay);
  EXPECT_EQ(header->sortIndicatorSection(), -1);
  // Day, then origin.
  EXPECT_EQ(model.index(1, StatsTableModel::kOrigin).data().toString(), "user10@example.com");
}

TEST_F(StatsWindowTest, the_export_writes_the_whole_range_and_a_refused_range_shows_the_reason) {
  StatsWindow& window = queryThroughTheFields("2024-05-02", "2024-05-02");
  EXPECT_EQ(window.model().rowCount(), kPerDay);
  fs::path csv = scratchDirectory() / "export.csv";
  window.setRange("0001", QDate(2024, 5, 1), QDate(2024, 5, 31));
  ASSERT_TRUE(window.exportCsv(QString::fromStdString(csv.string())));
  std::ifstream in(csv, std::ios::binary);
  std::string header, line;
  std::getline(in, header);
  EXPECT_EQ(header,
            "CDFILIAL,NMORIGEM,NMDESTINO,ANETLEMAIL,MEETLEMAIL,DIETLEMAIL,BIETLEMAIL,SEETLEMAIL,"
            "TRETLEMAIL,VRVOLDADOS,QTEMAIL\r");
  std::getline(in, line);
  EXPECT_EQ(line, "0001,user0@example.com,ops@example.org,2024,05,01,3°Bim,1°Sem,2°Tri,1,2\r");
  int count = 1;
  while (std::getline(in, line)) ++count;
  EXPECT_EQ(count, kDays * kPerDay);

  DialogOperator person;
  person.answer("OK");
  queryThroughTheFields("2024-05-31", "2024-05-01");
  ASSERT_EQ(person.seen().size(), 1u);
  EXPECT_EQ(person.seen()[0].text,
            "GetEmailStats failed: GetEmailStats: the range ends on 2024-05-01, before it starts "
            "on 2024-05-31");
  EXPECT_EQ(window.model().rowCount(), 0);
  EXPECT_EQ(window.totalsText(), "Registros: 0    Mensagens: 0    Bytes: 0");
}

}  // namespace
}  // namespace zeb::desktop
