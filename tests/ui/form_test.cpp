#include "platform/ui/form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/test_backend.h"

namespace zeb::platform::ui {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

TEST(form_test, hidden_until_shown_and_show_draws_at_once) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.recordDraws(true);
  Form form("frmImpEmailInternet");
  Label label(&form, "lblProgresso");
  EXPECT_FALSE(form.visible());
  form.show();
  EXPECT_TRUE(form.visible());
  EXPECT_THAT(backend.drawLog(),
              ElementsAre(TestBackend::DrawCall{"frmImpEmailInternet", changes::kAll},
                          TestBackend::DrawCall{"lblProgresso", changes::kAll}));
}

TEST(form_test, refresh_draws_the_changes_then_repaints) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  Label label(&form, "lblProgresso");
  form.show();
  backend.recordDraws(true);
  label.setCaption("Preparando dados...");
  form.refresh();
  form.refresh();
  EXPECT_THAT(backend.drawLog(),
              ElementsAre(TestBackend::DrawCall{"lblProgresso", changes::kText}));
  EXPECT_EQ(backend.refreshCount(), 2u);
  EXPECT_FALSE(form.hasPendingChanges());
}

TEST(form_test, application_knows_the_living_forms) {
  auto first = std::make_unique<Form>("frmA");
  Form second("frmB");
  EXPECT_THAT(application().forms(), ElementsAre(first.get(), &second));
  application().setMainForm(first.get());
  first.reset();
  EXPECT_THAT(application().forms(), ElementsAre(&second));
  EXPECT_EQ(application().mainForm(), nullptr);
}

TEST(form_test, refresh_without_backend_draws_nothing) {
  Form form("frm");
  Label label(&form, "lbl");
  for (int i = 0; i < 5000; ++i) form.refresh();
  EXPECT_EQ(label.pendingChanges(), changes::kAll);
}

TEST(form_test, clean_forms_are_skipped_at_a_pump) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form busy("frmBusy");
  Form idle("frmIdle");
  ProgressBar bar(&busy, "pgb");
  application().processMessages();
  backend.recordDraws(true);
  bar.stepBy(1);
  application().processMessages();
  EXPECT_THAT(backend.drawLog(), ElementsAre(TestBackend::DrawCall{"pgb", changes::kProgress}));
  EXPECT_THAT(backend.drawLog(), Not(Contains(TestBackend::DrawCall{"frmIdle", changes::kAll})));
}

}  // namespace
}  // namespace zeb::platform::ui
