#include "platform/ui/controls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/form.h"

namespace zeb::platform::ui {
namespace {

using ::testing::ElementsAre;

TEST(controls_test, edit_fires_on_change_once_per_real_change) {
  Form form("frm");
  Edit edit(&form, "edtArqEmail");
  std::vector<std::string> seen;
  edit.setOnChange([&](Control& sender) { seen.push_back(sender.text()); });
  edit.setText("a.log");
  edit.setText("a.log");
  edit.setCaption("b.log");
  edit.setText("");
  EXPECT_THAT(seen, ElementsAre("a.log", "b.log", ""));
}

TEST(controls_test, edit_starts_with_the_window_colour) {
  Form form("frm");
  Edit edit(&form, "edt");
  EXPECT_EQ(edit.color(), kClWindow);
  edit.takeChanges();
  edit.setColor(kClBtnFace);
  EXPECT_EQ(edit.pendingChanges(), changes::kColor);
  EXPECT_TRUE(isSystemColor(kClBtnFace));
  EXPECT_EQ(systemColorIndex(kClBtnFace), 15);
  EXPECT_EQ(systemColorIndex(kClWindow), 5);
  EXPECT_FALSE(isSystemColor(0x00FFFFFF));
}

TEST(controls_test, program_click_runs_the_handler_even_when_disabled) {
  Form form("frm");
  Button button(&form, "btfDetalhes");
  int clicks = 0;
  button.setOnClick([&](Control&) { ++clicks; });
  button.setEnabled(false);
  button.click();
  EXPECT_EQ(clicks, 1);
}

TEST(controls_test, operator_press_needs_a_reachable_button) {
  Form form("frm");
  form.setVisible(true);
  Panel panel(&form, "pan");
  Button button(&panel, "btfParar");
  int clicks = 0;
  button.setOnClick([&](Control&) { ++clicks; });
  EXPECT_TRUE(button.press());
  button.setEnabled(false);
  EXPECT_FALSE(button.press());
  button.setEnabled(true);
  panel.setVisible(false);
  EXPECT_FALSE(button.press());
  EXPECT_EQ(clicks, 1);
}

TEST(controls_test, progress_bar_keeps_a_position_past_its_maximum) {
  Form form("frm");
  ProgressBar bar(&form, "pgbProgresso");
  EXPECT_EQ(bar.max(), 100);
  bar.setMax(2);
  for (int i = 0; i < 3; ++i) bar.stepBy(1);
  EXPECT_EQ(bar.position(), 3);
  EXPECT_EQ(bar.shownPosition(), 2);
  EXPECT_EQ(bar.shownFraction(), 1.0);
}

struct ShownCase {
  int max;
  int position;
  int shownPosition;
  double shownFraction;
};

TEST(controls_test, progress_bar_shows_the_position_clamped) {
  const ShownCase cases[] = {
      {100, 50, 50, 0.5},  // inside the range
      {4, 1, 1, 0.25},     //
      {10, 10, 10, 1.0},   // at the maximum
      {10, 11, 10, 1.0},   // past the maximum: full
      {10, -5, 0, 0.0},    // below 0: empty
      {0, 0, 0, 0.0},      // empty log: nothing read, empty bar
      {0, 1, 0, 1.0},      // one short block past a maximum of 0: full
      {-3, -5, 0, 0.0},    // a negative maximum shows an empty bar
  };
  for (const ShownCase& c : cases) {
    Form form("frm");
    ProgressBar bar(&form, "pgb");
    bar.setMax(c.max);
    bar.setPosition(c.position);
    EXPECT_EQ(bar.shownPosition(), c.shownPosition) << c.max << " " << c.position;
    EXPECT_EQ(bar.shownFraction(), c.shownFraction) << c.max << " " << c.position;
  }
}

TEST(controls_test, progress_changes_are_recorded_once) {
  Form form("frm");
  ProgressBar bar(&form, "pgb");
  bar.takeChanges();
  bar.setPosition(0);
  EXPECT_EQ(bar.pendingChanges(), 0u);
  bar.setMax(7);
  bar.stepBy(1);
  bar.stepBy(1);
  EXPECT_EQ(bar.pendingChanges(), changes::kProgress);
}

}  // namespace
}  // namespace zeb::platform::ui
