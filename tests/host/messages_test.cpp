#include "host/messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::host {
namespace {

namespace ui = platform::ui;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// The import screen's table, in its stored order.
TMessages importScreenTable() {
  return TMessages({
      "Arq_Inf|Arquivo deve ser informado.",
      "Arq_Inv|Arquivo é inválido ou não possui todos os dados necessários.",
      "Prep_Dados|Preparando dados...",
      "Bim|°Bim",
      "Sem|°Sem",
      "Tri|°Tri",
      "Imp|Importando ",
      "Imp_Conc|Importação concluída",
      "Parar|Parar importação?",
      "Rec_Dad|Recebendo dados do arquivo",
      "an_dad|Analisando dados",
      "Org_dad|Organizando dados",
      "user_canc|Importação finalizada pelo usuário",
      "no_data|Nenhum dado importado",
  });
}

TEST(messages_test, keys_match_without_regard_to_letter_case) {
  TMessages table = importScreenTable();
  const std::pair<const char*, const char*> cases[] = {
      {"Rec_dad", "Recebendo dados do arquivo"},  // the run's request for "Rec_Dad"
      {"An_dad", "Analisando dados"},             // the run's request for "an_dad"
      {"Rec_Dad", "Recebendo dados do arquivo"},
      {"ARQ_INF", "Arquivo deve ser informado."},
      {"Imp", "Importando "},  // the text keeps its trailing blank
      {"imp_conc", "Importação concluída"},
      {"Bim", "°Bim"},
  };
  for (auto [key, text] : cases) EXPECT_EQ(table.Msg(key), text) << key;
}

TEST(messages_test, first_line_of_a_key_wins) {
  TMessages table({"Parar|first", "PARAR|second", "parar|third"});
  EXPECT_EQ(table.Msg("parar"), "first");
}

TEST(messages_test, text_runs_from_the_first_bar) {
  TMessages table({"Filtro|Logs|*.log", "Vazio|"});
  EXPECT_EQ(table.Msg("Filtro"), "Logs|*.log");
  EXPECT_EQ(table.Msg("Vazio"), "");
}

TEST(messages_test, unknown_key_is_named) {
  TMessages table = importScreenTable();
  EXPECT_THAT([&] { table.Msg("Rec_dados"); },
              ThrowsMessage<platform::Exception>(
                  StrEq("message key 'Rec_dados' is not in the message table")));
  EXPECT_THAT([&] { table.Msg(""); }, ThrowsMessage<platform::Exception>(
                                          StrEq("message key '' is not in the message table")));
}

TEST(messages_test, line_without_bar_is_refused_and_the_table_kept) {
  TMessages table({"Imp|Importando "});
  EXPECT_THAT(
      [&] {
        table.setLines({"Parar|Parar importação?", "Imp_Conc"});
      },
      ThrowsMessage<platform::Exception>(
          StrEq("message table line 2 has no '|' between key and text: 'Imp_Conc'")));
  EXPECT_EQ(table.Msg("Imp"), "Importando ");
  EXPECT_THAT(table.lines(), ElementsAre("Imp|Importando "));
}

TEST(messages_test, show_msg_asks_through_the_application_and_answers_the_result) {
  ui::TestBackend backend;
  ui::ScopedBackend installed(backend);
  TMessages table = importScreenTable();
  backend.answerDialog(ui::kMrYes);
  backend.answerDialog(ui::kMrNo);
  const ui::MsgDlgButtons yesNo{ui::MsgDlgBtn::Yes, ui::MsgDlgBtn::No};
  EXPECT_EQ(table.ShowMsg("Parar", ui::MsgDlgType::Confirmation, yesNo, 0), 6);
  EXPECT_EQ(table.ShowMsg("parar", ui::MsgDlgType::Confirmation, yesNo, 0), 7);
  EXPECT_THAT(backend.dialogs(),
              ElementsAre(ui::TestBackend::DialogCall{"Parar importação?",
                                                      ui::MsgDlgType::Confirmation, yesNo, 0},
                          ui::TestBackend::DialogCall{"Parar importação?",
                                                      ui::MsgDlgType::Confirmation, yesNo, 0}));
}

TEST(messages_test, show_msg_of_unknown_key_shows_nothing) {
  ui::TestBackend backend;
  ui::ScopedBackend installed(backend);
  TMessages table = importScreenTable();
  EXPECT_THROW(table.ShowMsg("Sair", ui::MsgDlgType::Confirmation, ui::MsgDlgBtn::OK, 0),
               platform::Exception);
  EXPECT_TRUE(backend.dialogs().empty());
}

}  // namespace
}  // namespace zeb::host
