#include "platform/ui/application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/test_backend.h"

namespace zeb::platform::ui {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

// A backend like a real one: it does not ask to see every pump.
class CountingBackend : public Backend {
 public:
  int events = 0;
  int repaints = 0;
  int draws = 0;
  void processEvents() override { ++events; }
  void draw(Control&, unsigned) override { ++draws; }
  void repaint(Form&) override { ++repaints; }
  void setCursor(int) override {}
  int messageDlg(std::string_view, MsgDlgType, MsgDlgButtons, int) override { return kMrOk; }
  std::optional<std::string> openFileDialog(std::string_view, std::string_view) override {
    return "x";
  }
  void showBusy(Form*, int) override {}
  void hideBusy() override {}
};

// The most hand-overs that "elapsed" allows: one at once, then one per period.
long long allowedHandOvers(Clock::duration elapsed) {
  return 1 + elapsed / Application::kHandOverPeriod;
}

TEST(application_test, without_backend_nothing_is_drawn_and_dialogs_answer_defaults) {
  ASSERT_EQ(application().backend(), nullptr);
  Form form("frm");
  ProgressBar bar(&form, "pgb");
  for (int i = 0; i < 100000; ++i) {
    bar.stepBy(1);
    application().processMessages();
  }
  application().flush();
  EXPECT_EQ(bar.pendingChanges(), changes::kAll);
  EXPECT_EQ(application().messageDlg("Parar importação?", MsgDlgType::Confirmation,
                                     {MsgDlgBtn::Yes, MsgDlgBtn::No}, 0),
            kMrCancel);
  EXPECT_EQ(application().openFileDialog("Abrir", "Todos|*.*"), std::nullopt);
  application().setCursor(kCrHourGlass);
  EXPECT_EQ(application().cursor(), -11);
  application().setCursor(kCrDefault);
  application().showBusy(nullptr, 1);
  EXPECT_TRUE(application().busyShown());
  application().hideBusy();
  EXPECT_FALSE(application().busyShown());
}

TEST(application_test, backend_that_sees_every_pump_sees_every_pump) {
  TestBackend backend;
  ScopedBackend installed(backend);
  for (int i = 0; i < 12345; ++i) application().processMessages();
  EXPECT_EQ(backend.pumpCount(), 12345u);
}

TEST(application_test, operator_action_at_pump_n_stops_the_loop_there) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  form.show();
  Button stop(&form, "btfParar");
  bool goOn = true;
  stop.setOnClick([&](Control&) { goOn = false; });
  backend.atPump(500, [&] { stop.press(); });
  int units = 0;
  while (goOn && units < 1000) {
    application().processMessages();
    if (!goOn) break;
    ++units;
  }
  EXPECT_EQ(units, 499);
  EXPECT_EQ(backend.pendingActions(), 0u);
}

TEST(application_test, other_backends_get_the_pump_at_most_every_period) {
  CountingBackend backend;
  ScopedBackend installed(backend);
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 2000000; ++i) application().processMessages();
  Clock::duration elapsed = Clock::now() - start;
  EXPECT_GE(backend.events, 1);  // the first pump after installing hands over at once
  EXPECT_LE(backend.events, allowedHandOvers(elapsed));
}

TEST(application_test, pump_hands_over_again_once_the_period_has_passed) {
  CountingBackend backend;
  ScopedBackend installed(backend);
  application().processMessages();
  ASSERT_EQ(backend.events, 1);
  std::this_thread::sleep_for(Application::kHandOverPeriod + std::chrono::milliseconds(5));
  int calls = 0;
  while (backend.events == 1 && calls < 10000000) {
    application().processMessages();
    ++calls;
  }
  EXPECT_EQ(backend.events, 2);
  // The pause made the pace look slow, so the clock was read again within a few calls.
  EXPECT_LE(calls, 2);
}

TEST(application_test, refresh_paints_at_most_every_period_for_other_backends) {
  CountingBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  Label label(&form, "lbl");
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 1000000; ++i) form.refresh();
  Clock::duration elapsed = Clock::now() - start;
  EXPECT_GE(backend.repaints, 1);
  EXPECT_LE(backend.repaints, allowedHandOvers(elapsed));
  EXPECT_EQ(backend.events, 0);  // a refresh paints; it handles no input
}

TEST(application_test, changes_between_pumps_are_drawn_once) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  Label status(&form, "lblProgresso");
  ProgressBar bar(&form, "pgbProgresso");
  application().processMessages();
  backend.recordDraws(true);
  for (int i = 0; i < 1000; ++i) bar.stepBy(1);
  status.setCaption("Recebendo dados do arquivo");
  application().processMessages();
  application().processMessages();
  EXPECT_THAT(backend.drawLog(),
              ElementsAre(TestBackend::DrawCall{"lblProgresso", changes::kText},
                          TestBackend::DrawCall{"pgbProgresso", changes::kProgress}));
}

TEST(application_test, dialog_draws_pending_changes_first) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  Label status(&form, "lblProgresso");
  application().flush();
  backend.recordDraws(true);
  status.setCaption("Preparando dados...");
  backend.answerDialog(kMrOk);
  application().messageDlg("Arquivo deve ser informado.", MsgDlgType::Error, MsgDlgBtn::OK, 0);
  EXPECT_THAT(backend.drawLog(),
              ElementsAre(TestBackend::DrawCall{"lblProgresso", changes::kText}));
}

TEST(application_test, new_backend_draws_every_control_anew) {
  Form form("frm");
  Label label(&form, "lbl");
  TestBackend first;
  {
    ScopedBackend installed(first);
    application().flush();
    label.setBackendData(&first);
  }
  TestBackend second;
  ScopedBackend installed(second);
  EXPECT_EQ(label.backendData(), nullptr);
  second.recordDraws(true);
  application().flush();
  EXPECT_THAT(second.drawLog(), ElementsAre(TestBackend::DrawCall{"frm", changes::kAll},
                                            TestBackend::DrawCall{"lbl", changes::kAll}));
}

TEST(application_test, scoped_backend_puts_the_previous_one_back) {
  TestBackend outer;
  TestBackend inner;
  ScopedBackend a(outer);
  {
    ScopedBackend b(inner);
    EXPECT_EQ(application().backend(), &inner);
  }
  EXPECT_EQ(application().backend(), &outer);
}

TEST(application_test, dialogs_cursor_and_busy_go_through_the_backend) {
  TestBackend backend;
  ScopedBackend installed(backend);
  backend.answerDialog(kMrYes);
  backend.answerOpenFile("/tmp/mail.log");
  EXPECT_EQ(application().messageDlg("Parar importação?", MsgDlgType::Confirmation,
                                     {MsgDlgBtn::Yes, MsgDlgBtn::No}, 0),
            kMrYes);
  EXPECT_EQ(application().openFileDialog("", "Todos|*.*"), "/tmp/mail.log");
  application().setCursor(kCrHourGlass);
  EXPECT_EQ(application().cursor(), kCrHourGlass);
  application().setCursor(kCrDefault);
  EXPECT_THAT(backend.cursorHistory(), ElementsAre(kCrHourGlass, kCrDefault));
}

}  // namespace
}  // namespace zeb::platform::ui
