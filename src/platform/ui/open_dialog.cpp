#include "platform/ui/open_dialog.h"

#include "platform/ui/application.h"

namespace zeb::platform::ui {

bool OpenDialog::Execute() {
  std::optional<std::string> chosen = application().openFileDialog(Title, Filter);
  if (!chosen) return false;
  FileName = std::move(*chosen);
  return true;
}

}  // namespace zeb::platform::ui
