// The interface through which the toolkit core reaches a real user interface (widgets, a
// console, or a test script). The core calls it only on the user-interface thread and only
// through the Application.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/dialogs.h"

namespace zeb::platform::ui {

class Control;
class Form;

class Backend {
 public:
  virtual ~Backend() = default;

  // True when the backend must see every call of the message pump and of Form::refresh()
  // (a test script counts them); otherwise the Application hands over at most every ~20 ms.
  // Read once, when the backend is installed.
  virtual bool seesEveryPump() const { return false; }

  // The message pump: handle pending operator input (which may run handlers of controls,
  // nested in the caller's loop). Pending changes have been drawn just before.
  virtual void processEvents() = 0;

  // Render the changes of one control ("changes" holds bits of the namespace "changes"; all of
  // them on a control's first draw, so a backend can create its widget then). A tree is drawn
  // parents first. A backend must not create or destroy controls here.
  virtual void draw(Control& control, unsigned changes) = 0;

  // Paint "form" now; its pending changes have just been drawn.
  virtual void repaint(Form& form) = 0;

  // The control is being destroyed: forget anything kept for it. Only its address, kind(),
  // name() and backendData() may still be used; its children may outlive it (orphaned).
  virtual void controlDestroyed(Control& /*control*/) {}

  virtual void setFocus(Control& /*control*/) {}

  // -11 the hourglass, 0 the default cursor; other values as the platform defines them.
  virtual void setCursor(int cursor) = 0;

  // A modal message dialog; answers the result code of the pressed button (kMrOk...).
  virtual int messageDlg(std::string_view text, MsgDlgType type, MsgDlgButtons buttons,
                         int helpCtx) = 0;

  // A modal open-file dialog; answers the chosen file's full path, or nothing when cancelled.
  // "filter" has the form that parseFileFilter() reads.
  virtual std::optional<std::string> openFileDialog(std::string_view title,
                                                    std::string_view filter) = 0;
  // The same dialog letting the operator choose several files; answers their full paths (one
  // at least) in the order the dialog gives them. A backend without such a dialog offers a
  // single choice, which this default does through openFileDialog().
  virtual std::optional<std::vector<std::string>> openFilesDialog(std::string_view title,
                                                                  std::string_view filter) {
    std::optional<std::string> path = openFileDialog(title, filter);
    if (!path) return std::nullopt;
    return std::vector<std::string>{std::move(*path)};
  }

  // The host's busy animation, shown over "owner" (may be null); "kind" picks the animation.
  virtual void showBusy(Form* owner, int kind) = 0;
  virtual void hideBusy() = 0;
};

}  // namespace zeb::platform::ui
