#include "platform/ui/form.h"

namespace zeb::platform::ui {

Form::Form(std::string_view name) : Control(ControlKind::Form, nullptr, name) {
  setVisible(false);
  application().addForm(*this);
}

Form::~Form() { application().removeForm(*this); }

void Form::setWindowState(WindowState state) {
  if (windowState_ == state) return;
  windowState_ = state;
  markChanged(changes::kWindowState);
}

void Form::setFormStyle(FormStyle style) {
  if (formStyle_ == style) return;
  formStyle_ = style;
  markChanged(changes::kOther);
}

void Form::show() {
  setVisible(true);
  application().flush();
}

char Form::keyPress(char key) {
  if (onKeyPress_) onKeyPress_(*this, key);
  return key;
}

TCloseAction Form::close() {
  TCloseAction action = TCloseAction::caHide;
  if (onClose_) onClose_(*this, action);
  switch (action) {
    case TCloseAction::caNone:
      break;
    case TCloseAction::caHide:
    case TCloseAction::caFree:
      setVisible(false);
      break;
    case TCloseAction::caMinimize:
      setWindowState(WindowState::Minimized);
      break;
  }
  return action;
}

void Form::boundsChanged() {
  if (onResize_) onResize_(*this);
}

}  // namespace zeb::platform::ui
