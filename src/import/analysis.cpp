#include "import/analysis.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <vector>

#include "host/error_dialog.h"
#include "import/module_state.h"
#include "import/pumped_call.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

void pump() { platform::ui::application().processMessages(); }

// Makes "table" "size" copies of "value", a slice at a time with the pump in between: the first
// touch of new memory is a page fault per page (and a compaction for a huge page), and for the
// hundred MiB that a large log's grouping needs at once that takes a tenth of a second and more,
// which the stop command would otherwise wait out. A table of one slice is made without a pump.
template <typename T>
void fillPumped(std::vector<T>& table, std::size_t size, const T& value) {
  constexpr std::size_t kSlice = (std::size_t{256} << 10) / sizeof(T);
  table.clear();
  table.reserve(size);
  for (;;) {
    table.resize(std::min(size, table.size() + kSlice), value);
    if (table.size() == size) return;
    platform::ui::application().processMessagesSeldom();
  }
}

// The month number of the current row; the integer conversion of the month text.
int monthNumber(const RecordSet& table, int monthField, std::uint64_t line,
                std::string_view logName) {
  std::string_view text = table.text(monthField);
  int month = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), month);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    std::string where = logName.empty() ? std::string() : std::string(logName) + ", ";
    throw platform::EConvertError(where + "line " + std::to_string(line) + ": month '" +
                                  std::string(text) +
                                  "' is not a number (the month name is not Jan to Dec)");
  }
  return month;
}

int daysInMonth(int month, int year) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A record's date must be one that a calendar has, and a sending record's size may not be
// negative: the server refuses such rows, and a log that holds one is damaged. Found here, the
// run fails naming the line before anything is sent, not halfway through the upload.
void checkRecord(const RecordSet& table, bool sending, int month, int year, std::uint64_t line,
                 std::string_view logName) {
  // Made only for a record that fails: the check runs on every record of the log.
  auto where = [&] {
    std::string text = logName.empty() ? std::string() : std::string(logName) + ", ";
    return text + "line " + std::to_string(line) + ": ";
  };
  if (month < 1 || month > 12) {
    throw platform::EConvertError(where() + "month " + std::to_string(month) + " does not exist");
  }
  std::string_view dayText = table.text(sending ? envio::DIA : recebimento::DIA);
  int day = 0;
  auto [end, error] = std::from_chars(dayText.data(), dayText.data() + dayText.size(), day);
  if (error != std::errc() || end != dayText.data() + dayText.size() || day < 1 ||
      day > daysInMonth(month, year)) {
    char monthYear[16];
    std::snprintf(monthYear, sizeof monthYear, "%02d/%04d", month, year);
    throw platform::EConvertError(where() + "day '" + std::string(dayText) +
                                  "' does not exist in " + monthYear);
  }
  if (sending && table.integer(envio::SIZE) < 0) {
    throw platform::EConvertError(where() + "size " +
                                  std::to_string(table.integer(envio::SIZE)) + " is negative");
  }
}

int logYear() {
  int year = 0;
  auto [end, error] = std::from_chars(stAno.data(), stAno.data() + stAno.size(), year);
  if (stAno.empty() || error != std::errc() || end != stAno.data() + stAno.size()) {
    throw platform::EConvertError("the log year '" + stAno + "' is not a number");
  }
  return year;
}

std::string yearText(int year) {
  char text[16];
  int n = std::snprintf(text, sizeof text, "%04d", year);
  return std::string(text, static_cast<std::size_t>(n));
}

// The sending record's date, viewed in cdsEnvio, whose texts stay put while it is open (its
// rows deleted or not).
DateView dateOf(const RecordSet& envio) {
  return {envio.text(envio::ANO), envio.text(envio::MES), envio.text(envio::DIA)};
}

// The latest sending record of each queue identifier, letter case ignored: an open-addressing
// table of (hash, row id), the identifiers themselves viewed in cdsEnvio, whose texts stay put
// while the table is open.
class LatestSending {
 public:
  // Made off the user-interface thread, so without pumps.
  explicit LatestSending(std::size_t rows) {
    std::size_t size = 16;
    while (size < rows * 2) size <<= 1;
    slots_.assign(size, Slot{0, kNone});
    ids_.assign(rows, std::string_view());
    mask_ = size - 1;
  }

  // Keeps the identifier of sending record "row", before it is put.
  void remember(std::uint32_t row, std::string_view id) { ids_[row] = id; }

