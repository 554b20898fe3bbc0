// The widgets the Qt backend draws the toolkit's controls with, where Qt's own do not serve
// as they are: a form's client area and its MDI frame (whose close requests go to the form), the
// search button's two-state glyph, and the busy animation.
#pragma once

#include <QIcon>
#include <QMdiSubWindow>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include "platform/ui/form.h"

namespace zeb::desktop {

// Asks "form" to close, as the operator's click on a window's close box does: the form's close
// handler decides, and its decision is drawn at once. An error goes to the host's handler.
void requestClose(platform::ui::Form& form);

// A form's client area. Without an MDI frame it is a window of its own, whose close box asks
// the form.
class FormWidget : public QWidget {
 public:
  FormWidget(platform::ui::Form& form, QWidget* parent) : QWidget(parent), form_(form) {}
  platform::ui::Form& form() const { return form_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  platform::ui::Form& form_;
};

// The MDI frame of a form: its close box asks the form.
class FormSubWindow : public QMdiSubWindow {
 public:
  FormSubWindow(platform::ui::Form& form, QWidget* parent) : QMdiSubWindow(parent), form_(form) {}

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  platform::ui::Form& form_;
};

// The magnifier glyph of the search button, with its enabled and its disabled (grey) state.
QIcon searchGlyph();

// A progress bar over 0 to 1000 that only asks to be painted when its value changes: Qt's own
// paints itself at once on every visible step, a millisecond each time on a software surface,
// which an import that moves its bar every few milliseconds would pay again and again.
class ProgressWidget : public QWidget {
 public:
  static constexpr int kSteps = 1000;
  explicit ProgressWidget(QWidget* parent) : QWidget(parent) {}
  int value() const { return value_; }
  void setValue(int value);
  // A bar whose whole is not known shows a block that moves as "count" (what is done) grows.
  void setMarquee(int count);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int value_ = 0;
  int marquee_ = -1;  // the block's place while the whole is not known; -1 otherwise
};

// The host's own icon, an envelope, for its windows and the screens' frames.
QIcon applicationIcon();

// The host's busy animation: a ring of spokes turning over the middle of its parent. It turns
// on its own timer while events are handled, and a step at every repaint otherwise.
class BusyIndicator : public QWidget {
 public:
  explicit BusyIndicator(QWidget* parent);
  // Centres it over its parent, shows it and paints it at once.
  void start();
  void stop();
  void step();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int frame_ = 0;
};

}  // namespace zeb::desktop
