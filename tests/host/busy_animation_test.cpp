#include "host/busy_animation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ui/application.h"
#include "platform/ui/form.h"
#include "platform/ui/test_backend.h"

namespace zeb::host {
namespace {

namespace ui = platform::ui;
using ::testing::ElementsAre;

TEST(busy_animation_test, shows_and_hides_through_the_application) {
  ui::TestBackend backend;
  ui::ScopedBackend installed(backend);
  ui::Form mainForm("frmPrincipal");
  ui::application().setMainForm(&mainForm);
  ActiveShowAvi(ui::application().mainForm(), 1);
  EXPECT_TRUE(ui::application().busyShown());
  DeactiveShowAvi();
  EXPECT_FALSE(ui::application().busyShown());
  EXPECT_THAT(backend.busyHistory(), ElementsAre(ui::TestBackend::BusyCall{true, 1, "frmPrincipal"},
                                                 ui::TestBackend::BusyCall{false, 0, ""}));
}

}  // namespace
}  // namespace zeb::host
