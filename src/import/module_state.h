// The module-level variables that the screen's handlers and the phases of the import run
// share. They are exported unmangled from the module library, under these names, so that a
// host can read them; they live from the module's load to its unload.
//
// All readers and writers run on the user-interface thread; none needs a lock.
#pragma once

#include <cstdint>
#include <string>

#define ZEB_MODULE_EXPORT __attribute__((visibility("default")))

namespace zeb::screen {
class TfrmImpEmailInternet;
}

extern "C" {
// The one screen instance; null until the first IniProc creates it.
ZEB_MODULE_EXPORT extern zeb::screen::TfrmImpEmailInternet* frmImpEmailInternet;
// The screen has been created; nothing resets it.
ZEB_MODULE_EXPORT extern bool boStCriado;
// The next post of a statistics row closes an upload batch and sends it.
ZEB_MODULE_EXPORT extern bool boPost;
// The last validation found the named file.
ZEB_MODULE_EXPORT extern bool boEmail;
// Exported for the host; carries no behaviour.
ZEB_MODULE_EXPORT extern bool boInternet;
// The details are unfolded.
ZEB_MODULE_EXPORT extern bool boDetAtiv;
// The run may go on: the stop command clears it, every unit of work tests it.
ZEB_MODULE_EXPORT extern bool boImport;
// Statistics were sent to the server in this run.
ZEB_MODULE_EXPORT extern bool boRegsImp;
// The log year, four digits, from the log's modification time.
ZEB_MODULE_EXPORT extern std::string stAno;
// The work file's path.
ZEB_MODULE_EXPORT extern std::string stArqTemp;
// The work file's line counter (the parse phase's progress maximum).
ZEB_MODULE_EXPORT extern std::int32_t inLinhas;
}

namespace zeb::import {

// Unit start-up, run once when the module is loaded (and by tests that need a fresh state):
// the flags take their start values, boImport true and the others false.
void moduleStartUp();

// Unit shut-down, run once when the module is unloaded: the texts are released. The screen,
// the connection and the work file are not touched.
void moduleShutDown();

}  // namespace zeb::import
