#include "platform/ui/control.h"

#include <algorithm>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/form.h"

namespace zeb::platform::ui {

Control::Control(ControlKind kind, Control* parent, std::string_view name)
    : kind_(kind), name_(name) {
  if (parent != nullptr) setParent(parent);
}

Control::~Control() {
  application().controlDestroyed(*this);
  if (parent_ != nullptr) {
    auto& siblings = parent_->children_;
    siblings.erase(std::find(siblings.begin(), siblings.end(), this));
  }
  for (Control* child : children_) child->parent_ = nullptr;
}

void Control::setParent(Control* parent) {
  if (parent == parent_) return;
  if (parent != nullptr) {
    if (kind_ == ControlKind::Form) {
      throw Exception("form '" + name_ + "' cannot be placed inside '" + parent->name_ + "'");
    }
    for (const Control* c = parent; c != nullptr; c = c->parent_) {
      if (c == this) {
        throw Exception("control '" + name_ + "' cannot be placed inside '" + parent->name_ +
                        "', which lies inside it");
      }
    }
  }
  if (parent_ != nullptr) {
    auto& siblings = parent_->children_;
    siblings.erase(std::find(siblings.begin(), siblings.end(), this));
  }
  parent_ = parent;
  if (parent_ != nullptr) parent_->children_.push_back(this);
  changes_ |= changes::kParent;
  // The new root may have nothing pending yet; this control's subtree has to be drawn there.
  noteFirstChange();
}

Form* Control::form() const {
  const Control* root = this;
  while (root->parent_ != nullptr) root = root->parent_;
  if (root->kind_ != ControlKind::Form) return nullptr;
  return static_cast<Form*>(const_cast<Control*>(root));
}

Control* Control::findChild(std::string_view name) const {
  for (Control* child : children_) {
    if (child->name_ == name) return child;
    if (Control* found = child->findChild(name)) return found;
  }
  return nullptr;
}

void Control::noteFirstChange() {
  if (Form* f = form()) f->treeChanged_ = true;
}

void Control::setHint(std::string_view hint) {
  if (hint_ == hint) return;
  hint_.assign(hint);
  markChanged(changes::kHint);
}

void Control::setShowHint(bool showHint) {
  if (showHint_ == showHint) return;
  showHint_ = showHint;
  markChanged(changes::kHint);
}

bool Control::reachable() const {
  for (const Control* c = this; c != nullptr; c = c->parent_) {
    if (!c->enabled_ || !c->visible_) return false;
  }
  return true;
}

void Control::setBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  markChanged(changes::kGeometry);
  boundsChanged();
}

void Control::setBold(bool bold) {
  if (bold_ == bold) return;
  bold_ = bold;
  markChanged(changes::kFont);
}

void Control::setFontName(std::string_view name) {
  if (fontName_ == name) return;
  fontName_.assign(name);
  markChanged(changes::kFont);
}

void Control::setFontHeight(int pixels) {
  if (fontHeight_ == pixels) return;
  fontHeight_ = pixels;
  markChanged(changes::kFont);
}

void Control::setFocus() { application().focus(*this); }

}  // namespace zeb::platform::ui
