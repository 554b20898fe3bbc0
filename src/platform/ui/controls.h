// The controls that the screens and the import phases use. Each holds its state; the backend
// renders it (see control.h).
#pragma once

#include <string_view>

#include "platform/ui/control.h"

namespace zeb::platform::ui {

class Label : public Control {
 public:
  Label(Control* parent, std::string_view name) : Control(ControlKind::Label, parent, name) {}

  // A label that sizes itself grows with its caption; one that does not keeps its bounds.
  bool autoSize() const { return autoSize_; }
  void setAutoSize(bool autoSize);

 private:
  bool autoSize_ = true;
};

// A single-line edit field.
class Edit : public Control {
 public:
  Edit(Control* parent, std::string_view name) : Control(ControlKind::Edit, parent, name) {}

  Color color() const { return color_; }
  void setColor(Color color);

  // Runs after every change of the text, by the program or by the operator; setting the text
  // it already holds is no change.
  const NotifyEvent& onChange() const { return onChange_; }
  void setOnChange(NotifyEvent handler) { onChange_ = std::move(handler); }

 protected:
  void textChanged() override;

 private:
  Color color_ = kClWindow;
  NotifyEvent onChange_;
};

// How a backend draws a button: a raised push button, a flat one that shows its face only
// under the mouse, or the small search button beside an edit field, whose glyph has two states
// (enabled and disabled).
enum class ButtonStyle { kPush, kFlat, kSearch };

// A push button.
class Button : public Control {
 public:
  Button(Control* parent, std::string_view name) : Control(ControlKind::Button, parent, name) {}

  ButtonStyle style() const { return style_; }
  void setStyle(ButtonStyle style);

  const NotifyEvent& onClick() const { return onClick_; }
  void setOnClick(NotifyEvent handler) { onClick_ = std::move(handler); }

  // The program performs a click: the handler runs whatever the button's state.
  void click();
  // The operator clicks: the handler runs only when the button is reachable (it and its
  // parents enabled and visible). Answers whether it ran. Backends and test scripts use this.
  bool press();

 private:
  NotifyEvent onClick_;
  ButtonStyle style_ = ButtonStyle::kPush;
};

class GroupBox : public Control {
 public:
  GroupBox(Control* parent, std::string_view name) : Control(ControlKind::GroupBox, parent, name) {}
};

class Panel : public Control {
 public:
  Panel(Control* parent, std::string_view name) : Control(ControlKind::Panel, parent, name) {}
};

// A progress bar over 0 to max. The position is kept as set, also past the maximum or below 0;
// the bar shows it clamped, so a position past the maximum shows as full.
// How a progress bar shows the work: a share of a known whole, or only that work goes on.
enum class ProgressBarStyle {
  Normal,   // the position's share of the maximum
  Marquee,  // the whole is not known: the bar shows activity, the position counts what is done
};

class ProgressBar : public Control {
 public:
  ProgressBar(Control* parent, std::string_view name)
      : Control(ControlKind::ProgressBar, parent, name) {}

  ProgressBarStyle style() const { return style_; }
  void setStyle(ProgressBarStyle style) {
    if (style_ == style) return;
    style_ = style;
    markChanged(changes::kProgress);
  }

  int max() const { return max_; }
  void setMax(int max) {
    if (max_ == max) return;
    max_ = max;
    markChanged(changes::kProgress);
  }
  int position() const { return position_; }
  void setPosition(int position) {
    if (position_ == position) return;
    position_ = position;
    markChanged(changes::kProgress);
  }
  void stepBy(int delta) { setPosition(position_ + delta); }

  // What the bar shows: the position clamped to 0..max (0 when max is below 0).
  int shownPosition() const;
  // The filled share of the bar, 0.0 to 1.0. With a maximum of 0 or less the bar is empty,
  // unless the position lies past the maximum: then it is full. A marquee shows no share: 0.
  double shownFraction() const;

 private:
  ProgressBarStyle style_ = ProgressBarStyle::Normal;
  int max_ = 100;
  int position_ = 0;
};

}  // namespace zeb::platform::ui
