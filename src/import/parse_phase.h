// The parse phase of an import run: every line of the work file, one at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "import/phase_ui.h"
#include "import/traffic_tables.h"

namespace zeb::import {

// Reads the lines of the file at "workFile" while it has any and boImport is true (both tested
// before every line), parsing each into cdsEnvio and cdsRecebimento, which must be open.
// Pending window messages are pumped before every line, and the progress bar moves one step
// per line. A line ends at LF; the CRs right before it are not part of it.
//
// "firstLine" is the log line of the file's first line (the work file is a copy the user never
// sees): the line numbers kept with the records are log lines, and so are those that
// conversion errors name ("line N: ..."), after "logName, " when one is given. A read failure
// raises EInOutError naming the work file, once every line before it has been parsed.
//
// The lines are read and cut on a second thread, a few blocks ahead of the records stored on
// the caller's; the tables, the pump and the progress bar are touched by the caller's thread
// only, and in line order, so what is stored, what is raised and where a stop ends the phase
// are those of a parse one line at a time.
void parsePhase(const std::string& workFile, TrafficTables& tables, const PhaseUi& ui,
                std::string_view logName = {}, std::uint64_t firstLine = 1);

}  // namespace zeb::import
