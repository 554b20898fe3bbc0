#include "platform/ui/dialogs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/core/exceptions.h"

namespace zeb::platform::ui {
namespace {

using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(dialogs_test, buttons_answer_the_classic_result_codes) {
  const std::pair<MsgDlgBtn, int> cases[] = {
      {MsgDlgBtn::OK, 1},        {MsgDlgBtn::Cancel, 2}, {MsgDlgBtn::Abort, 3},
      {MsgDlgBtn::Retry, 4},     {MsgDlgBtn::Ignore, 5}, {MsgDlgBtn::Yes, 6},
      {MsgDlgBtn::No, 7},        {MsgDlgBtn::All, 8},    {MsgDlgBtn::NoToAll, 9},
      {MsgDlgBtn::YesToAll, 10}, {MsgDlgBtn::Help, 0},
  };
  for (auto [button, result] : cases) {
    EXPECT_EQ(modalResultOf(button), result) << buttonCaption(button);
  }
}

TEST(dialogs_test, button_set_lists_in_dialog_order) {
  MsgDlgButtons buttons{MsgDlgBtn::No, MsgDlgBtn::Yes};
  EXPECT_TRUE(buttons.contains(MsgDlgBtn::Yes));
  EXPECT_FALSE(buttons.contains(MsgDlgBtn::OK));
  EXPECT_THAT(buttons.list(), ElementsAre(MsgDlgBtn::Yes, MsgDlgBtn::No));
  EXPECT_EQ(MsgDlgButtons(MsgDlgBtn::OK), (MsgDlgButtons{MsgDlgBtn::OK}));
  EXPECT_TRUE(MsgDlgButtons().empty());
}

TEST(dialogs_test, filter_of_the_import_screen) {
  EXPECT_THAT(
      parseFileFilter("Arquivos para importação (*.txt, *.log)|*.txt; *.log|Todos os arquivos|*.*"),
      ElementsAre(FileFilter{"Arquivos para importação (*.txt, *.log)", {"*.txt", "*.log"}},
                  FileFilter{"Todos os arquivos", {"*.*"}}));
}

TEST(dialogs_test, empty_filter_has_no_choices) { EXPECT_TRUE(parseFileFilter("").empty()); }

TEST(dialogs_test, description_without_patterns_is_refused) {
  EXPECT_THAT([] { parseFileFilter("Logs|*.log|Todos"); },
              ThrowsMessage<Exception>(
                  StrEq("file filter 'Logs|*.log|Todos' has a description without patterns")));
}

}  // namespace
}  // namespace zeb::platform::ui
