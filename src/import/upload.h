// The statistics upload: folds the per-message traffic into statistics rows per origin,
// destination and day (cdsDados) and sends them to the application server in batches.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "import/analysis.h"
#include "import/phase_ui.h"
#include "import/traffic_tables.h"

namespace zeb::import {

// The server object "ZEB18000.rdmImpEmailInt" as the upload calls it: methods by name with
// positional arguments, answering the raw result that CheckResultServ checks.
class ServerObject {
 public:
  virtual ~ServerObject() = default;
  virtual nlohmann::json call(std::string_view method, const nlohmann::json& params) = 0;
  // The same with the parameters already written as a JSON array: large deltas go this way.
  virtual nlohmann::json callRaw(std::string_view method, std::string paramsJson) = 0;
};

// The summary labels of the screen's details group; any may be null.
struct UploadLabels {
  platform::ui::Label* lblQtImpEmail = nullptr;   // traffic rows processed
  platform::ui::Label* lblPerImpEmail = nullptr;  // the period, "dd/mm/yyyy a dd/mm/yyyy"
  platform::ui::Label* lblDadAgrup = nullptr;     // rows added into an existing statistics row
};

struct UploadResult {
  std::int32_t processed = 0;  // traffic rows consumed
  std::int32_t grouped = 0;    // traffic rows added into a statistics row that existed
  DateText periodStart;
  DateText periodEnd;
  std::string period;  // the lblPerImpEmail text
};

// The period codes of a month number text ("03"): bimester, trimester and semester, each the
// number followed by the message table's "Bim", "Tri" or "Sem" text. A month text that is not
// an integer raises EConvertError.
struct PeriodCodes {
  std::string bimester, trimester, semester;
};
PeriodCodes periodCodes(std::string_view month, const host::TMessages& messages);

// The after-post handler of cdsDados: when boPost is set, sends the change log through
// SetEmail (if there is one) and merges it, with the busy animation shown and the wait cursor
// set meanwhile. On failure it sets the default cursor, hides the animation and raises again;
// the log is then not merged.
void cdsDadosAfterPost(RecordSet& cdsDados, ServerObject& server);

// Runs the upload: GetEmail into cdsDados, SetDelEmail with the earliest date, then one fold
// and one post per traffic row while boImport holds, sending after traffic rows 1001, 2001,
// ..., after the last one and after a stop; then fills the labels. Binds cdsDadosAfterPost to
// cdsDados for its duration. Sets boPost and boRegsImp. Failed calls raise (CheckResultServ).
UploadResult uploadPhase(TrafficTables& tables, const Grouping& grouping, ServerObject& server,
                         const PhaseUi& ui, const UploadLabels& labels);

}  // namespace zeb::import
