#include "platform/ui/test_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/form.h"

namespace zeb::platform::ui {
namespace {

using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(test_backend_test, dialogs_pop_scripted_answers_and_are_recorded) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.answerDialog(kMrNo);
  backend.answerDialog(kMrOk);
  EXPECT_EQ(application().messageDlg("Parar importação?", MsgDlgType::Confirmation,
                                     {MsgDlgBtn::Yes, MsgDlgBtn::No}, 0),
            kMrNo);
  EXPECT_EQ(
      application().messageDlg("Arquivo deve ser informado.", MsgDlgType::Error, MsgDlgBtn::OK, 7),
      kMrOk);
  EXPECT_THAT(
      backend.dialogs(),
      ElementsAre(
          TestBackend::DialogCall{
              "Parar importação?", MsgDlgType::Confirmation, {MsgDlgBtn::Yes, MsgDlgBtn::No}, 0},
          TestBackend::DialogCall{"Arquivo deve ser informado.", MsgDlgType::Error, MsgDlgBtn::OK,
                                  7}));
  EXPECT_EQ(backend.unusedDialogAnswers(), 0u);
}

TEST(test_backend_test, dialog_without_scripted_answer_fails_loudly) {
  TestBackend backend;
  ScopedBackend installed(backend);
  EXPECT_THAT(
      [] {
        application().messageDlg("Parar importação?", MsgDlgType::Confirmation,
                                 {MsgDlgBtn::Yes, MsgDlgBtn::No}, 0);
      },
      ThrowsMessage<Exception>(
          StrEq("test backend: no answer scripted for the message dialog 'Parar importação?'")));
  EXPECT_EQ(backend.dialogs().size(), 1u);
}

TEST(test_backend_test, scripted_answer_must_be_an_offered_button) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.answerDialog(kMrYes);
  EXPECT_THAT([] { application().messageDlg("Erro", MsgDlgType::Error, MsgDlgBtn::OK, 0); },
              ThrowsMessage<Exception>(
                  StrEq("test backend: the scripted answer 6 is not a button of the message dialog "
                        "'Erro'")));
}

TEST(test_backend_test, open_file_dialog_answers_from_the_script) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.answerOpenFile("/var/log/mail.log");
  backend.answerOpenFile(std::nullopt);
  EXPECT_EQ(application().openFileDialog("Abrir", "Todos|*.*"), "/var/log/mail.log");
  EXPECT_EQ(application().openFileDialog("Abrir", "Todos|*.*"), std::nullopt);
  EXPECT_THAT(backend.fileDialogs(),
              ElementsAre(TestBackend::FileDialogCall{"Abrir", "Todos|*.*"},
                          TestBackend::FileDialogCall{"Abrir", "Todos|*.*"}));
  EXPECT_THAT([] { application().openFileDialog("Abrir", ""); },
              ThrowsMessage<Exception>(
                  StrEq("test backend: no answer scripted for the open-file dialog 'Abrir'")));
}

TEST(test_backend_test, actions_at_one_pump_run_in_script_order_and_once) {
  TestBackend backend;
  ScopedBackend installed(backend);
  std::vector<std::string> ran;
  backend.atPump(2, [&] { ran.push_back("first"); });
  backend.atPump(2, [&] { ran.push_back("second"); });
  backend.atPump(4, [&] { ran.push_back("fourth"); });
  EXPECT_EQ(backend.pendingActions(), 3u);
  for (int i = 0; i < 3; ++i) application().processMessages();
  EXPECT_THAT(ran, ElementsAre("first", "second"));
  EXPECT_EQ(backend.pendingActions(), 1u);
  for (int i = 0; i < 3; ++i) application().processMessages();
  EXPECT_THAT(ran, ElementsAre("first", "second", "fourth"));
}

TEST(test_backend_test, action_may_pump_again_without_running_twice) {
  TestBackend backend;
  ScopedBackend installed(backend);
  int runs = 0;
  backend.atPump(1, [&] {
    ++runs;
    application().processMessages();
  });
  application().processMessages();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(backend.pumpCount(), 2u);
}

TEST(test_backend_test, cursor_and_busy_history) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form mainForm("frmPrincipal");
  application().showBusy(&mainForm, 1);
  application().setCursor(kCrHourGlass);
  application().setCursor(kCrDefault);
  application().hideBusy();
  application().showBusy(nullptr, 2);
  EXPECT_THAT(backend.cursorHistory(), ElementsAre(-11, 0));
  EXPECT_THAT(backend.busyHistory(),
              ElementsAre(TestBackend::BusyCall{true, 1, "frmPrincipal"},
                          TestBackend::BusyCall{false, 0, ""}, TestBackend::BusyCall{true, 2, ""}));
  application().hideBusy();
}

TEST(test_backend_test, reset_forgets_script_and_records) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.answerDialog(kMrOk);
  backend.atPump(9, [] {});
  application().processMessages();
  application().setCursor(kCrDefault);
  backend.reset();
  EXPECT_EQ(backend.unusedDialogAnswers(), 0u);
  EXPECT_EQ(backend.pendingActions(), 0u);
  EXPECT_EQ(backend.pumpCount(), 0u);
  EXPECT_TRUE(backend.cursorHistory().empty());
}

}  // namespace
}  // namespace zeb::platform::ui
