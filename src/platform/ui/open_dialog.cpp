#include "platform/ui/open_dialog.h"

#include "platform/ui/application.h"

namespace zeb::platform::ui {

bool OpenDialog::Execute() {
  if (MultiSelect) {
    std::optional<std::vector<std::string>> chosen = application().openFilesDialog(Title, Filter);
    if (!chosen || chosen->empty()) return false;
    Files = std::move(*chosen);
    FileName = Files.front();
    return true;
  }
  std::optional<std::string> chosen = application().openFileDialog(Title, Filter);
  if (!chosen) return false;
  FileName = std::move(*chosen);
  Files = {FileName};
  return true;
}

}  // namespace zeb::platform::ui
