// The statistics upload: folds the per-message traffic into statistics rows per origin,
// destination and day (cdsDados) and sends them to the application server in batches.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

  // callRaw() in two halves, so that the caller goes on with its own work while the server
  // takes the call: send() starts the call, answer() waits for it and gives back what
  // callRaw() would have, or raises what it would have raised. One call at a time: send()
  // follows answer(), and no other call is made in between. By default the call is made
  // within send() and its answer kept for answer().
  virtual void send(std::string_view method, std::string paramsJson);
  virtual nlohmann::json answer();
  // Whether a call was sent and its answer not yet taken.
  virtual bool sending() const { return kept_.has_value(); }
  // Waits for the call sent, if any, and forgets its answer or its failure: for a run that
  // fails for another reason, so that no call outlives it.
  virtual void abandon() noexcept { kept_.reset(); }

 private:
  std::optional<nlohmann::json> kept_;
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

// The after-post handler of cdsDados: when boPost is set, takes the answer of the batch sent
// before (raising when the server refused it or failed, so that no batch goes out after one
// that failed), then sends the change log through SetEmail (if there is one) and merges it,
// with the busy animation shown and the wait cursor set meanwhile. The server takes the batch
// while the next one is folded; uploadPhase() takes the last answer. On failure it sets the
// default cursor, hides the animation and raises again; a log not sent is then not merged.
// "answerFailed", when given, runs before the failure of the answer is raised.
void cdsDadosAfterPost(RecordSet& cdsDados, ServerObject& server,
                       const std::function<void()>& answerFailed = {});

// Takes the answer of the call sent, if any, raising as CheckResultServ does when it failed
// ("failed", when given, runs first).
void takeAnswer(ServerObject& server, const std::function<void()>& failed = {});

// Runs the upload: GetEmail into cdsDados, SetDelEmail with the earliest date, then one fold
// and one post per traffic row while boImport holds, sending after traffic rows 1001, 2001,
// ..., after the last one and after a stop; then waits for the last batch's answer and fills
// the labels. Binds cdsDadosAfterPost to cdsDados for its duration. Sets boPost and boRegsImp.
// Failed calls raise (CheckResultServ); a run that fails leaves no call under way.
UploadResult uploadPhase(TrafficTables& tables, const Grouping& grouping, ServerObject& server,
                         const PhaseUi& ui, const UploadLabels& labels);

}  // namespace zeb::import
