#include "host/error_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::host {
namespace {

namespace ui = platform::ui;
using ::testing::ElementsAre;

TEST(error_dialog_test, shows_the_error_then_aborts_silently) {
  ui::TestBackend backend;
  ui::ScopedBackend installed(backend);
  backend.answerDialog(ui::kMrOk);
  bool after = false;
  EXPECT_THROW(
      {
        MensErro("Arquivo deve ser informado.", true);
        after = true;
      },
      platform::EAbort);
  EXPECT_FALSE(after);
  EXPECT_THAT(backend.dialogs(),
              ElementsAre(ui::TestBackend::DialogCall{
                  "Arquivo deve ser informado.", ui::MsgDlgType::Error, ui::MsgDlgBtn::OK, 0}));
}

TEST(error_dialog_test, without_abort_only_shows) {
  ui::TestBackend backend;
  ui::ScopedBackend installed(backend);
  backend.answerDialog(ui::kMrOk);
  EXPECT_NO_THROW(MensErro("Aviso", false));
  EXPECT_EQ(backend.dialogs().size(), 1u);
}

TEST(error_dialog_test, aborts_also_without_a_backend) {
  ASSERT_EQ(ui::application().backend(), nullptr);
  EXPECT_THROW(MensErro("Arquivo deve ser informado.", true), platform::EAbort);
}

}  // namespace
}  // namespace zeb::host
