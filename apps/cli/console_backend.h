// The console's stand-in for the screen: dialogs become lines on stderr; nothing is drawn.
#pragma once

#include "platform/ui/backend.h"

namespace zeb::cli {

class ConsoleBackend : public platform::ui::Backend {
 public:
  void processEvents() override {}
  void draw(platform::ui::Control&, unsigned) override {}
  void repaint(platform::ui::Form&) override {}
  void setCursor(int) override {}
  // Prints the text on stderr and answers the first of OK, Yes, the first button: nobody is
  // there to choose.
  int messageDlg(std::string_view text, platform::ui::MsgDlgType type,
                 platform::ui::MsgDlgButtons buttons, int helpCtx) override;
  std::optional<std::string> openFileDialog(std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void showBusy(platform::ui::Form*, int) override {}
  void hideBusy() override {}
};

}  // namespace zeb::cli
