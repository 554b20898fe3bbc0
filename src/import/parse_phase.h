// The parse phase of an import run: every line of the work file, one at a time.
#pragma once

#include "import/phase_ui.h"
#include "import/traffic_tables.h"
#include "platform/os/line_reader.h"

namespace zeb::import {

// Reads lines while the file has any and boImport is true (both tested before every line),
// parsing each into cdsEnvio and cdsRecebimento, which must be open. Deliveries to the content
// filters of the host settings, read at the start, are left out. Pending window messages are
// pumped before every line, and the progress bar moves one step per line. Conversion errors
// name the line and "logName" (the reader's path when empty): the work file is a copy the user
// never sees, so the run names the log, and "firstLine" is the log's number of the file's first
// line. The line numbers kept with the records are the log's too.
void parsePhase(platform::os::LineReader& reader, TrafficTables& tables, const PhaseUi& ui,
                std::string_view logName = {}, std::uint64_t firstLine = 1);

}  // namespace zeb::import
