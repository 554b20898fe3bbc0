#include "screen/module_entry.h"

#include <exception>

#include "host/exception_handler.h"
#include "platform/ui/application.h"
#include "screen/imp_email_internet.h"

namespace zeb::screen {

void CriaImpEmailInt() {
  auto& app = platform::ui::application();
  app.setCursor(platform::ui::kCrHourGlass);
  // The default cursor comes back also when the creation fails: an hourglass left over a
  // screen that never appeared would tell the operator to wait for nothing.
  struct DefaultCursor {
    ~DefaultCursor() { platform::ui::application().setCursor(platform::ui::kCrDefault); }
  } restore;
  if (!boStCriado) {
    auto* screen = new TfrmImpEmailInternet();
    app.adoptForm(screen);
    frmImpEmailInternet = screen;
    boStCriado = true;
  }
  frmImpEmailInternet->show();
  frmImpEmailInternet->setWindowState(platform::ui::WindowState::Normal);
}

}  // namespace zeb::screen

extern "C" {

void IniProc() {
  try {
    zeb::screen::CriaImpEmailInt();
  } catch (...) {
    zeb::host::HandleException(std::current_exception());
  }
}

void Initialize() {
  try {
    zeb::import::moduleStartUp();
  } catch (...) {
    zeb::host::HandleException(std::current_exception());
  }
}

void Finalize() {
  try {
    zeb::import::moduleShutDown();
  } catch (...) {
    zeb::host::HandleException(std::current_exception());
  }
}

}  // extern "C"
