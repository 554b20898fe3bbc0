#include "platform/ui/control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/test_backend.h"

namespace zeb::platform::ui {
namespace {

using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(control_test, new_control_waits_to_be_drawn_whole) {
  Form form("frm");
  Label label(&form, "lbl");
  EXPECT_EQ(label.pendingChanges(), changes::kAll);
  EXPECT_TRUE(form.hasPendingChanges());
}

TEST(control_test, setter_records_what_changed_and_same_value_is_no_change) {
  Form form("frm");
  Label label(&form, "lbl");
  label.takeChanges();
  label.setCaption("Analisando dados");
  label.setCaption("Analisando dados");
  EXPECT_EQ(label.pendingChanges(), changes::kText);
  label.setEnabled(false);
  label.setBounds(6, 18, 35, 13);
  EXPECT_EQ(label.pendingChanges(), changes::kText | changes::kEnabled | changes::kGeometry);
  label.takeChanges();
  label.setEnabled(false);
  label.setBounds(6, 18, 35, 13);
  label.setHint("");
  label.setBold(false);
  EXPECT_EQ(label.pendingChanges(), 0u);
}

TEST(control_test, first_change_after_a_draw_marks_the_form) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  Panel panel(&form, "pan");
  ProgressBar bar(&panel, "pgb");
  application().flush();
  EXPECT_FALSE(form.hasPendingChanges());
  bar.setPosition(1);
  EXPECT_TRUE(form.hasPendingChanges());
}

TEST(control_test, caption_and_text_are_one_property) {
  Form form("frm");
  Edit edit(&form, "edt");
  edit.setText("C:\\logs\\maillog.txt");
  EXPECT_EQ(edit.caption(), "C:\\logs\\maillog.txt");
  edit.setCaption("x");
  EXPECT_EQ(edit.text(), "x");
}

TEST(control_test, children_keep_creation_order_and_leave_when_destroyed) {
  Form form("frm");
  GroupBox group(&form, "grb");
  Label first(&group, "lbl1");
  auto second = std::make_unique<Label>(&group, "lbl2");
  Label third(&group, "lbl3");
  EXPECT_THAT(group.children(), ElementsAre(&first, second.get(), &third));
  second.reset();
  EXPECT_THAT(group.children(), ElementsAre(&first, &third));
  EXPECT_EQ(third.form(), &form);
}

TEST(control_test, destroyed_parent_orphans_its_children) {
  Label label(nullptr, "lbl");
  {
    Panel panel(nullptr, "pan");
    label.setParent(&panel);
    EXPECT_EQ(label.parent(), &panel);
  }
  EXPECT_EQ(label.parent(), nullptr);
  EXPECT_EQ(label.form(), nullptr);
}

TEST(control_test, moving_to_another_parent_marks_the_new_form) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form a("frmA");
  Form b("frmB");
  Label label(&a, "lbl");
  application().flush();
  label.setParent(&b);
  EXPECT_TRUE(a.children().empty());
  EXPECT_THAT(b.children(), ElementsAre(&label));
  EXPECT_TRUE(b.hasPendingChanges());
  EXPECT_EQ(label.pendingChanges(), changes::kParent);
}

TEST(control_test, placing_a_control_inside_itself_is_refused) {
  Panel outer(nullptr, "panOuter");
  Panel inner(&outer, "panInner");
  EXPECT_THAT([&] { outer.setParent(&inner); },
              ThrowsMessage<Exception>(
                  StrEq("control 'panOuter' cannot be placed inside 'panInner', which lies "
                        "inside it")));
  EXPECT_THAT([&] { outer.setParent(&outer); },
              ThrowsMessage<Exception>(
                  StrEq("control 'panOuter' cannot be placed inside 'panOuter', which lies "
                        "inside it")));
  EXPECT_EQ(outer.parent(), nullptr);
}

TEST(control_test, a_form_is_never_inside_another_control) {
  Form form("frmImpEmailInternet");
  Panel panel(nullptr, "pan");
  EXPECT_THAT(
      [&] { form.setParent(&panel); },
      ThrowsMessage<Exception>(StrEq("form 'frmImpEmailInternet' cannot be placed inside 'pan'")));
}

TEST(control_test, reachable_only_when_it_and_every_parent_are_enabled_and_visible) {
  Form form("frm");
  form.setVisible(true);
  GroupBox group(&form, "grb");
  Button button(&group, "btn");
  EXPECT_TRUE(button.reachable());
  group.setEnabled(false);
  EXPECT_FALSE(button.reachable());
  group.setEnabled(true);
  form.setVisible(false);
  EXPECT_FALSE(button.reachable());
}

TEST(control_test, focus_goes_through_the_application_and_ends_with_the_control) {
  TestBackend backend;
  ScopedBackend installed(backend);
  Form form("frm");
  {
    Edit edit(&form, "edtArqEmail");
    edit.setFocus();
    EXPECT_EQ(application().focusedControl(), &edit);
  }
  EXPECT_EQ(application().focusedControl(), nullptr);
  EXPECT_THAT(backend.focusHistory(), ElementsAre("edtArqEmail"));
}

}  // namespace
}  // namespace zeb::platform::ui
