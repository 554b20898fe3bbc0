// A window: the root of a tree of controls.
#pragma once

#include <functional>
#include <string_view>

#include "platform/ui/application.h"
#include "platform/ui/control.h"

namespace zeb::platform::ui {

enum class WindowState { Normal, Minimized, Maximized };

// A top-level window, or a child window inside the host's main window (MDI child).
enum class FormStyle { Normal, MDIChild };

// What a close request does with the form; the close handler may change it. caNone refuses
// the close. The values are those the screens compare with (caNone is 0).
enum class TCloseAction { caNone = 0, caHide = 1, caFree = 2, caMinimize = 3 };

// Key characters as the screens see them.
constexpr char kKeyEscape = 27;
constexpr char kKeyEnter = 13;

class Form : public Control {
 public:
  using KeyPressEvent = std::function<void(Control& sender, char& key)>;
  using CloseEvent = std::function<void(Control& sender, TCloseAction& action)>;

  // The frame around the client area: borders and the caption bar. The outer size (width(),
  // height()) is the client size plus the frame.
  static constexpr int kFrameWidth = 8;
  static constexpr int kFrameHeight = 27;

  // A form is hidden until show() or setVisible(true). It registers with the Application, which
  // draws the changes of its controls; the Application must not be torn down before it.
  explicit Form(std::string_view name);
  ~Form() override;

  WindowState windowState() const { return windowState_; }
  void setWindowState(WindowState state);

  FormStyle formStyle() const { return formStyle_; }
  void setFormStyle(FormStyle style);

  int clientWidth() const { return width() - kFrameWidth; }
  int clientHeight() const { return height() - kFrameHeight; }
  void setClientSize(int width, int height) {
    setBounds(left(), top(), width + kFrameWidth, height + kFrameHeight);
  }

  // Makes the form visible and has it drawn at once.
  void show();

  // Repaints the form now: its pending changes are drawn and the backend paints it. Called once
  // per unit of work by long loops, so the Application lets the backend paint at most every
  // ~20 ms (unless the backend sees every pump); the changes in between stay pending and are
  // drawn at the next paint or pump.
  void refresh() { application().refresh(*this); }

  // True when some control of the form has changes not yet drawn.
  bool hasPendingChanges() const { return treeChanged_; }

  // The operator typed "key" while the form was active. The form sees keys before its
  // controls: the key-press handler may replace the key (0 drops it). Answers the key as the
  // handler left it. Backends and test scripts call this.
  char keyPress(char key);
  void setOnKeyPress(KeyPressEvent handler) { onKeyPress_ = std::move(handler); }

  // A request to close the form (the operator's, or the program's). The close handler gets the
  // action caHide and may change it; then the form is hidden (caHide, and caFree: forms are
  // destroyed by their owner only), minimised (caMinimize) or left as it is (caNone). Answers
  // the action taken.
  TCloseAction close();
  void setOnClose(CloseEvent handler) { onClose_ = std::move(handler); }

  // Called after the form's bounds change, for a form to lay out its areas.
  void setOnResize(std::function<void(Form&)> handler) { onResize_ = std::move(handler); }

 protected:
  void boundsChanged() override;

 private:
  friend class Control;
  friend class Application;

  WindowState windowState_ = WindowState::Normal;
  FormStyle formStyle_ = FormStyle::Normal;
  KeyPressEvent onKeyPress_;
  CloseEvent onClose_;
  std::function<void(Form&)> onResize_;
  bool treeChanged_ = true;
  bool ownedByApplication_ = false;
  Form* prevForm_ = nullptr;  // the Application's list of forms
  Form* nextForm_ = nullptr;
};

}  // namespace zeb::platform::ui
