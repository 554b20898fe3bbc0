// The Application: one per process. It owns the message pump, the screen cursor, the modal
// dialogs and the busy animation, and it hands the controls' changes to the installed Backend.
//
// Without a backend nothing is drawn, the pump does nothing, messageDlg() answers kMrCancel,
// openFileDialog() answers nothing, and the cursor and busy state are only remembered.
//
// Everything here belongs to the user-interface thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/backend.h"
#include "platform/ui/dialogs.h"

namespace zeb::platform::ui {

class Control;
class Form;

constexpr int kCrDefault = 0;
constexpr int kCrHourGlass = -11;

class Application {
 public:
  // At most this often a pump hands over to the backend, and a refresh lets it paint.
  static constexpr std::chrono::milliseconds kHandOverPeriod{20};

  constexpr Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The message pump, called once per unit of work (millions of times per run). Pending
  // changes are drawn and pending operator input is handled (handlers run nested in the
  // caller), at most every kHandOverPeriod, or at every call for a backend that sees every
  // pump. Most calls only count down.
  void processMessages() {
    if (--pump_.countdown > 0) [[likely]]
      return;
    pumpSlow();
  }

  // The pump for a caller that calls it seldom: every few milliseconds while it waits for
  // another thread, or between slices of a long piece of work. Each call reads the clock, so
  // that the hand-over comes on time however few the calls are; processMessages() reads it
  // only once its count of calls runs out, a count set for a loop that calls it millions of
  // times.
  void processMessagesSeldom() {
    pump_.countdown = 1;
    processMessages();
  }

  // Installs "backend" (null for none) and answers the one it replaces. The backend must stay
  // alive while installed. Every control is then drawn anew by it, and every control's
  // backendData() is cleared: a backend that is replaced must release its widgets first.
  Backend* setBackend(Backend* backend);
  Backend* backend() const { return backend_; }

  // kCrHourGlass (-11) or kCrDefault (0).
  int cursor() const { return cursor_; }
  void setCursor(int cursor);

  // A modal message dialog; answers the result code of the pressed button (kMrYes is 6).
  // Pending changes are drawn first, so that the screen behind the dialog is current.
  int messageDlg(std::string_view text, MsgDlgType type, MsgDlgButtons buttons, int helpCtx);

  // A modal open-file dialog; answers the chosen path, or nothing when the operator cancels.
  std::optional<std::string> openFileDialog(std::string_view title, std::string_view filter);
  // The same with a choice of several files; answers their paths, or nothing when cancelled.
  std::optional<std::vector<std::string>> openFilesDialog(std::string_view title,
                                                          std::string_view filter);

  // The host's busy animation, shown over "owner" (may be null).
  void showBusy(Form* owner, int kind);
  void hideBusy();
  bool busyShown() const { return busyShown_; }

  // The host's main window, or null. It is forgotten when that form is destroyed.
  Form* mainForm() const { return mainForm_; }
  void setMainForm(Form* form) { mainForm_ = form; }

  // The control that last received the focus (null once it is destroyed).
  Control* focusedControl() const { return focused_; }

  // The living forms, in creation order.
  std::vector<Form*> forms() const;

  // Takes "form", made with new, as the Application's own, as a form factory does: it lives
  // until destroyOwnedForms(). A host calls that before it unloads the modules whose forms
  // these are, and before it ends.
  void adoptForm(Form* form);
  // Destroys the forms the Application owns, the newest first.
  void destroyOwnedForms();

  // Draws every pending change now, whatever the time since the last hand-over.
  void flush();

 private:
  friend class Control;
  friend class Form;

  using Clock = std::chrono::steady_clock;

  // Counts calls down to the next clock reading; the stride between readings adapts to the
  // caller's pace, so that the clock is read about every kCheckPeriod.
  struct Throttle {
    int countdown = 1;
    int stride = 1;
    Clock::time_point lastCheck{};
    Clock::time_point lastPass{};
    // Reads the clock (the countdown has run out); true when kHandOverPeriod has passed since
    // the last time it answered true.
    bool due();
    void reset() { *this = Throttle{}; }
  };
  static constexpr std::chrono::microseconds kCheckPeriod{1000};
  static constexpr int kMaxStride = 1024;

  void refresh(Form& form) {
    if (--refresh_.countdown > 0) [[likely]]
      return;
    refreshSlow(form);
  }
  void pumpSlow();
  void refreshSlow(Form& form);
  void drawPending();
  void drawForm(Form& form);
  void drawTree(Control& control);

  void addForm(Form& form);
  void removeForm(Form& form);
  void focus(Control& control);
  void controlDestroyed(Control& control);

  Backend* backend_ = nullptr;
  bool everyPump_ = false;
  Throttle pump_;
  Throttle refresh_;
  int cursor_ = kCrDefault;
  bool busyShown_ = false;
  Form* mainForm_ = nullptr;
  Control* focused_ = nullptr;
  // The forms, linked through Form::nextForm_ so that the Application needs no destructor and
  // stays usable while static forms are destroyed.
  Form* firstForm_ = nullptr;
  Form* lastForm_ = nullptr;
};

namespace detail {
extern constinit Application theApplication;
}

// The process's Application.
inline Application& application() { return detail::theApplication; }

// Installs a backend for a scope and puts the previous one back at its end.
class ScopedBackend {
 public:
  explicit ScopedBackend(Backend& backend) : previous_(application().setBackend(&backend)) {}
  ~ScopedBackend() { application().setBackend(previous_); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  Backend* previous_;
};

}  // namespace zeb::platform::ui
