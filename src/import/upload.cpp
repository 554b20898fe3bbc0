#include "import/upload.h"

#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "host/brenmor.h"
#include "host/busy_animation.h"
#include "host/server_result.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

using platform::ui::application;

constexpr const char* kStatisticsKey = "NMORIGEM;NMDESTINO;ANETLEMAIL;MEETLEMAIL;DIETLEMAIL";
// The traffic row's columns that give the values of kStatisticsKey, in its order.
constexpr int kTrafficKey[] = {intermediario::NMORIGEM, intermediario::NMDESTINO,
                               intermediario::ANETLEMAIL, intermediario::MEETLEMAIL,
                               intermediario::DIETLEMAIL};

// Counts and volumes are summed in 64 bits: a day's volume between two addresses can pass
// 2 GiB. The columns are doubles, exact for integers below 2^53.
void addTo(RecordSet& table, int field, std::int64_t amount) {
  auto current = static_cast<std::int64_t>(std::llround(table.number(field)));
  table.setNumber(field, static_cast<double>(current + amount));
}

std::string dateLabel(const DateText& d) { return d[2] + "/" + d[1] + "/" + d[0]; }

// Nearly every traffic row lies inside the period already: the bounds are copied only when
// they move.
void widen(UploadResult& r, const DateView& date) {
  if (dateBefore(date, r.periodStart)) assignDate(r.periodStart, date);
  if (dateBefore(r.periodEnd, date)) assignDate(r.periodEnd, date);
}

// True when both dates are the very same texts of one table, not merely equal ones.
bool sameTexts(const DateView& a, const DateView& b) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (a[i].data() != b[i].data() || a[i].size() != b[i].size()) return false;
  }
  return true;
}

// The codes of the months met so far: a log spans a few months, and every new statistics row
// needs the codes of its month.
class PeriodCodeCache {
 public:
  explicit PeriodCodeCache(const host::TMessages& messages) : messages_(messages) {}
  // The reference holds until the next call.
  const PeriodCodes& codes(std::string_view month) {
    for (const auto& [text, codes] : known_) {
      if (text == month) return codes;
    }
    known_.emplace_back(std::string(month), periodCodes(month, messages_));
    return known_.back().second;
  }

 private:
  const host::TMessages& messages_;
  std::vector<std::pair<std::string, PeriodCodes>> known_;
};

void setCaption(platform::ui::Label* label, const std::string& text) {
  if (label != nullptr) label->setCaption(text);
}

}  // namespace

PeriodCodes periodCodes(std::string_view month, const host::TMessages& messages) {
  int m = 0;
  auto [end, error] = std::from_chars(month.data(), month.data() + month.size(), m);
  if (month.empty() || error != std::errc() || end != month.data() + month.size()) {
    throw platform::EConvertError("month '" + std::string(month) + "' is not a number");
  }
  // A floating-point quotient cut toward zero, as the codes have always been computed.
  auto code = [&](double months, const char* key) {
    return std::to_string(static_cast<long long>(std::trunc((m - 1) / months)) + 1) +
           messages.Msg(key);
  };
  return {code(2.0, "Bim"), code(3.0, "Tri"), code(6.0, "Sem")};
}

void ServerObject::send(std::string_view method, std::string paramsJson) {
  if (kept_) throw platform::Exception("a server call is already under way");
  kept_ = callRaw(method, std::move(paramsJson));
}

nlohmann::json ServerObject::answer() {
  if (!kept_) throw platform::Exception("no server call is under way");
  nlohmann::json answer = std::move(*kept_);
  kept_.reset();
  return answer;
}

namespace {

// Shows the busy animation and the wait cursor while "work" runs, and puts them back however
// it ends.
template <typename Work>
void busyWhile(Work&& work) {
  try {
    host::ActiveShowAvi(application().mainForm(), 1);
    application().setCursor(platform::ui::kCrHourGlass);
    work();
    application().setCursor(platform::ui::kCrDefault);
    host::DeactiveShowAvi();
  } catch (...) {
    application().setCursor(platform::ui::kCrDefault);
    host::DeactiveShowAvi();
    throw;
  }
}

}  // namespace

void takeAnswer(ServerObject& server, const std::function<void()>& failed) {
  if (!server.sending()) return;
  try {
    host::CheckResultServ(server.answer(), true, 0);
  } catch (...) {
    if (failed) failed();
    throw;
  }
}

void cdsDadosAfterPost(RecordSet& cdsDados, ServerObject& server,
                       const std::function<void()>& answerFailed) {
  if (!boPost) return;
  busyWhile([&] {
    // The batch before this one is answered first: none goes out after one that failed.
    takeAnswer(server, answerFailed);
    if (cdsDados.changeCount() > 0) {
      std::string params = "[";
      cdsDados.writeDelta(params);
      params += "]";
      server.send("SetEmail", std::move(params));
      // The text sent holds every change: the log starts over for the next batch.
      cdsDados.mergeChangeLog();
    }
  });
}

