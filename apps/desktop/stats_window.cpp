#include "stats_window.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDateEdit>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QLocale>
#include <QProgressDialog>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/core/exceptions.h"
#include "server/stats_report.h"

namespace zeb::desktop {

namespace {

constexpr const char* kDateFormat = "dd/MM/yyyy";
constexpr double kMega = 1e6;

// The wait cursor while the server is asked, on every way out.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QString grouped(double value) {
  return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(static_cast<qlonglong>(value));
}

}  // namespace

// Window-modal: nothing else of the main window is used while the pages are read, and each
// step lets the windows repaint, so a range of a million rows never freezes the screen.
class StatsWindow::ReadProgressDialog {
 public:
  ReadProgressDialog(QWidget* parent, const QString& text, int showAfterMs)
      : dialog_(text, "Cancelar", 0, 0, parent) {
    dialog_.setWindowTitle("Estatísticas de E-mail");
    dialog_.setWindowModality(Qt::WindowModal);
    dialog_.setAutoReset(false);
    dialog_.setAutoClose(false);
    dialog_.setMinimumDuration(showAfterMs);
  }

  // Answers false once the operator has asked to stop.
  bool step(std::int64_t read, std::int64_t total) {
    int most = static_cast<int>(std::clamp<std::int64_t>(total, 1, INT_MAX));
    dialog_.setMaximum(most);
    dialog_.setValue(static_cast<int>(std::clamp<std::int64_t>(read, 0, most)));
    return !dialog_.wasCanceled();
  }

 private:
  QProgressDialog dialog_;
};

StatsWindow::~StatsWindow() = default;

StatsWindow::StatsWindow(ServerAddress address, StatsTableModel::ErrorReport report,
                         QWidget* parent)
    : QWidget(parent),
      address_(std::move(address)),
      report_(std::move(report)),
      model_(new StatsTableModel(this)),
      branch_(new QLineEdit(this)),
      from_(new QDateEdit(this)),
      to_(new QDateEdit(this)),
      queryButton_(new QPushButton("&Consultar", this)),
      exportButton_(new QPushButton("&Exportar CSV...", this)),
      table_(new QTableView(this)),
      totals_(new QLabel(this)),
      chart_(new QChartView(this)) {
  setObjectName("frmEstatisticasEmail");
  setWindowTitle("Estatísticas de E-mail");
  model_->setErrorReport([this](std::exception_ptr failure) {
    sortProgress_.reset();
    if (report_) report_(failure);
  });
  model_->setReadProgress([this](std::int64_t read, std::int64_t total) {
    if (read >= total) {
      sortProgress_.reset();
      return true;
    }
    if (!sortProgress_) {
      sortProgress_ = std::make_unique<ReadProgressDialog>(
          this, "Lendo o período inteiro para ordenar...", progressDelayMs_);
    }
    if (sortProgress_->step(read, total)) return true;
    // Stopped: the rows stay in the server's order, and the header says so once the view's
    // sort call is over.
    sortProgress_.reset();
    QTimer::singleShot(
        0, this, [this] { table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder); });
    return false;
  });
  branch_->setObjectName("edtFilial");
  branch_->setMaxLength(4);
  branch_->setFixedWidth(branch_->fontMetrics().horizontalAdvance("00000") + 12);
  branch_->setToolTip("Código da filial; vazio: todas as filiais");
  for (QDateEdit* date : {from_, to_}) {
    date->setDisplayFormat(kDateFormat);
    date->setCalendarPopup(true);
  }
  from_->setObjectName("dtpInicio");
  to_->setObjectName("dtpFim");
  queryButton_->setObjectName("btnConsultar");
  exportButton_->setObjectName("btnExportar");
  queryButton_->setDefault(true);

  auto* fields = new QHBoxLayout;
  fields->addWidget(new QLabel("Filial:", this));
  fields->addWidget(branch_);
  fields->addSpacing(8);
  fields->addWidget(new QLabel("De:", this));
  fields->addWidget(from_);
  fields->addWidget(new QLabel("Até:", this));
  fields->addWidget(to_);
  fields->addSpacing(8);
  fields->addWidget(queryButton_);
  fields->addWidget(exportButton_);
  fields->addStretch();

  table_->setObjectName("grdEstatisticas");
  table_->setModel(model_);
  table_->setSortingEnabled(true);
  // The server's order until the operator picks a column.
  table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // Every column in sight in the host's default window.
  table_->setColumnWidth(StatsTableModel::kOrigin, 175);
  table_->setColumnWidth(StatsTableModel::kDestination, 175);
  table_->setColumnWidth(StatsTableModel::kDay, 78);
  table_->setColumnWidth(StatsTableModel::kMessages, 76);
  table_->setColumnWidth(StatsTableModel::kBytes, 84);
  for (int c :
       {StatsTableModel::kBimester, StatsTableModel::kTrimester, StatsTableModel::kSemester})
    table_->setColumnWidth(c, 64);

  totals_->setObjectName("lblTotais");
  chart_->setObjectName("chtPorDia");
  chart_->setRenderHint(QPainter::Antialiasing);
  chart_->setMinimumHeight(180);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(table_);
  split->addWidget(chart_);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(split, 1);
  layout->addWidget(totals_);

  QDate today = QDate::currentDate();
  setRange(QString(), QDate(today.year(), today.month(), 1).addYears(-1), today);
  connect(queryButton_, &QPushButton::clicked, this, [this] { query(); });
  connect(exportButton_, &QPushButton::clicked, this, [this] { chooseExportFile(); });
  showChart();
  setFocusProxy(table_);
}

void StatsWindow::setBranch(const QString& branch) { branch_->setText(branch); }

