// The toolkit's controls as Qt widgets: every control is drawn by the matching widget at its
// designed place and size in pixels (96 dpi), forms of the MDI child style inside the host's MDI
// area, and the Application's dialogs, cursor and busy animation are Qt's.
//
// Every widget carries its control's name as its object name, so that a host or a test finds
// "edtArqEmail" with QObject::findChild. Operator input reaches the controls as the toolkit
// expects: a click presses the button (only when it is reachable), a typed text sets the edit's
// text (its change handler runs), a key goes to the form first (it may drop it), and a close
// request goes through the form's close handler. An error that a handler raises goes to the
// host's exception handler: none crosses back into Qt.
//
// The Application hands over to this backend at most every 20 ms; the backend lets Qt handle
// its pending input at most every kEventPeriod of those, so that an operator's click is answered
// within that time plus one unit of work. Painting has a slower period of its own, kPaintPeriod,
// whether Qt asks for it (a changed status line, the progress bar) or the module asks a form to
// repaint: between two paints Qt's requests to paint a window wait, and a status line that
// changes on every row costs one paint per period, not one per pump. Each paint of a window
// costs far more than its own CPU time suggests, as Qt's raster engine hands large fills to its
// thread pool and waits for threads that an import's own threads keep busy. A menu or dialog
// that an operator's input opens runs its own event loop, which paints as usual.
//
// The wait cursor and the busy animation appear at once when asked for, and go kSettleDelay after
// the last request to end them: an upload asks for both around each of its many short server
// calls, and showing and hiding them hundreds of times a second would cost a paint each time
// (a tenth of a large import) and flicker.
//
// Everything here belongs to the Qt GUI thread; a QApplication must exist before this backend
// and outlive it.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ui/backend.h"
#include "platform/ui/control.h"

class QMdiArea;

namespace zeb::desktop {

class BusyIndicator;
class KeyFilter;
class PaintGate;

class QtBackend : public platform::ui::Backend {
 public:
  static constexpr std::chrono::milliseconds kEventPeriod{40};
  static constexpr std::chrono::milliseconds kPaintPeriod{200};
  static constexpr std::chrono::milliseconds kSettleDelay{250};
  // Other periods than kEventPeriod and kPaintPeriod (the pump benchmark weighs cost against
  // answer time).
  void setEventPeriod(std::chrono::milliseconds period) { eventPeriod_ = period; }
  void setPaintPeriod(std::chrono::milliseconds period) { paintPeriod_ = period; }

  // Forms of the MDI child style open inside "mdiArea" (may be null: they become windows of
  // their own). Dialogs and the busy animation belong to "mainWindow" (may be null).
  QtBackend(QWidget* mainWindow, QMdiArea* mdiArea);
  ~QtBackend() override;
  QtBackend(const QtBackend&) = delete;
  QtBackend& operator=(const QtBackend&) = delete;

  // The widget that draws "control", once drawn (null before, and after it is gone). For a form,
  // the widget of its client area.
  QWidget* widgetOf(const platform::ui::Control& control) const;
  // The window that frames a form: its MDI sub-window, or its own top-level widget.
  QWidget* frameOf(const platform::ui::Form& form) const;

  // Unattended use (pictures, scripts): message dialogs are not shown but written to stderr as
  // "zeb18000-desktop: TEXT" and answered OK when offered, else Yes, else their first button;
  // the open-file dialog answers nothing.
  void setUnattended(bool unattended) { unattended_ = unattended; }

  // False while the wait cursor or the busy animation is still to go (kSettleDelay).
  bool settled() const { return !settleTimer_->isActive(); }

  // The dialog captions, in Portuguese, and the title of a message dialog of "type".
  static QString buttonCaption(platform::ui::MsgDlgBtn button);
  static QString dialogTitle(platform::ui::MsgDlgType type);
  // An open-file filter as Qt writes it: "Description (*.txt *.log);;All (*)". "*.*" matches
  // every file, as it does where the filter was written, not only names with a dot.
  static QString qtFileFilter(std::string_view filter);
  // The colour "color" stands for: a system colour from the application's palette (5 the window
  // background, 15 the button face, ...), or the RGB value.
  static QColor colorOf(platform::ui::Color color);

  // --- Backend ---
  void processEvents() override;
  void draw(platform::ui::Control& control, unsigned changes) override;
  void repaint(platform::ui::Form& form) override;
  void controlDestroyed(platform::ui::Control& control) override;
  void setFocus(platform::ui::Control& control) override;
  void setCursor(int cursor) override;
  int messageDlg(std::string_view text, platform::ui::MsgDlgType type,
                 platform::ui::MsgDlgButtons buttons, int helpCtx) override;
  std::optional<std::string> openFileDialog(std::string_view title,
                                            std::string_view filter) override;
  std::optional<std::vector<std::string>> openFilesDialog(std::string_view title,
                                                          std::string_view filter) override;
  void showBusy(platform::ui::Form* owner, int kind) override;
  void hideBusy() override;

 private:
  struct Bound {
    QPointer<QWidget> widget;  // the control's widget (a form's client area)
    QPointer<QWidget> frame;   // a form's window (MDI sub-window or the widget itself)
  };

  Bound& bind(platform::ui::Control& control);
  Bound* bound(const platform::ui::Control& control) const;
  QWidget* create(platform::ui::Control& control, QWidget* parent, Bound& bound);
  QWidget* createForm(platform::ui::Form& form, Bound& bound);
  void drawForm(platform::ui::Form& form, Bound& bound, unsigned changes);
  void drawFont(platform::ui::Control& control, QWidget& widget);
  void drawText(platform::ui::Control& control, QWidget& widget);
  QWidget* dialogParent() const;
  // Puts the cursor and the busy animation in the state last asked for.
  void settle();

  QPointer<QWidget> mainWindow_;
  QPointer<QMdiArea> mdiArea_;
  std::unordered_map<const platform::ui::Control*, Bound> bound_;
  KeyFilter* keyFilter_ = nullptr;
  BusyIndicator* busy_ = nullptr;
  PaintGate* paintGate_ = nullptr;
  std::chrono::milliseconds eventPeriod_ = kEventPeriod;
  std::chrono::milliseconds paintPeriod_ = kPaintPeriod;
  std::chrono::steady_clock::time_point lastEvents_{};  // input handled
  std::chrono::steady_clock::time_point lastPaint_{};   // painted
  bool waitCursor_ = false;                             // the override cursor is the hourglass
  bool wantWait_ = false;
  bool wantBusy_ = false;
  std::unique_ptr<QTimer> settleTimer_;
  bool unattended_ = false;
};

}  // namespace zeb::desktop
