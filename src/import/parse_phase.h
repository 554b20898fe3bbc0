// The parse phase of an import run: every line of the work file, one at a time.
#pragma once

#include "import/phase_ui.h"
#include "import/traffic_tables.h"
#include "platform/os/line_reader.h"

namespace zeb::import {

// Reads lines while the file has any and boImport is true (both tested before every line),
// parsing each into cdsEnvio and cdsRecebimento, which must be open. Pending window messages
// are pumped before every line, and the progress bar moves one step per line. "firstLine" is the
// log line of the file's first line (the work file is a copy the user never sees): the line
// numbers kept with the records are log lines, and so are those that conversion errors name
// ("line N: ..."), after "logName, " when one is given.
void parsePhase(platform::os::LineReader& reader, TrafficTables& tables, const PhaseUi& ui,
                std::string_view logName = {}, std::uint64_t firstLine = 1);

}  // namespace zeb::import