  // Makes "row" the latest sending record of its identifier; "hash" is foldedHash of it.
  void put(std::uint32_t hash, std::uint32_t row) {
    std::string_view id = ids_[row];
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.row == kNone) {
        slot = {hash, row};
        return;
      }
      if (slot.hash == hash && platform::equalsIgnoreAsciiCase(ids_[slot.row], id)) {
        slot.row = row;
        return;
      }
    }
  }

  std::uint32_t find(std::uint32_t hash, std::string_view id) const {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.row == kNone) return kNone;
      if (slot.hash == hash && platform::equalsIgnoreAsciiCase(ids_[slot.row], id)) return slot.row;
    }
  }

  // The table is far larger than the caches: asking for a slot a few records ahead hides the
  // wait for memory behind the work on the records in between.
  void prefetch(std::uint32_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

  // Eight bytes at a time; setting bit 5 of every byte folds the letters (and merges a few
  // other pairs, which only costs an extra comparison).
  static std::uint32_t foldedHash(std::string_view text) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      h = (h ^ (word | 0x2020202020202020ULL)) * 0xFF51AFD7ED558CCDULL;
      h ^= h >> 32;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    h = (h ^ (tail | 0x2020202020202020ULL)) * 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 29;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

 private:
  struct Slot {
    std::uint32_t hash;
    std::uint32_t row;
  };
  std::vector<Slot> slots_;
  std::vector<std::string_view> ids_;
  std::size_t mask_ = 0;
};

}  // namespace

void analysisPhase(TrafficTables& tables, const PhaseUi& ui, std::string_view logName) {
  RecordSet& envio = tables.cdsEnvio;
  RecordSet& receb = tables.cdsRecebimento;
  ui.setMax(static_cast<int>(envio.recordCount() + receb.recordCount()));
  ui.setPosition(0);

  // Both tables are walked together, newest record first: dated apart, a log that ends on
  // 1 January would date the last deliveries of 31 December a year before their sending
  // records, and those messages would never pair.
  int year = logYear();
  std::string yearString = yearText(year);
  bool envioLeft = !envio.isEmpty();
  bool recebLeft = !receb.isEmpty();
  if (envioLeft) envio.last();
  if (recebLeft) receb.last();
  bool first = true;
  int previousMonth = 0;
  while ((envioLeft || recebLeft) && boImport) {
    pump();
    bool takeEnvio = envioLeft && (!recebLeft || tables.envioLines[envio.rowId()] >
                                                     tables.recebimentoLines[receb.rowId()]);
    RecordSet& table = takeEnvio ? envio : receb;
    int monthField = takeEnvio ? envio::MES : recebimento::MES;
    int yearField = takeEnvio ? envio::ANO : recebimento::ANO;
    std::uint64_t line =
        takeEnvio ? tables.envioLines[envio.rowId()] : tables.recebimentoLines[receb.rowId()];
    table.edit();
    int month = monthNumber(table, monthField, line, logName);
    std::string_view own = table.text(yearField);
    if (own.empty()) {
      if (!first && month > previousMonth) yearString = yearText(--year);
      table.setText(yearField, yearString);
    } else if (own != yearString) {
      // The parser stores only four-digit years.
      year = std::stoi(std::string(own));
      yearString = own;
    }
    checkRecord(table, takeEnvio, month, year, line, logName);
    first = false;
    previousMonth = month;
    table.prior();
    if (table.bof()) (takeEnvio ? envioLeft : recebLeft) = false;
    ui.step();
  }
}

std::string noTrafficReason(std::size_t sendingLines, std::size_t deliveryLines,
                            std::int64_t lines) {
  std::string among = " among " + std::to_string(lines) + (lines == 1 ? " line" : " lines");
  if (sendingLines == 0 && deliveryLines == 0) return "no sending and no delivery line" + among;
  if (sendingLines == 0) return "no sending line" + among;
  if (deliveryLines == 0) return "no delivery line" + among;
  return "no delivery follows a sending line of its queue id (" + std::to_string(sendingLines) +
         " sending, " + std::to_string(deliveryLines) + " delivery lines" + among + ")";
}

