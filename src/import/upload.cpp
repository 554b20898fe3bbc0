#include "import/upload.h"

#include <charconv>
#include <cmath>

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

// Counts and volumes are summed in 64 bits: a day's volume between two addresses can pass
// 2 GiB. The columns are doubles, exact for integers below 2^53.
void addTo(RecordSet& table, int field, std::int64_t amount) {
  auto current = static_cast<std::int64_t>(std::llround(table.number(field)));
  table.setNumber(field, static_cast<double>(current + amount));
}

std::string dateLabel(const DateText& d) { return d[2] + "/" + d[1] + "/" + d[0]; }

void widen(UploadResult& r, const DateText& date) {
  if (dateBefore(date, r.periodStart)) r.periodStart = date;
  if (dateBefore(r.periodEnd, date)) r.periodEnd = date;
}

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

void cdsDadosAfterPost(RecordSet& cdsDados, ServerObject& server) {
  if (!boPost) return;
  try {
    host::ActiveShowAvi(application().mainForm(), 1);
    application().setCursor(platform::ui::kCrHourGlass);
    if (cdsDados.changeCount() > 0) {
      std::string params = "[";
      cdsDados.writeDelta(params);
      params += "]";
      host::CheckResultServ(server.callRaw("SetEmail", std::move(params)), true, 0);
      cdsDados.mergeChangeLog();
    }
    application().setCursor(platform::ui::kCrDefault);
    host::DeactiveShowAvi();
  } catch (...) {
    application().setCursor(platform::ui::kCrDefault);
    host::DeactiveShowAvi();
    throw;
  }
}

UploadResult uploadPhase(TrafficTables& tables, const Grouping& grouping, ServerObject& server,
                         const PhaseUi& ui, const UploadLabels& labels) {
  RecordSet& inter = tables.cdsIntermediario;
  RecordSet& dados = tables.cdsDados;
  const host::TMessages& messages = ui.msg();

  struct Binding {
    RecordSet& table;
    ~Binding() { table.setAfterPost(nullptr); }
  } binding{dados};
  dados.setAfterPost([&server](RecordSet& t) { cdsDadosAfterPost(t, server); });

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
  const std::string total = "/" + std::to_string(grouping.pairCount);
  std::string status;  // reused: the line changes once per traffic row
  while (!inter.isEmpty() && boImport) {
    application().processMessages();
    std::string_view values[5] = {
        inter.text(intermediario::NMORIGEM), inter.text(intermediario::NMDESTINO),
        inter.text(intermediario::ANETLEMAIL), inter.text(intermediario::MEETLEMAIL),
        inter.text(intermediario::DIETLEMAIL)};
    auto size = static_cast<std::int64_t>(std::llround(inter.number(intermediario::VRVOLDADOS)));
    if (dados.locate(key, values)) {
      dados.edit();
      addTo(dados, dados::QTEMAIL, 1);
      addTo(dados, dados::VRVOLDADOS, size);
      ++result.grouped;
      ++result.processed;
    } else {
      dados.append();
      dados.setText(dados::CDFILIAL, host::Brenmor::FiliProc());
      dados.setText(dados::ANETLEMAIL, values[2]);
      dados.setText(dados::DIETLEMAIL, values[4]);
      dados.setNumber(dados::QTEMAIL, 1);
      dados.setText(dados::MEETLEMAIL, values[3]);
      dados.setText(dados::NMDESTINO, values[1]);
      dados.setText(dados::NMORIGEM, values[0]);
      dados.setNumber(dados::VRVOLDADOS, static_cast<double>(size));
      PeriodCodes codes = periodCodes(dados.text(dados::MEETLEMAIL), messages);
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
    DateText date{std::string(values[2]), std::string(values[3]), std::string(values[4])};
    dados.post();
    widen(result, date);
    inter.deleteCurrent();
  }

  result.period = dateLabel(result.periodStart) + " a " + dateLabel(result.periodEnd);
  setCaption(labels.lblQtImpEmail, std::to_string(result.processed));
  setCaption(labels.lblPerImpEmail, result.period);
  setCaption(labels.lblDadAgrup, std::to_string(result.grouped));
  ui.repaint();
  return result;
}

}  // namespace zeb::import
