#include "host/exception_handler.h"

#include <cstdio>
#include <utility>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::host {

namespace {

ExceptionHandler& installed() {
  static ExceptionHandler handler;
  return handler;
}

void showInDialog(std::exception_ptr error) {
  namespace ui = platform::ui;
  try {
    std::rethrow_exception(std::move(error));
  } catch (const platform::EAbort&) {
  } catch (const std::exception& e) {
    ui::application().messageDlg(e.what(), ui::MsgDlgType::Error, ui::MsgDlgBtn::OK, 0);
  } catch (...) {
    ui::application().messageDlg("unknown error", ui::MsgDlgType::Error, ui::MsgDlgBtn::OK, 0);
  }
}

}  // namespace

ExceptionHandler setExceptionHandler(ExceptionHandler handler) {
  return std::exchange(installed(), std::move(handler));
}

void HandleException(std::exception_ptr error) noexcept {
  try {
    if (installed()) {
      installed()(std::move(error));
    } else {
      showInDialog(std::move(error));
    }
  } catch (...) {
    // A failing report must not take the host down with it; stderr is the last resort.
    std::fputs("zeb18000: an error could not be reported\n", stderr);
  }
}

}  // namespace zeb::host