Grouping groupingPhase(TrafficTables& tables, const PhaseUi& ui) {
  RecordSet& envio = tables.cdsEnvio;
  RecordSet& receb = tables.cdsRecebimento;
  RecordSet& inter = tables.cdsIntermediario;
  Grouping result;
  const std::size_t sendingCount = envio.recordCount();
  const std::size_t deliveryCount = receb.recordCount();
  if (!envio.isEmpty()) envio.first();
  if (!receb.isEmpty()) receb.first();
  inter.open();
  if (!envio.isEmpty()) result.earliest = dateText(dateOf(envio));
  ui.setPosition(0);
  ui.setMax(static_cast<int>(envio.recordCount()));

  // Every delivery goes with the latest sending record of its queue identifier that comes
  // before it in the log, whatever the dates: a message delivered after midnight, or days
  // later after a deferral, is still traffic. One walk in log order links each sending
  // record to its deliveries, in table order.
  const bool pairing = boImport && !envio.isEmpty() && !receb.isEmpty();
  // Rows were only added so far, so row ids run from 0 in table order.
  const std::size_t sends = envio.recordCount(), deliveries = receb.recordCount();
  // The sending records' table of identifiers is made and filled on a thread of its own while
  // this one, which pumps, makes the other tables and hashes the deliveries' identifiers:
  // neither reads the other's log table. However this thread goes on, the other is waited for
  // before what it fills goes (by the future's destructor, declared after it).
  std::optional<LatestSending> latest;
  std::vector<std::uint32_t> sendHash;
  std::future<void> sendingPass;
  if (pairing) {
    sendingPass = std::async(std::launch::async, [&] {
      latest.emplace(sends);
      sendHash.assign(sends, 0u);
      for (envio.first(); !envio.eof(); envio.next()) {
        latest->remember(envio.rowId(), envio.text(envio::CDMENS));
        sendHash[envio.rowId()] = LatestSending::foldedHash(envio.text(envio::CDMENS));
      }
    });
  }
  std::vector<std::uint32_t> firstDelivery, lastDelivery, nextDelivery;
  fillPumped(firstDelivery, sends, kNone);
  fillPumped(lastDelivery, sends, kNone);
  fillPumped(nextDelivery, deliveries, kNone);
  if (pairing) {
    std::vector<std::uint32_t> deliveryHash;
    std::vector<std::string_view> deliveryId;
    fillPumped(deliveryHash, deliveries, 0u);
    fillPumped(deliveryId, deliveries, std::string_view());
    for (receb.first(); !receb.eof(); receb.next()) {
      pump();
      deliveryId[receb.rowId()] = receb.text(recebimento::CDMENS);
      deliveryHash[receb.rowId()] = LatestSending::foldedHash(deliveryId[receb.rowId()]);
    }
    waitPumping(sendingPass);
    // Both tables merged in log order; a second pair of cursors runs ahead to prefetch.
    const auto& sendLine = tables.envioLines;
    const auto& deliveryLine = tables.recebimentoLines;
    auto sendFirst = [&](std::size_t e, std::size_t r) {
      return e < sends && (r >= deliveries || sendLine[e] < deliveryLine[r]);
    };
    constexpr int kAhead = 16;
    std::size_t aheadE = 0, aheadR = 0;
    auto stepAhead = [&] {
      if (sendFirst(aheadE, aheadR)) {
        latest->prefetch(sendHash[aheadE++]);
      } else if (aheadR < deliveries) {
        latest->prefetch(deliveryHash[aheadR++]);
      }
    };
    for (int k = 0; k < kAhead; ++k) stepAhead();
    for (std::size_t e = 0, r = 0; e < sends || r < deliveries;) {
      pump();
      stepAhead();
      if (sendFirst(e, r)) {
        latest->put(sendHash[e], static_cast<std::uint32_t>(e));
        ++e;
        continue;
      }
      std::uint32_t sending = latest->find(deliveryHash[r], deliveryId[r]);
      if (sending != kNone) {
        auto delivery = static_cast<std::uint32_t>(r);
        if (firstDelivery[sending] == kNone) {
          firstDelivery[sending] = delivery;
        } else {
          nextDelivery[lastDelivery[sending]] = delivery;
        }
        lastDelivery[sending] = delivery;
      }
      ++r;
    }
    envio.first();
  }

  DateView last;  // of the last sending record walked: made into texts after the walk
  bool walked = false;
  while (!envio.isEmpty() && boImport) {
    pump();
    for (std::uint32_t d = firstDelivery[envio.rowId()]; d != kNone; d = nextDelivery[d]) {
      receb.gotoRowId(d);
      inter.append();
      // Straight from the log tables' cells: dates, senders and recipients repeat, and a text
      // met before is stored without being hashed and looked up again.
      inter.setText(intermediario::ANETLEMAIL, envio, envio::ANO);
      inter.setText(intermediario::DIETLEMAIL, envio, envio::DIA);
      inter.setText(intermediario::MEETLEMAIL, envio, envio::MES);
      inter.setText(intermediario::NMDESTINO, receb, recebimento::NMDEST);
      inter.setText(intermediario::NMORIGEM, envio, envio::CDREMET);
      inter.setNumber(intermediario::VRVOLDADOS, envio.integer(envio::SIZE));
      inter.post();
      receb.deleteCurrent();
      ++result.pairCount;
    }
    DateView date = dateOf(envio);
    if (dateBefore(date, result.earliest)) assignDate(result.earliest, date);
    ui.step();
    last = date;
    walked = true;
    envio.deleteCurrent();
  }
  if (walked) result.last = dateText(last);

  if (inter.isEmpty() && boImport) {
    if (ui.unlockScreen) ui.unlockScreen();
    ui.setStatus("");
    boImport = false;
    host::MensErro(ui.msg().Msg("Arq_Inv"), true,
                   noTrafficReason(sendingCount, deliveryCount, inLinhas));
  }
  return result;
}

}  // namespace zeb::import