UploadResult uploadPhase(TrafficTables& tables, const Grouping& grouping, ServerObject& server,
                         const PhaseUi& ui, const UploadLabels& labels) {
  RecordSet& inter = tables.cdsIntermediario;
  RecordSet& dados = tables.cdsDados;
  const host::TMessages& messages = ui.msg();

  // However the upload ends, the handler goes and no call is left under way.
  struct Binding {
    RecordSet& table;
    ServerObject& server;
    ~Binding() {
      table.setAfterPost(nullptr);
      server.abandon();
    }
  } binding{dados, server};
  // A batch is answered while the next is folded: when its answer fails, the status line goes
  // back to what it said when the batch was sent, which names the rows it closed.
  std::string sentStatus;
  auto answerFailed = [&] {
    ui.setStatus(sentStatus);
    ui.repaint();
  };
  dados.setAfterPost([&](RecordSet& t) { cdsDadosAfterPost(t, server, answerFailed); });

  // Stage start.
  if (!inter.isEmpty()) inter.first();
  dados.loadPacket(
      host::CheckResultServ(server.call("GetEmail", nlohmann::json::array()), true, 0));
  std::int32_t batchCounter = 0;
  UploadResult result;
  ui.setMax(grouping.pairCount);
  ui.setPosition(0);
  host::CheckResultServ(server.call("SetDelEmail", {grouping.earliest[0], grouping.earliest[1],
                                                    grouping.earliest[2]}),
                        true, 0);
  result.periodStart = grouping.last;
  result.periodEnd = grouping.last;
  const std::string& importing = messages.Msg("Imp");
  ui.setStatus(importing);
  ui.repaint();

  RecordSet::KeyHandle key = dados.prepareKey(kStatisticsKey);
  PeriodCodeCache periods(messages);
  // The date last widened with: runs of traffic rows share a date, which the table keeps once.
  DateView widened;
  bool anyWidened = false;
  const std::string total = "/" + std::to_string(grouping.pairCount);
  std::string status;  // reused: the line changes once per traffic row
  while (!inter.isEmpty() && boImport) {
    application().processMessages();
    auto size = static_cast<std::int64_t>(std::llround(inter.number(intermediario::VRVOLDADOS)));
    // The traffic row's cells go into cdsDados straight from cdsIntermediario, which spares
    // hashing and comparing the same addresses and dates again on every row.
    if (dados.locate(key, inter, kTrafficKey)) {
      dados.edit();
      addTo(dados, dados::QTEMAIL, 1);
      addTo(dados, dados::VRVOLDADOS, size);
      ++result.grouped;
      ++result.processed;
    } else {
      dados.append();
      dados.setText(dados::CDFILIAL, host::Brenmor::FiliProc());
      dados.setText(dados::ANETLEMAIL, inter, intermediario::ANETLEMAIL);
      dados.setText(dados::DIETLEMAIL, inter, intermediario::DIETLEMAIL);
      dados.setNumber(dados::QTEMAIL, 1);
      dados.setText(dados::MEETLEMAIL, inter, intermediario::MEETLEMAIL);
      dados.setText(dados::NMDESTINO, inter, intermediario::NMDESTINO);
      dados.setText(dados::NMORIGEM, inter, intermediario::NMORIGEM);
      dados.setNumber(dados::VRVOLDADOS, static_cast<double>(size));
      const PeriodCodes& codes = periods.codes(dados.text(dados::MEETLEMAIL));
      dados.setText(dados::BIETLEMAIL, codes.bimester);
      dados.setText(dados::SEETLEMAIL, codes.semester);
      dados.setText(dados::TRETLEMAIL, codes.trimester);
      ++result.processed;
    }
    boPost = false;
    status.assign(importing);
    char digits[16];
    status.append(digits, std::to_chars(digits, digits + sizeof digits, result.processed).ptr);
    status += total;
    ui.setStatus(status);
    ui.step();
    ui.repaint();
    // A batch closes after 1000 rows (1001 for the first), at the last row and at a stop, so
    // that the loop never ends with changes that were not sent.
    if (batchCounter > 999 || inter.recNo() == inter.recordCount() || !boImport) {
      application().processMessages();
      boPost = true;
      batchCounter = 1;
      boRegsImp = true;
    } else {
      ++batchCounter;
    }
    DateView date{inter.text(intermediario::ANETLEMAIL), inter.text(intermediario::MEETLEMAIL),
                  inter.text(intermediario::DIETLEMAIL)};
    dados.post();
    if (boPost) sentStatus = status;
    if (!anyWidened || !sameTexts(date, widened)) {
      widen(result, date);
      widened = date;
      anyWidened = true;
    }
    inter.deleteCurrent();
  }

  // The last batch is stored when its answer comes.
  takeAnswer(server, answerFailed);

  result.period = dateLabel(result.periodStart) + " a " + dateLabel(result.periodEnd);
  setCaption(labels.lblQtImpEmail, std::to_string(result.processed));
  setCaption(labels.lblPerImpEmail, result.period);
  setCaption(labels.lblDadAgrup, std::to_string(result.grouped));
  ui.repaint();
  return result;
}

}  // namespace zeb::import
