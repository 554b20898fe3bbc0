#include "import/parse_phase.h"

#include "host/brenmor.h"
#include "import/line_parser.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::import {

void parsePhase(platform::os::LineReader& reader, TrafficTables& tables, const PhaseUi& ui,
                std::string_view logName, std::uint64_t firstLine) {
  // Read at every run: a host may change its settings between two runs.
  LineParser parser(tables, ContentFilters(host::hostSettings().contentFilters));
  std::string_view line;
  while (!reader.eof() && boImport) {
    platform::ui::application().processMessages();
    reader.readLine(line);
    try {
      parser.parseLine(line, reader.lineNumber() + firstLine - 1);
    } catch (const platform::EConvertError& e) {
      std::string name(logName.empty() ? std::string_view(reader.path()) : logName);
      throw platform::EConvertError(name + ", " + e.what());
    }
    ui.step();
  }
}

}  // namespace zeb::import
