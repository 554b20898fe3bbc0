#include "platform/ui/test_backend.h"

#include "platform/core/exceptions.h"
#include "platform/ui/control.h"
#include "platform/ui/form.h"

namespace zeb::platform::ui {

void TestBackend::atPump(std::uint64_t pump, std::function<void()> action) {
  actions_.emplace(pump, std::move(action));
}

void TestBackend::reset() { *this = TestBackend(); }

void TestBackend::processEvents() {
  ++pumps_;
  // Taken out before running: an action may pump again (a confirmation dialog does not, but a
  // handler might), and must not run twice.
  while (!actions_.empty() && actions_.begin()->first <= pumps_) {
    auto node = actions_.extract(actions_.begin());
    node.mapped()();
  }
}

void TestBackend::draw(Control& control, unsigned changes) {
  ++draws_;
  if (recordDraws_) drawLog_.push_back({control.name(), changes});
}

void TestBackend::repaint(Form& /*form*/) { ++refreshes_; }

void TestBackend::setFocus(Control& control) { focus_.push_back(control.name()); }

void TestBackend::setCursor(int cursor) { cursors_.push_back(cursor); }

int TestBackend::messageDlg(std::string_view text, MsgDlgType type, MsgDlgButtons buttons,
                            int helpCtx) {
  dialogs_.push_back({std::string(text), type, buttons, helpCtx});
  if (dialogAnswers_.empty()) {
    throw Exception("test backend: no answer scripted for the message dialog '" +
                    std::string(text) + "'");
  }
  int answer = dialogAnswers_.front();
  dialogAnswers_.pop_front();
  bool offered = false;
  for (MsgDlgBtn b : buttons.list()) offered = offered || modalResultOf(b) == answer;
  if (!buttons.empty() && !offered) {
    throw Exception("test backend: the scripted answer " + std::to_string(answer) +
                    " is not a button of the message dialog '" + std::string(text) + "'");
  }
  return answer;
}

void TestBackend::answerOpenFile(std::optional<std::string> path) {
  if (!path) {
    fileAnswers_.push_back(std::nullopt);
  } else {
    fileAnswers_.push_back(std::vector<std::string>{std::move(*path)});
  }
}

std::optional<std::vector<std::string>> TestBackend::nextFileAnswer(std::string_view title,
                                                                    std::string_view filter) {
  fileDialogs_.push_back({std::string(title), std::string(filter)});
  if (fileAnswers_.empty()) {
    throw Exception("test backend: no answer scripted for the open-file dialog '" +
                    std::string(title) + "'");
  }
  std::optional<std::vector<std::string>> answer = std::move(fileAnswers_.front());
  fileAnswers_.pop_front();
  return answer;
}

std::optional<std::string> TestBackend::openFileDialog(std::string_view title,
                                                       std::string_view filter) {
  std::optional<std::vector<std::string>> answer = nextFileAnswer(title, filter);
  if (!answer) return std::nullopt;
  if (answer->size() != 1) {
    throw Exception("test backend: " + std::to_string(answer->size()) +
                    " files scripted for the single-choice open-file dialog '" +
                    std::string(title) + "'");
  }
  return std::move(answer->front());
}

std::optional<std::vector<std::string>> TestBackend::openFilesDialog(std::string_view title,
                                                                     std::string_view filter) {
  return nextFileAnswer(title, filter);
}

void TestBackend::showBusy(Form* owner, int kind) {
  busy_.push_back({true, kind, owner != nullptr ? owner->name() : std::string()});
}

void TestBackend::hideBusy() { busy_.push_back({false, 0, std::string()}); }

}  // namespace zeb::platform::ui
