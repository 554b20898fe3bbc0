#include "console_backend.h"

#include <cstdio>
#include <string>

namespace zeb::cli {

using platform::ui::MsgDlgBtn;

int ConsoleBackend::messageDlg(std::string_view text, platform::ui::MsgDlgType,
                               platform::ui::MsgDlgButtons buttons, int) {
  std::fprintf(stderr, "zeb18000: %.*s\n", static_cast<int>(text.size()), text.data());
  for (MsgDlgBtn preferred : {MsgDlgBtn::OK, MsgDlgBtn::Yes}) {
    if (buttons.contains(preferred)) return platform::ui::modalResultOf(preferred);
  }
  for (int b = 0; b <= static_cast<int>(MsgDlgBtn::Help); ++b) {
    auto button = static_cast<MsgDlgBtn>(b);
    if (buttons.contains(button)) return platform::ui::modalResultOf(button);
  }
  return platform::ui::kMrOk;
}

}  // namespace zeb::cli
