// A window: the root of a tree of controls.
#pragma once

#include <string_view>

#include "platform/ui/application.h"
#include "platform/ui/control.h"

namespace zeb::platform::ui {

enum class WindowState { Normal, Minimized, Maximized };

class Form : public Control {
 public:
  // A form is hidden until show() or setVisible(true). It registers with the Application, which
  // draws the changes of its controls; the Application must not be torn down before it.
  explicit Form(std::string_view name);
  ~Form() override;

  WindowState windowState() const { return windowState_; }
  void setWindowState(WindowState state);

  // Makes the form visible and has it drawn at once.
  void show();

  // Repaints the form now: its pending changes are drawn and the backend paints it. Called once
  // per unit of work by long loops, so the Application lets the backend paint at most every
  // ~20 ms (unless the backend sees every pump); the changes in between stay pending and are
  // drawn at the next paint or pump.
  void refresh() { application().refresh(*this); }

  // True when some control of the form has changes not yet drawn.
  bool hasPendingChanges() const { return treeChanged_; }

 private:
  friend class Control;
  friend class Application;

  WindowState windowState_ = WindowState::Normal;
  bool treeChanged_ = true;
  Form* prevForm_ = nullptr;  // the Application's list of forms
  Form* nextForm_ = nullptr;
};

}  // namespace zeb::platform::ui
