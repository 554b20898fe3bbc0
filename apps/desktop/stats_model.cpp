#include "stats_model.h"

#include <strings.h>

#include <algorithm>

#include "server/email_layout.h"
#include "server/stats_report.h"

namespace zeb::desktop {

namespace {

using server::Column;

// The stored column each shown column comes from.
constexpr std::array<Column, StatsTableModel::kColumnCount> kSource = {
    server::kNMORIGEM,   server::kNMDESTINO,  server::kDIETLEMAIL, server::kQTEMAIL,
    server::kVRVOLDADOS, server::kBIETLEMAIL, server::kTRETLEMAIL, server::kSEETLEMAIL};

const std::array<const char*, StatsTableModel::kColumnCount> kHeaders = {
    "Origem", "Destino", "Dia", "Mensagens", "Bytes", "Bimestre", "Trimestre", "Semestre"};

QString text(std::string_view value) {
  return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

// "YYYYMMDD", which orders days as texts do.
std::string dayKey(const hosting::StatsRow& row) {
  return row.texts[server::kANETLEMAIL] + row.texts[server::kMEETLEMAIL] +
         row.texts[server::kDIETLEMAIL];
}

// Negative, zero or positive as "a" comes before, with or after "b" in "column".
int compareIn(int column, const hosting::StatsRow& a, const hosting::StatsRow& b) {
  switch (column) {
    case StatsTableModel::kDay:
      return dayKey(a).compare(dayKey(b));
    case StatsTableModel::kMessages:
      return (a.count > b.count) - (a.count < b.count);
    case StatsTableModel::kBytes:
      return (a.volume > b.volume) - (a.volume < b.volume);
    case StatsTableModel::kOrigin:
    case StatsTableModel::kDestination:
      // Addresses as the server orders them: without regard to letter case.
      return ::strcasecmp(a.texts[kSource[static_cast<std::size_t>(column)]].c_str(),
                          b.texts[kSource[static_cast<std::size_t>(column)]].c_str());
    default: {
      const std::string& x = a.texts[kSource[static_cast<std::size_t>(column)]];
      const std::string& y = b.texts[kSource[static_cast<std::size_t>(column)]];
      // "10°Bim" does not come before "2°Bim": the number first.
      return x.size() != y.size() ? (x.size() < y.size() ? -1 : 1) : x.compare(y);
    }
  }
}

}  // namespace

StatsTableModel::StatsTableModel(QObject* parent) : QAbstractTableModel(parent) {}

StatsTableModel::~StatsTableModel() = default;

void StatsTableModel::query(const std::string& host, int port, const hosting::StatsRange& range,
                            const platform::net::NetSecurity& security) {
  beginResetModel();
  rows_.clear();
  totals_ = {};
  days_.clear();
  reader_.reset();
  try {
    connection_ = std::make_unique<platform::net::TNetConnection>();
    connection_->setHost(host);
    connection_->setPort(port);
    connection_->setSecurity(security);
    connection_->setServerName(std::string(server::kObjectName));
    auto reader = std::make_unique<hosting::StatsReader>(*connection_, range, pageSize_);
    reader->fetchMore(rows_);
    totals_ = reader->totals();
    days_ = reader->days();
    reader_ = std::move(reader);
  } catch (...) {
    rows_.clear();
    endResetModel();
    throw;
  }
  endResetModel();
}

int StatsTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int StatsTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant StatsTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const hosting::StatsRow& row = rows_[static_cast<std::size_t>(index.row())];
  int column = index.column();
  if (role == Qt::TextAlignmentRole) {
    bool number = column == kMessages || column == kBytes;
    return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
  }
  if (role != Qt::DisplayRole) return {};
  switch (column) {
    case kDay:
      return text(row.texts[server::kDIETLEMAIL] + "/" + row.texts[server::kMEETLEMAIL] + "/" +
                  row.texts[server::kANETLEMAIL]);
    case kMessages:
      return text(server::formatNumber(row.count));
    case kBytes:
      return text(server::formatNumber(row.volume));
    default:
      return text(row.texts[kSource[static_cast<std::size_t>(column)]]);
  }
}

QVariant StatsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
      section >= kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return QString::fromUtf8(kHeaders[static_cast<std::size_t>(section)]);
}

bool StatsTableModel::canFetchMore(const QModelIndex& parent) const {
  return !parent.isValid() && reader_ != nullptr && !reader_->atEnd();
}

void StatsTableModel::fetchMore(const QModelIndex& parent) {
  if (canFetchMore(parent)) fetchPage();
}

bool StatsTableModel::fetchPage() {
  std::vector<hosting::StatsRow> page;
  try {
    reader_->fetchMore(page);
  } catch (...) {
    // No exception crosses the view's call; the reader stays where it was, so scrolling on
    // asks again.
    if (report_) report_(std::current_exception());
    return false;
  }
  if (page.empty()) return true;
  int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
  std::move(page.begin(), page.end(), std::back_inserter(rows_));
  endInsertRows();
  return true;
}

void StatsTableModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumnCount) return;
  while (canFetchMore({})) {
    if (!fetchPage()) return;
    if (progress_ && canFetchMore({}) && !progress_(rowCount(), totals_.rows)) return;
  }
  // The read is over: its progress hears it as complete, whatever the totals said.
  if (progress_) progress_(rowCount(), rowCount());
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  QModelIndexList before = persistentIndexList();
  std::vector<std::size_t> ranked(rows_.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) ranked[i] = i;
  std::stable_sort(ranked.begin(), ranked.end(), [&](std::size_t a, std::size_t b) {
    int c = compareIn(column, rows_[a], rows_[b]);
    return order == Qt::AscendingOrder ? c < 0 : c > 0;
  });
  std::vector<hosting::StatsRow> sorted;
  sorted.reserve(rows_.size());
  std::vector<int> newPlace(rows_.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    newPlace[ranked[i]] = static_cast<int>(i);
    sorted.push_back(std::move(rows_[ranked[i]]));
  }
  rows_ = std::move(sorted);
  QModelIndexList after;
  for (const QModelIndex& index : before) {
    after.push_back(this->index(newPlace[static_cast<std::size_t>(index.row())], index.column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace zeb::desktop
