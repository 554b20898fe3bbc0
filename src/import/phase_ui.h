// The parts of the import screen that every phase of a run moves: the status line, the
// progress bar, and the screen itself, repainted once per unit of work. Any of them may be
// absent (null), as when a phase runs headless.
#pragma once

#include <functional>

#include "host/messages.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace zeb::import {

struct PhaseUi {
  platform::ui::Form* form = nullptr;             // repainted once per unit of work
  platform::ui::Label* status = nullptr;          // lblProgresso
  platform::ui::ProgressBar* progress = nullptr;  // pgbProgresso
  // The screen's message table; the module's own table when null.
  const host::TMessages* messages = nullptr;
  // Unlocks the file controls and the import command and puts the focus on the file name,
  // before a phase reports that the log is unusable.
  std::function<void()> unlockScreen = nullptr;

  const host::TMessages& msg() const;
  void setStatus(const std::string& text) const {
    if (status != nullptr) status->setCaption(text);
  }

  void repaint() const {
    if (form != nullptr) form->refresh();
  }
  void step() const {
    if (progress != nullptr) progress->stepBy(1);
  }
  // A maximum makes the bar a normal one again.
  void setMax(int max) const {
    if (progress == nullptr) return;
    progress->setStyle(platform::ui::ProgressBarStyle::Normal);
    progress->setMax(max);
  }
  // The whole of the work is not known beforehand (a log read from a pipe): the bar becomes a
  // marquee, with a maximum of 0, and its position counts KiB read, which hosts show as such.
  void setUnknownMax() const {
    if (progress == nullptr) return;
    progress->setStyle(platform::ui::ProgressBarStyle::Marquee);
    progress->setMax(0);
  }
  void setPosition(int position) const {
    if (progress != nullptr) progress->setPosition(position);
  }
};

}  // namespace zeb::import
