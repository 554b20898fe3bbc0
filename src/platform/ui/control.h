// The base of every control: plain state that a backend renders.
//
// Setters only store the new value and record what changed; nothing is drawn on the spot. The
// Application hands the changed controls to the backend at a message pump or at a form's
// refresh(), so a setter is cheap enough to be called once per log line.
//
// Controls belong to the user-interface thread: none of this is safe to use from another one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zeb::platform::ui {

class Form;

// A colour: 0x00BBGGRR, or a system colour (high byte 0xFF, low byte the system's colour index),
// so that a backend can follow the desktop's theme.
using Color = std::uint32_t;
constexpr Color kClSystemColor = 0xFF000000;
constexpr Color kClWindow = kClSystemColor | 5;    // the window background
constexpr Color kClBtnFace = kClSystemColor | 15;  // the face of push buttons
constexpr bool isSystemColor(Color color) { return (color & 0xFF000000) == kClSystemColor; }
constexpr int systemColorIndex(Color color) { return static_cast<int>(color & 0xFF); }

enum class ControlKind { Form, Label, Edit, Button, GroupBox, Panel, ProgressBar };

// What changed since the backend last drew a control; one bit per group of properties.
namespace changes {
constexpr unsigned kText = 1u << 0;  // caption or text
constexpr unsigned kHint = 1u << 1;  // hint or showHint
constexpr unsigned kEnabled = 1u << 2;
constexpr unsigned kVisible = 1u << 3;
constexpr unsigned kGeometry = 1u << 4;  // left, top, width, height
constexpr unsigned kFont = 1u << 5;
constexpr unsigned kColor = 1u << 6;
constexpr unsigned kProgress = 1u << 7;     // a progress bar's max or position
constexpr unsigned kWindowState = 1u << 8;  // a form's window state
constexpr unsigned kParent = 1u << 9;       // the control moved to another parent
constexpr unsigned kOther = 1u << 10;       // a property of a later control kind
constexpr unsigned kAll = (1u << 11) - 1;   // a control the backend has not drawn yet
}  // namespace changes

using NotifyEvent = std::function<void(class Control& sender)>;

class Control {
 public:
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  // Leaves the parent, orphans the children that are still alive and tells the backend.
  virtual ~Control();

  ControlKind kind() const { return kind_; }
  const std::string& name() const { return name_; }

  // The parent holds its children in creation order; a control without a parent is drawn only
  // if it is a form. "parent" must outlive this control or be destroyed with it.
  Control* parent() const { return parent_; }
  const std::vector<Control*>& children() const { return children_; }
  void setParent(Control* parent);
  // The form at the root of this control's tree, or nullptr.
  Form* form() const;
  // The first control named "name" in this control's tree below it, depth first in creation
  // order, or nullptr. Hosts find a loaded screen's controls this way.
  Control* findChild(std::string_view name) const;

  // Caption and text are one property, as in the toolkit the screens were designed for: labels,
  // buttons and forms speak of a caption, edit fields of a text.
  const std::string& caption() const { return text_; }
  void setCaption(std::string_view caption) { setText(caption); }
  const std::string& text() const { return text_; }
  void setText(std::string_view text) {
    if (text_ == text) return;
    text_.assign(text);
    markChanged(changes::kText);
    textChanged();
  }

  const std::string& hint() const { return hint_; }
  void setHint(std::string_view hint);
  bool showHint() const { return showHint_; }
  void setShowHint(bool showHint);

  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    markChanged(changes::kEnabled);
  }
  bool visible() const { return visible_; }
  void setVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    markChanged(changes::kVisible);
  }
  // Whether the operator can reach the control: it and all its parents are enabled and visible.
  bool reachable() const;

  int left() const { return left_; }
  int top() const { return top_; }
  int width() const { return width_; }
  int height() const { return height_; }
  void setLeft(int left) { setBounds(left, top_, width_, height_); }
  void setTop(int top) { setBounds(left_, top, width_, height_); }
  void setWidth(int width) { setBounds(left_, top_, width, height_); }
  void setHeight(int height) { setBounds(left_, top_, width_, height); }
  void setBounds(int left, int top, int width, int height);

  // The font: a family name ("MS Sans Serif"; empty for the system's), a character height in
  // pixels (0 for the system's) and the bold style. A backend falls back to the system's sans
  // serif at the same pixel height when it lacks the family.
  const std::string& fontName() const { return fontName_; }
  void setFontName(std::string_view name);
  int fontHeight() const { return fontHeight_; }
  void setFontHeight(int pixels);
  bool bold() const { return bold_; }
  void setBold(bool bold);

  // Gives the control the input focus (through the Application, which tells the backend).
  void setFocus();

  // The changes not yet drawn (bits of the namespace "changes").
  unsigned pendingChanges() const { return changes_; }
  // Handed to the backend with each draw; it clears the pending changes.
  unsigned takeChanges() {
    unsigned taken = changes_;
    changes_ = 0;
    return taken;
  }

  // A slot that the backend may use for its own object (a widget). The control never reads it.
  void* backendData() const { return backendData_; }
  void setBackendData(void* data) { backendData_ = data; }

 protected:
  Control(ControlKind kind, Control* parent, std::string_view name);

  void markChanged(unsigned what) {
    if (changes_ == 0) noteFirstChange();
    changes_ |= what;
  }
  // Runs after the text has changed (an edit field fires its change handler here).
  virtual void textChanged() {}
  // Runs after the bounds have changed (a form lays out its areas here).
  virtual void boundsChanged() {}

 private:
  friend class Application;

  // Tells the form at the root that its tree has something to draw.
  void noteFirstChange();

  const ControlKind kind_;
  std::string name_;
  Control* parent_ = nullptr;
  std::vector<Control*> children_;
  std::string text_;
  std::string hint_;
  bool showHint_ = false;
  bool enabled_ = true;
  bool visible_ = true;
  bool bold_ = false;
  std::string fontName_;
  int fontHeight_ = 0;
  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  unsigned changes_ = changes::kAll;
  void* backendData_ = nullptr;
};

}  // namespace zeb::platform::ui
