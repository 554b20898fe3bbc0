// A backend driven by a test script: it answers dialogs from queues, runs operator actions at
// chosen pumps and records what the program asked of the screen. It sees every pump and every
// refresh. Any dialog the script has no answer for fails loudly (raises Exception).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ui/backend.h"

namespace zeb::platform::ui {

class TestBackend : public Backend {
 public:
  struct DialogCall {
    std::string text;
    MsgDlgType type;
    MsgDlgButtons buttons;
    int helpCtx;
    bool operator==(const DialogCall&) const = default;
  };
  struct FileDialogCall {
    std::string title;
    std::string filter;
    bool operator==(const FileDialogCall&) const = default;
  };
  struct BusyCall {
    bool shown;        // true for showBusy, false for hideBusy
    int kind;          // 0 for hideBusy
    std::string form;  // the owner form's name, empty when none
    bool operator==(const BusyCall&) const = default;
  };
  struct DrawCall {
    std::string control;
    unsigned changes;
    bool operator==(const DrawCall&) const = default;
  };

  bool seesEveryPump() const override { return true; }

  // --- The script ---
  // The next message dialog answers "result", which must be the result of one of the buttons
  // the dialog offers (else the dialog raises, naming its text).
  void answerDialog(int result) { dialogAnswers_.push_back(result); }
  // The next open-file dialog answers "path" (nothing: the operator cancels).
  void answerOpenFile(std::optional<std::string> path);
  // The next open-file dialog answers "paths": several only for a dialog that lets the operator
  // choose several (else it raises); nothing when the operator cancels.
  void answerOpenFiles(std::optional<std::vector<std::string>> paths) {
    fileAnswers_.push_back(std::move(paths));
  }
  // Runs "action" during pump number "pump" (counted from 1 since construction or reset()), as
  // the operator acting while the program pumps; a pump number already passed means the next
  // pump. Several actions at one pump run in the order they were scripted.
  void atPump(std::uint64_t pump, std::function<void()> action);
  // Scripted answers and actions not used yet.
  std::size_t unusedDialogAnswers() const { return dialogAnswers_.size(); }
  std::size_t unusedFileAnswers() const { return fileAnswers_.size(); }
  std::size_t pendingActions() const { return actions_.size(); }

  // --- What happened ---
  std::uint64_t pumpCount() const { return pumps_; }
  std::uint64_t refreshCount() const { return refreshes_; }
  std::uint64_t drawCount() const { return draws_; }
  const std::vector<DialogCall>& dialogs() const { return dialogs_; }
  const std::vector<FileDialogCall>& fileDialogs() const { return fileDialogs_; }
  const std::vector<int>& cursorHistory() const { return cursors_; }
  const std::vector<BusyCall>& busyHistory() const { return busy_; }
  const std::vector<std::string>& focusHistory() const { return focus_; }
  // Every draw, when recording is on (off by default: a long run draws millions of times).
  void recordDraws(bool on) { recordDraws_ = on; }
  const std::vector<DrawCall>& drawLog() const { return drawLog_; }

  // Forgets the script and the records.
  void reset();

  // --- Backend ---
  void processEvents() override;
  void draw(Control& control, unsigned changes) override;
  void repaint(Form& form) override;
  void setFocus(Control& control) override;
  void setCursor(int cursor) override;
  int messageDlg(std::string_view text, MsgDlgType type, MsgDlgButtons buttons,
                 int helpCtx) override;
  std::optional<std::string> openFileDialog(std::string_view title,
                                            std::string_view filter) override;
  std::optional<std::vector<std::string>> openFilesDialog(std::string_view title,
                                                          std::string_view filter) override;
  void showBusy(Form* owner, int kind) override;
  void hideBusy() override;

 private:
  std::deque<int> dialogAnswers_;
  std::optional<std::vector<std::string>> nextFileAnswer(std::string_view title,
                                                         std::string_view filter);

  std::deque<std::optional<std::vector<std::string>>> fileAnswers_;
  std::multimap<std::uint64_t, std::function<void()>> actions_;
  std::uint64_t pumps_ = 0;
  std::uint64_t refreshes_ = 0;
  std::uint64_t draws_ = 0;
  bool recordDraws_ = false;
  std::vector<DialogCall> dialogs_;
  std::vector<FileDialogCall> fileDialogs_;
  std::vector<int> cursors_;
  std::vector<BusyCall> busy_;
  std::vector<std::string> focus_;
  std::vector<DrawCall> drawLog_;
};

}  // namespace zeb::platform::ui
