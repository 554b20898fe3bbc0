#include "platform/ui/controls.h"

#include <algorithm>

namespace zeb::platform::ui {

void Label::setAutoSize(bool autoSize) {
  if (autoSize_ == autoSize) return;
  autoSize_ = autoSize;
  markChanged(changes::kGeometry);
}

void Edit::setColor(Color color) {
  if (color_ == color) return;
  color_ = color;
  markChanged(changes::kColor);
}

void Edit::textChanged() {
  if (onChange_) onChange_(*this);
}

void Button::setStyle(ButtonStyle style) {
  if (style_ == style) return;
  style_ = style;
  markChanged(changes::kOther);
}

void Button::click() {
  if (onClick_) onClick_(*this);
}

bool Button::press() {
  if (!reachable()) return false;
  click();
  return true;
}

int ProgressBar::shownPosition() const {
  if (max_ <= 0) return 0;
  return std::clamp(position_, 0, max_);
}

double ProgressBar::shownFraction() const {
  if (style_ == ProgressBarStyle::Marquee) return 0.0;
  if (max_ <= 0) return position_ > max_ ? 1.0 : 0.0;
  return static_cast<double>(shownPosition()) / max_;
}

}  // namespace zeb::platform::ui
