#include "host/error_dialog.h"

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"

namespace zeb::host {

void MensErro(std::string_view text, bool abort, std::string detail) {
  namespace ui = platform::ui;
  ui::application().messageDlg(text, ui::MsgDlgType::Error, ui::MsgDlgBtn::OK, 0);
  if (abort) throw platform::EAbort(std::move(detail));
}

}  // namespace zeb::host
