// The phases of an import in their one order, from the mail log to the statistics on the
// server:
//   work file (FormatDoc) -> parse -> analysis -> grouping -> upload
// The screen's import command runs them all between its lock and its completion; the command
// line's inspection and the benchmarks run the same sequence and stop it after a stage.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "import/analysis.h"
#include "import/phase_ui.h"
#include "import/traffic_tables.h"
#include "import/upload.h"

namespace zeb::import {

enum class ImportStage { kWorkFile, kParse, kAnalysis, kGrouping, kUpload };

struct PhaseOptions {
  PhaseUi ui;           // the status line, progress bar and form the phases move; all optional
  UploadLabels labels;  // the summary labels the upload fills; all optional
  // The server of the upload. It must be set when "last" is kUpload.
  ServerObject* server = nullptr;
  // The sequence ends after this stage.
  ImportStage last = ImportStage::kUpload;
  // The log year ("2025") in place of that of the log's modification time.
  std::string year;
  // Runs once the first status text is shown, before the work file is made: the screen enables
  // its stop command here.
  std::function<void()> working;
  // Runs as each stage begins, so that a caller can time the stages or act at a chosen one.
  // An exception from it ends the sequence as any failure does.
  std::function<void(ImportStage)> stageStarted;
};

struct PhaseResult {
  Grouping grouping;    // set once the grouping ran
  UploadResult upload;  // set once the upload ran
  bool uploaded = false;
};

// Runs the sequence over the mail logs at "paths", read as one log (FormatDoc), with the status
// texts of each phase from the message table, the progress bar reset for each, and one pump between
// them. The phases test boImport as they go; the caller arms it. A run stopped before the upload
// asks nothing of the server: nothing is fetched, marked or stored, and "uploaded" stays false.
//
// cdsEnvio and cdsRecebimento are opened empty after the work file is made, cdsIntermediario
// by the grouping and cdsDados before the upload; the caller closes them (closeAll()) and
// deletes the work file (stAno and stArqTemp are set by FormatDoc, also when it fails), on
// every path. The work file is closed again before the sequence returns or raises.
//
// Errors pass unchanged: EInOutError for a log or the work file, EConvertError naming the log
// and its line (describeLine()), EServerError from the server's calls, and the silent EAbort of a
// log without traffic (after the "Arq_Inv" dialog).
PhaseResult runPhases(const std::vector<std::string>& paths, TrafficTables& tables,
                      const PhaseOptions& options);
// One log.
PhaseResult runPhases(const std::string& path, TrafficTables& tables, const PhaseOptions& options);

}  // namespace zeb::import
