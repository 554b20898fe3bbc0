#include "platform/ui/application.h"

#include <algorithm>
#include <type_traits>

#include "platform/ui/control.h"
#include "platform/ui/form.h"

namespace zeb::platform::ui {

// Static forms may be destroyed after the Application, so it must not need destroying itself.
static_assert(std::is_trivially_destructible_v<Application>);

namespace detail {
constinit Application theApplication;
}

bool Application::Throttle::due() {
  Clock::time_point now = Clock::now();
  // Aim the next reading one check period ahead at the pace of the calls just counted. After a
  // pause the pace looks slow and the stride drops, so a slow loop never waits long for a
  // reading; a fast loop regains its stride at the next one.
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastCheck).count();
  auto target = std::chrono::duration_cast<std::chrono::nanoseconds>(kCheckPeriod).count();
  long long next = static_cast<long long>(stride) * target / std::max<long long>(elapsed, 1);
  stride = static_cast<int>(std::clamp<long long>(next, 1, kMaxStride));
  countdown = stride;
  lastCheck = now;
  if (now - lastPass < kHandOverPeriod) return false;
  lastPass = now;
  return true;
}

Backend* Application::setBackend(Backend* backend) {
  Backend* previous = backend_;
  backend_ = backend;
  everyPump_ = backend != nullptr && backend->seesEveryPump();
  pump_.reset();
  refresh_.reset();
  // The new backend has drawn nothing yet.
  for (Form* f = firstForm_; f != nullptr; f = f->nextForm_) {
    struct Reset {
      static void tree(Control& c) {
        c.changes_ = changes::kAll;
        c.backendData_ = nullptr;
        for (Control* child : c.children_) tree(*child);
      }
    };
    Reset::tree(*f);
    f->treeChanged_ = true;
  }
  return previous;
}

void Application::pumpSlow() {
  if (backend_ == nullptr) {
    pump_.countdown = kMaxStride;
    return;
  }
  if (everyPump_) {
    pump_.countdown = 1;
  } else if (!pump_.due()) {
    return;
  }
  drawPending();
  backend_->processEvents();
}

void Application::refreshSlow(Form& form) {
  if (backend_ == nullptr) {
    refresh_.countdown = kMaxStride;
    return;
  }
  if (everyPump_) {
    refresh_.countdown = 1;
  } else if (!refresh_.due()) {
    return;
  }
  drawForm(form);
  backend_->repaint(form);
}

void Application::drawPending() {
  for (Form* f = firstForm_; f != nullptr; f = f->nextForm_) {
    if (f->treeChanged_) drawForm(*f);
  }
}

void Application::drawForm(Form& form) {
  form.treeChanged_ = false;
  drawTree(form);
}

void Application::drawTree(Control& control) {
  if (control.changes_ != 0) backend_->draw(control, control.takeChanges());
  for (Control* child : control.children_) drawTree(*child);
}

void Application::flush() {
  if (backend_ != nullptr) drawPending();
}

void Application::setCursor(int cursor) {
  cursor_ = cursor;
  if (backend_ != nullptr) backend_->setCursor(cursor);
}

int Application::messageDlg(std::string_view text, MsgDlgType type, MsgDlgButtons buttons,
                            int helpCtx) {
  if (backend_ == nullptr) return kMrCancel;
  drawPending();
  return backend_->messageDlg(text, type, buttons, helpCtx);
}

std::optional<std::string> Application::openFileDialog(std::string_view title,
                                                       std::string_view filter) {
  if (backend_ == nullptr) return std::nullopt;
  drawPending();
  return backend_->openFileDialog(title, filter);
}

std::optional<std::vector<std::string>> Application::openFilesDialog(std::string_view title,
                                                                     std::string_view filter) {
  if (backend_ == nullptr) return std::nullopt;
  drawPending();
  return backend_->openFilesDialog(title, filter);
}

void Application::showBusy(Form* owner, int kind) {
  busyShown_ = true;
  if (backend_ != nullptr) backend_->showBusy(owner, kind);
}

void Application::hideBusy() {
  busyShown_ = false;
  if (backend_ != nullptr) backend_->hideBusy();
}

std::vector<Form*> Application::forms() const {
  std::vector<Form*> all;
  for (Form* f = firstForm_; f != nullptr; f = f->nextForm_) all.push_back(f);
  return all;
}

void Application::adoptForm(Form* form) { form->ownedByApplication_ = true; }

void Application::destroyOwnedForms() {
  // A form's destructor may destroy other forms, so the list is walked anew after each one.
  for (;;) {
    Form* owned = lastForm_;
    while (owned != nullptr && !owned->ownedByApplication_) owned = owned->prevForm_;
    if (owned == nullptr) return;
    delete owned;
  }
}

void Application::addForm(Form& form) {
  form.prevForm_ = lastForm_;
  form.nextForm_ = nullptr;
  (lastForm_ != nullptr ? lastForm_->nextForm_ : firstForm_) = &form;
  lastForm_ = &form;
}

void Application::removeForm(Form& form) {
  (form.prevForm_ != nullptr ? form.prevForm_->nextForm_ : firstForm_) = form.nextForm_;
  (form.nextForm_ != nullptr ? form.nextForm_->prevForm_ : lastForm_) = form.prevForm_;
  form.prevForm_ = form.nextForm_ = nullptr;
  if (mainForm_ == &form) mainForm_ = nullptr;
}

void Application::focus(Control& control) {
  focused_ = &control;
  if (backend_ != nullptr) backend_->setFocus(control);
}

void Application::controlDestroyed(Control& control) {
  if (focused_ == &control) focused_ = nullptr;
  if (backend_ != nullptr) backend_->controlDestroyed(control);
}

}  // namespace zeb::platform::ui
