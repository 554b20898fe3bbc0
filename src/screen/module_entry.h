// The module's entry points, exported unmangled from libzeb18000.so. A host loads the library
// (dlopen), runs Initialize once, enters through IniProc each time the operator opens the
// screen, destroys the Application's forms when it is done (Application::destroyOwnedForms),
// then runs Finalize, and only then unloads the library.
//
// No exception leaves these functions: an error is handed to the host library's exception
// handler (host::HandleException), which the host installs.
#pragma once

#include "import/module_state.h"

extern "C" {
// Creates the screen on the first call (and again after a failed or destroyed one) and shows
// it, in the normal window state, with the wait cursor meanwhile.
ZEB_MODULE_EXPORT void IniProc();
// Unit start-up: the module variables take their start values.
ZEB_MODULE_EXPORT void Initialize();
// Unit shut-down: the module's texts are released.
ZEB_MODULE_EXPORT void Finalize();
}

namespace zeb::screen {

// What IniProc does; errors raise. A failed creation leaves boStCriado false.
void CriaImpEmailInt();

}  // namespace zeb::screen