void StatsWindow::setRange(const QString& branch, const QDate& from, const QDate& to) {
  branch_->setText(branch);
  from_->setDate(from);
  to_->setDate(to);
}

hosting::StatsRange StatsWindow::range() const {
  return {branch_->text().trimmed().toStdString(),
          from_->date().toString("yyyy-MM-dd").toStdString(),
          to_->date().toString("yyyy-MM-dd").toStdString()};
}

bool StatsWindow::query() {
  try {
    WaitCursor wait;
    Server server = address_();
    // A new query is read in the server's order; the header shows no column sorted.
    table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    model_->query(server.host, server.port, range(), server.security);
    totals_->setText(totalsText());
    showChart();
    return true;
  } catch (...) {
    totals_->setText(QString());
    showChart();
    if (report_) report_(std::current_exception());
    return false;
  }
}

QString StatsWindow::totalsText() const {
  const hosting::StatsTotals& t = model_->totals();
  return "Registros: " + grouped(static_cast<double>(t.rows)) +
         "    Mensagens: " + grouped(t.messages) + "    Bytes: " + grouped(t.bytes);
}

void StatsWindow::showChart() {
  auto* chart = new QChart;
  chart->setTitle("Mensagens e bytes por dia");
  chart->legend()->setAlignment(Qt::AlignBottom);
  chart->setMargins(QMargins(4, 4, 4, 4));
  auto* messages = new QLineSeries(chart);
  messages->setName("Mensagens");
  // Megabytes: a day's bytes run to nine digits and more, too wide for an axis to read.
  auto* bytes = new QLineSeries(chart);
  bytes->setName("Megabytes");
  double mostMessages = 1, mostBytes = 0.1;
  QDateTime first, last;
  for (const hosting::StatsDay& day : model_->days()) {
    QDateTime at(QDate::fromString(QString::fromStdString(day.date), "yyyy-MM-dd"), QTime(0, 0));
    if (!first.isValid()) first = at;
    last = at;
    messages->append(static_cast<qreal>(at.toMSecsSinceEpoch()), day.messages);
    bytes->append(static_cast<qreal>(at.toMSecsSinceEpoch()), day.bytes / kMega);
    mostMessages = std::max(mostMessages, day.messages);
    mostBytes = std::max(mostBytes, day.bytes / kMega);
  }
  for (QLineSeries* series : {messages, bytes}) {
    series->setPointsVisible(true);
    chart->addSeries(series);
  }
  auto* days = new QDateTimeAxis(chart);
  days->setFormat("dd/MM");
  if (!first.isValid()) first = last = QDateTime(from_->date(), QTime(0, 0));
  // A single day still needs a span to stand in.
  days->setRange(first.addDays(-1), last.addDays(1));
  days->setTickCount(std::min<qint64>(first.daysTo(last) + 3, 10));
  auto* count = new QValueAxis(chart);
  count->setTitleText("Mensagens");
  count->setLabelFormat("%.0f");
  count->setRange(0, mostMessages * 1.1);
  count->applyNiceNumbers();
  auto* volume = new QValueAxis(chart);
  volume->setTitleText("Megabytes");
  volume->setLabelFormat("%g");
  volume->setRange(0, mostBytes * 1.1);
  volume->applyNiceNumbers();
  chart->addAxis(days, Qt::AlignBottom);
  chart->addAxis(count, Qt::AlignLeft);
  chart->addAxis(volume, Qt::AlignRight);
  messages->attachAxis(days);
  messages->attachAxis(count);
  bytes->attachAxis(days);
  bytes->attachAxis(volume);
  QChart* old = chart_->chart();
  chart_->setChart(chart);
  delete old;
}

bool StatsWindow::exportCsv(const QString& path) {
  std::string name = path.toStdString();
  std::FILE* out = nullptr;
  try {
    WaitCursor wait;
    out = std::fopen(name.c_str(), "wb");
    if (out == nullptr) throw platform::EInOutError(errno, name, "creating");
    Server server = address_();
    platform::net::TNetConnection connection;
    connection.setHost(server.host);
    connection.setPort(server.port);
    connection.setServerName(std::string(server::kObjectName));
    connection.setSecurity(server.security);
    hosting::StatsRange wanted = range();
    server::writeReport(
        server::ReportFormat::kCsv,
        [&](const std::function<void(const server::EmailRow&)>& write) {
          hosting::StatsReader reader(connection, wanted);
          ReadProgressDialog progress(this, "Exportando as estatísticas...", progressDelayMs_);
          std::vector<hosting::StatsRow> rows;
          std::int64_t read = 0;
          while (reader.fetchMore(rows)) {
            for (const hosting::StatsRow& row : rows) write(row.view());
            read += static_cast<std::int64_t>(rows.size());
            rows.clear();
            if (!reader.atEnd() && !progress.step(read, reader.totals().rows)) {
              throw platform::EAbort();
            }
          }
        },
        out, name);
    if (std::fclose(out) != 0) {
      out = nullptr;
      throw platform::EInOutError(errno, name, "writing the statistics to");
    }
    return true;
  } catch (...) {
    if (out != nullptr) std::fclose(out);
    // A half-written file is no export.
    std::remove(name.c_str());
    try {
      throw;
    } catch (const platform::EAbort&) {
      // Stopped by the operator: nothing to tell.
    } catch (...) {
      if (report_) report_(std::current_exception());
    }
    return false;
  }
}

void StatsWindow::chooseExportFile() {
  QString path = QFileDialog::getSaveFileName(this, "Exportar CSV", "estatisticas-email.csv",
                                              "Arquivos CSV (*.csv)");
  if (!path.isEmpty()) exportCsv(path);
}

}  // namespace zeb::desktop
