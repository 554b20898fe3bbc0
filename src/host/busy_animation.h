// The host's busy animation, shown while the module waits for the application server.
#pragma once

namespace zeb::platform::ui {
class Form;
}

namespace zeb::host {

// Shows the busy animation of kind "kind" (the module uses 1) over "mainForm" (may be null),
// through the Application.
void ActiveShowAvi(platform::ui::Form* mainForm, int kind);
// Hides it; harmless when it is not shown.
void DeactiveShowAvi();

}  // namespace zeb::host
