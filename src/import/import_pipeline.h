// An import run without a screen: the mail log at a path through every phase, from the work
// file to the statistics stored on the application server. The screen's import command adds
// the locking, the stop command and the completion texts around the same steps.
#pragma once

#include <functional>
#include <string>

#include "import/phase_ui.h"
#include "import/traffic_tables.h"
#include "import/upload.h"

namespace zeb::import {

// The steps of a run, in the order they run. kCleanUp is the end of a run that reached the
// upload: the tables are closed and the work file is deleted.
enum class ImportStep { kWorkFile, kParse, kAnalysis, kGrouping, kUpload, kCleanUp };

struct ImportOptions {
  PhaseUi ui;           // the status line, progress bar and form the phases move; all optional
  UploadLabels labels;  // the summary labels the upload fills; all optional
  std::string year;     // the log year ("2025") in place of that of the log's modification time
  // Called as each step begins, so that a caller can time the steps or act at a chosen one.
  // kUpload comes only when the run reaches the upload, kCleanUp only when the upload ends. An exception from it ends the run
  // through the failure path.
  std::function<void(ImportStep)> stepStarted;
};

// Imports the mail log at "path" into the statistics of "server":
//   FormatDoc -> parse -> analysis -> grouping -> upload
// re-arming boImport and clearing boRegsImp first, as every run does. The phases test boImport
// as they go: a run stopped before the upload makes no server call and answers an empty result;
// one stopped during the upload has sent the rows folded so far (boRegsImp tells whether any
// batch was sent). A log without traffic ends through MensErro's silent abort (EAbort), after
// the "Arq_Inv" dialog.
//
// "tables" must not be open; they are closed, and the work file is deleted, when the run ends
// on every path. Errors leave unchanged after that clean-up: EInOutError for the log or the work
// file, EConvertError naming the log and the line, EServerError from the server's calls. The
// statistics of upload batches already sent stay on the server.
UploadResult importLog(const std::string& path, TrafficTables& tables, ServerObject& server,
                       const ImportOptions& options = {});

}  // namespace zeb::import
