// The host library's buttons: a flat push button, and the search button that stands beside an
// edit field.
#pragma once

#include <string_view>

#include "platform/ui/controls.h"

namespace zeb::host {

class TButtonFlat : public platform::ui::Button {
 public:
  TButtonFlat(platform::ui::Control* parent, std::string_view name) : Button(parent, name) {
    setStyle(platform::ui::ButtonStyle::kFlat);
  }
};

// A search button bound to the edit field whose value it looks for (its Associate). It has no
// caption; its glyph shows whether it is enabled.
class TBtnPesquisa : public platform::ui::Button {
 public:
  TBtnPesquisa(platform::ui::Control* parent, std::string_view name) : Button(parent, name) {
    setStyle(platform::ui::ButtonStyle::kSearch);
  }
  platform::ui::Edit* Associate() const { return associate_; }
  // "edit" must outlive the button or be unbound first (null).
  void setAssociate(platform::ui::Edit* edit) { associate_ = edit; }

 private:
  platform::ui::Edit* associate_ = nullptr;
};

}  // namespace zeb::host
