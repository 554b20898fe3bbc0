#include "import/phase_sequence.h"

#include "import/module_state.h"
#include "import/parse_phase.h"
#include "import/work_file.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

// A phase's first text is drawn at once, whatever the pump's pace, so that every host sees
// every phase begin (a console prints a line per phase); what the previous phase left on the
// progress bar is drawn before it, under that phase's text.
void showStatus(const PhaseUi& ui, const char* key) {
  platform::ui::application().flush();
  ui.setStatus(ui.msg().Msg(key));
  ui.repaint();
  platform::ui::application().flush();
}

}  // namespace

PhaseResult runPhases(const std::string& path, TrafficTables& tables, const PhaseOptions& options) {
  return runPhases(std::vector<std::string>{path}, tables, options);
}

PhaseResult runPhases(const std::vector<std::string>& paths, TrafficTables& tables,
                      const PhaseOptions& options) {
  const PhaseUi& ui = options.ui;
  auto begin = [&](ImportStage stage) {
    if (options.stageStarted) options.stageStarted(stage);
  };
  PhaseResult result;

  showStatus(ui, "Prep_Dados");
  if (options.working) options.working();
  begin(ImportStage::kWorkFile);
  FormatDoc(paths, ui);
  if (!options.year.empty()) stAno = options.year;
  if (options.last == ImportStage::kWorkFile) return result;

  tables.openLogTables();
  ui.setPosition(0);
  showStatus(ui, "Rec_dad");
  ui.setMax(inLinhas);
  platform::ui::application().processMessages();
  begin(ImportStage::kParse);
  try {
    parsePhase(stArqTemp, tables, ui, {}, workFileFirstLine);
  } catch (const platform::EConvertError& e) {
    throw platform::EConvertError(nameLogLine(e.what()));
  }
  if (options.last == ImportStage::kParse) return result;

  showStatus(ui, "An_dad");
  begin(ImportStage::kAnalysis);
  try {
    analysisPhase(tables, ui);
  } catch (const platform::EConvertError& e) {
    throw platform::EConvertError(nameLogLine(e.what()));
  }
  if (options.last == ImportStage::kAnalysis) return result;

  showStatus(ui, "Org_dad");
  begin(ImportStage::kGrouping);
  result.grouping = groupingPhase(tables, ui);
  if (options.last == ImportStage::kGrouping || !boImport) return result;

  if (options.server == nullptr) throw platform::Exception("an upload needs a server");
  // The grouping has consumed the log tables; what is left in them (deliveries without a
  // sending record) is read by nothing. Their memory goes before the statistics rows grow.
  tables.releaseLogTables();
  tables.cdsDados.open();
  platform::ui::application().flush();
  begin(ImportStage::kUpload);
  result.upload = uploadPhase(tables, result.grouping, *options.server, ui, options.labels);
  result.uploaded = true;
  return result;
}

}  // namespace zeb::import
