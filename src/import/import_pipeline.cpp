#include "import/import_pipeline.h"

#include <exception>

#include "import/analysis.h"
#include "import/module_state.h"
#include "import/parse_phase.h"
#include "import/work_file.h"
#include "platform/os/file_services.h"
#include "platform/os/line_reader.h"
#include "platform/ui/application.h"

namespace zeb::import {

namespace {

void startStep(const ImportOptions& options, ImportStep step) {
  if (options.stepStarted) options.stepStarted(step);
}

void showStatus(const PhaseUi& ui, const char* key) {
  ui.setStatus(ui.msg().Msg(key));
  ui.repaint();
}

// The steps between the start and the clean-up; they raise on failure.
UploadResult runSteps(const std::string& path, TrafficTables& tables, ServerObject& server,
                      const ImportOptions& options) {
  const PhaseUi& ui = options.ui;
  showStatus(ui, "Prep_Dados");
  startStep(options, ImportStep::kWorkFile);
  FormatDoc(path, ui);
  if (!options.year.empty()) stAno = options.year;

  tables.openLogTables();
  ui.setPosition(0);
  showStatus(ui, "Rec_dad");
  ui.setMax(inLinhas);
  platform::ui::application().processMessages();
  startStep(options, ImportStep::kParse);
  {
    platform::os::LineReader reader(stArqTemp);
    parsePhase(reader, tables, ui, path, workFileFirstLine);
  }

  showStatus(ui, "An_dad");
  startStep(options, ImportStep::kAnalysis);
  analysisPhase(tables, ui, path);
  showStatus(ui, "Org_dad");
  startStep(options, ImportStep::kGrouping);
  Grouping grouping = groupingPhase(tables, ui);

  // A stopped run asks nothing of the server: nothing is fetched, marked or stored.
  if (!boImport) return {};
  tables.cdsDados.open();
  startStep(options, ImportStep::kUpload);
  UploadResult result = uploadPhase(tables, grouping, server, ui, options.labels);
  startStep(options, ImportStep::kCleanUp);
  return result;
}

void deleteWorkFile() {
  if (!stArqTemp.empty()) platform::os::deleteFile(stArqTemp);
}

}  // namespace

UploadResult importLog(const std::string& path, TrafficTables& tables, ServerObject& server,
                       const ImportOptions& options) {
  boRegsImp = false;
  boImport = true;
  // The previous run's work file is gone, and its name may since have been given to another
  // program's temporary file: a run that fails before FormatDoc names its own must delete none.
  stArqTemp.clear();
  UploadResult result;
  try {
    result = runSteps(path, tables, server, options);
  } catch (...) {
    tables.closeAll();
    try {
      deleteWorkFile();
    } catch (const std::exception&) {
      // The run's own error is the one to report; a work file left behind is the lesser harm.
    }
    throw;
  }
  tables.closeAll();
  deleteWorkFile();
  return result;
}

}  // namespace zeb::import
