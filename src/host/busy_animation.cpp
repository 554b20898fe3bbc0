#include "host/busy_animation.h"

#include "platform/ui/application.h"

namespace zeb::host {

void ActiveShowAvi(platform::ui::Form* mainForm, int kind) {
  platform::ui::application().showBusy(mainForm, kind);
}

void DeactiveShowAvi() { platform::ui::application().hideBusy(); }

}  // namespace zeb::host
