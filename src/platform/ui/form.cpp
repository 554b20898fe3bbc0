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

void Form::show() {
  setVisible(true);
  application().flush();
}

}  // namespace zeb::platform::ui
