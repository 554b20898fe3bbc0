// The screen's rules, driven as an operator drives them through a scripted backend. The
// screen connects to a port where nothing listens: a run that asked anything of the server
// would fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/brenmor.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/os/file_services.h"
#include "platform/ui/test_backend.h"
#include "screen/imp_email_internet.h"

namespace zeb::screen {
namespace {

namespace fs = std::filesystem;
using platform::ui::TestBackend;

class ScreenTest : public ::testing::Test {
 protected:
  ScreenTest() : scope_(backend_) {
    import::moduleStartUp();
    host::setHostSettings({"0001", "127.0.0.1", 9});
    dir_ = fs::temp_directory_path() / ("zeb_screen_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    screen_ = std::make_unique<TfrmImpEmailInternet>();
  }
  ~ScreenTest() override {
    screen_.reset();
    fs::remove_all(dir_);
    host::setHostSettings({});
  }

  // A log of "mails" sending and delivery pairs, one day.
  std::string writeLog(int mails) {
    std::string path = (dir_ / "mail.log").string();
    std::ofstream out(path);
    for (int i = 0; i < mails; ++i) {
      out << "Dec  5 10:00:00 mx postfix/qmgr[1]: A" << i << ": from=<a@example.com>, size=10\n"
          << "Dec  5 10:00:01 mx postfix/smtp[2]: A" << i << ": to=<b@example.org>, status=sent\n";
    }
    return path;
  }

  // Presses the import command as the operator does; answers the error text the run raised,
  // empty when it raised none.
  std::string pressImport() {
    try {
      screen_->sbtImportExport.press();
    } catch (const platform::EAbort&) {
      return "abort";
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  TestBackend backend_;
  platform::ui::ScopedBackend scope_;
  fs::path dir_;
  std::unique_ptr<TfrmImpEmailInternet> screen_;
};

TEST_F(ScreenTest, is_built_as_designed) {
  TfrmImpEmailInternet& s = *screen_;
  EXPECT_EQ(s.caption(), "Importação de Log de E-mail");
  EXPECT_EQ(s.clientWidth(), 420);
  EXPECT_EQ(s.clientHeight(), 116);
  EXPECT_EQ(s.left(), 364);
  EXPECT_EQ(s.top(), 281);
  EXPECT_EQ(s.formStyle(), platform::ui::FormStyle::MDIChild);
  EXPECT_TRUE(s.visible());
  EXPECT_EQ(s.msgPadrao.lines().size(), 14u);
  EXPECT_EQ(s.netEmail.ServerName(), "ZEB18000.rdmImpEmailInt");
  EXPECT_FALSE(s.netEmail.ThrowException());
  // Host and port came from the host library at the connect, not from the stored address.
  EXPECT_EQ(s.netEmail.Port(), 9);
  EXPECT_FALSE(s.btfParar.enabled());
  EXPECT_FALSE(s.btfDetalhes.enabled());
  EXPECT_FALSE(s.grbDetEmail.visible());
  EXPECT_EQ(s.btfDetalhes.caption(), "Detalhes >>");
  EXPECT_EQ(s.btpArqEmail.Associate(), &s.edtArqEmail);
  EXPECT_EQ(s.lblProgresso.width(), 363);
  EXPECT_TRUE(s.lblProgresso.bold());
  EXPECT_FALSE(s.edtArqEmail.bold());
  EXPECT_EQ(s.edtArqEmail.fontName(), "MS Sans Serif");
  EXPECT_EQ(s.edtArqEmail.fontHeight(), 11);
}

struct ToggleCase {
  bool boEmail;
  int grownBy;
};

class DetailsToggleTest : public ScreenTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(DetailsToggleTest, unfolds_by_83_pixels_only_after_a_valid_file_and_folds_back) {
  TfrmImpEmailInternet& s = *screen_;
  boEmail = GetParam().boEmail;
  int height = s.height();

  s.btfDetalhes.click();
  EXPECT_EQ(s.btfDetalhes.caption(), "Detalhes <<");
  EXPECT_EQ(s.btfDetalhes.hint(), "Esconder Detalhes");
  EXPECT_EQ(s.height(), height + GetParam().grownBy);
  EXPECT_EQ(s.grbDetEmail.visible(), GetParam().boEmail);
  EXPECT_TRUE(boDetAtiv);
  // The progress panel stays below the uncovered details.
  EXPECT_EQ(s.panProgresso.top(), 84 + GetParam().grownBy);

  s.btfDetalhes.click();
  EXPECT_EQ(s.btfDetalhes.caption(), "Detalhes >>");
  EXPECT_EQ(s.btfDetalhes.hint(), "Exibir Detalhes");
  EXPECT_EQ(s.height(), height);
  EXPECT_FALSE(s.grbDetEmail.visible());
  EXPECT_FALSE(boDetAtiv);
  EXPECT_EQ(s.panProgresso.top(), 84);
}

INSTANTIATE_TEST_SUITE_P(ScreenTest, DetailsToggleTest,
                         ::testing::Values(ToggleCase{true, 83}, ToggleCase{false, 0}));

TEST_F(ScreenTest, a_new_file_name_folds_the_details_and_resets_the_run_state) {
  TfrmImpEmailInternet& s = *screen_;
  boEmail = true;
  s.btfDetalhes.setEnabled(true);
  s.btfDetalhes.click();
  s.lblProgresso.setCaption("Importação concluída");
  s.pgbProgresso.setPosition(40);
  boImport = false;

  s.edtArqEmail.setText("/var/log/mail.log");

  EXPECT_EQ(s.btfDetalhes.caption(), "Detalhes >>");
  EXPECT_EQ(s.clientHeight(), 116);
  EXPECT_FALSE(s.btfDetalhes.enabled());
  EXPECT_EQ(s.lblProgresso.caption(), "");
  EXPECT_EQ(s.pgbProgresso.position(), 0);
  EXPECT_TRUE(boImport);
  EXPECT_TRUE(boEmail);
}

TEST_F(ScreenTest, validation_shows_why_and_leaves_the_screen_unlocked) {
  struct Case {
    std::string name;
    std::string text;
    std::string focus;
  };
  for (const Case& c :
       {Case{"  ", "Arquivo deve ser informado.", ""},
        Case{(dir_ / "none.log").string(),
             "Arquivo é inválido ou não possui todos os dados necessários.", "edtArqEmail"},
        Case{dir_.string(), "Arquivo é inválido ou não possui todos os dados necessários.",
             "edtArqEmail"}}) {
    backend_.reset();
    backend_.answerDialog(platform::ui::kMrOk);
    screen_->lblProgresso.setCaption("previous");
    boEmail = true;
    screen_->edtArqEmail.setText(c.name);
    screen_->lblProgresso.setCaption("previous");

    EXPECT_EQ(pressImport(), "abort") << c.name;

    ASSERT_EQ(backend_.dialogs().size(), 1u) << c.name;
    EXPECT_EQ(backend_.dialogs()[0].text, c.text);
    EXPECT_EQ(backend_.focusHistory(),
              c.focus.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.focus});
    EXPECT_FALSE(boEmail);
    EXPECT_TRUE(screen_->sbtImportExport.enabled());
    EXPECT_TRUE(screen_->edtArqEmail.enabled());
    EXPECT_EQ(screen_->lblProgresso.caption(), "previous");
  }
}

TEST_F(ScreenTest, during_a_run_escape_and_close_are_refused_and_no_stops_nothing) {
  TfrmImpEmailInternet& s = *screen_;
  s.edtArqEmail.setText(writeLog(50));
  struct Seen {
    char escape = 'x';
    platform::ui::TCloseAction close = platform::ui::TCloseAction::caHide;
    bool locked = false;
    platform::ui::Color color = 0;
  } seen;
  backend_.atPump(20, [&] {
    seen.escape = s.keyPress(platform::ui::kKeyEscape);
    seen.close = s.close();
    seen.locked = !s.edtArqEmail.enabled() && !s.sbtSair.enabled() && s.btfParar.enabled();
    seen.color = s.edtArqEmail.color();
    s.btfParar.press();  // answered No
  });
  backend_.answerDialog(platform::ui::kMrNo);

  // Nothing listens at the server's port: the run goes on to the upload and fails there.
  std::string error = pressImport();

  EXPECT_EQ(error.substr(0, 28), "calling GetEmail on ZEB18000") << error;
  EXPECT_EQ(seen.escape, 0);
  EXPECT_EQ(seen.close, platform::ui::TCloseAction::caNone);
  EXPECT_TRUE(seen.locked);
  EXPECT_EQ(seen.color, platform::ui::kClBtnFace);
  EXPECT_TRUE(s.visible());
  // The failure path: unlocked, stop disabled, work file gone, tables closed.
  EXPECT_TRUE(s.edtArqEmail.enabled());
  EXPECT_EQ(s.edtArqEmail.color(), platform::ui::kClWindow);
  EXPECT_FALSE(s.btfParar.enabled());
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_FALSE(s.tables.cdsDados.active());
  // At rest, Escape reaches the base screen, which closes (hides) the screen.
  EXPECT_EQ(s.keyPress(platform::ui::kKeyEscape), 0);
  EXPECT_FALSE(s.visible());
}

TEST_F(ScreenTest, a_stop_in_each_phase_before_the_upload_asks_nothing_of_the_server) {
  TfrmImpEmailInternet& s = *screen_;
  s.edtArqEmail.setText(writeLog(300));
  // Pumps: about 1 in the work file, 600 lines, 1200 records to date, 300 to group.
  for (std::uint64_t pump : {1u, 2u, 300u, 1000u, 2000u}) {
    backend_.reset();
    backend_.answerDialog(platform::ui::kMrYes);
    backend_.atPump(pump, [&] { s.btfParar.press(); });

    EXPECT_EQ(pressImport(), "") << "stop at pump " << pump;

    EXPECT_EQ(s.lblProgresso.caption(),
              "Importação finalizada pelo usuário. Nenhum dado importado");
    EXPECT_FALSE(s.btfDetalhes.enabled());
    EXPECT_FALSE(s.btfParar.enabled());
    EXPECT_TRUE(s.sbtImportExport.enabled());
    EXPECT_FALSE(platform::os::fileExists(stArqTemp));
    EXPECT_EQ(backend_.dialogs().size(), 1u);
  }
}

TEST_F(ScreenTest, a_log_without_traffic_is_invalid_and_leaves_the_screen_unlocked) {
  for (int mails : {0, -1}) {
    std::string path = (dir_ / "empty.log").string();
    std::ofstream(path) << (mails == 0 ? "" : "Dec  5 10:00:00 mx sshd[1]: session opened\n");
    screen_->edtArqEmail.setText(path);
    backend_.reset();
    backend_.answerDialog(platform::ui::kMrOk);

    EXPECT_EQ(pressImport(), "abort");

    ASSERT_EQ(backend_.dialogs().size(), 1u);
    EXPECT_EQ(backend_.dialogs()[0].text,
              "Arquivo é inválido ou não possui todos os dados necessários.");
    EXPECT_TRUE(screen_->sbtImportExport.enabled());
    EXPECT_FALSE(screen_->btfParar.enabled());
    EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  }
}

TEST_F(ScreenTest, the_file_dialog_replaces_the_name_and_a_cancel_changes_nothing) {
  TfrmImpEmailInternet& s = *screen_;
  s.edtArqEmail.setText("/old.log");
  backend_.answerOpenFile(std::nullopt);
  backend_.answerOpenFile("/var/log/mail.log");

  s.btpArqEmail.press();
  EXPECT_EQ(s.edtArqEmail.text(), "/old.log");
  s.btpArqEmail.press();
  EXPECT_EQ(s.edtArqEmail.text(), "/var/log/mail.log");
  ASSERT_EQ(backend_.fileDialogs().size(), 2u);
  EXPECT_EQ(backend_.fileDialogs()[0].filter,
            "Arquivos para importação (*.txt, *.log)|*.txt; *.log|Todos os arquivos|*.*");
}

TEST_F(ScreenTest, a_list_of_logs_is_validated_naming_the_first_missing_one) {
  const std::string log = writeLog(1), a = (dir_ / "a.log").string(), b = (dir_ / "b.log").string();
  struct Case {
    std::string text, detail;
  };
  const Case cases[] = {
      {"\"" + log + "\" \"" + a + "\" \"" + b + "\"", "no file at " + a},
      {"\"" + b + "\" \"" + log + "\"", "no file at " + b},
      {"\"" + log + "\" " + a, "the file list '\"" + log + "\" " + a +
                                   "' has a path without quotes at character " +
                                   std::to_string(log.size() + 4)},
  };
  for (const Case& c : cases) {
    backend_.reset();
    backend_.answerDialog(platform::ui::kMrOk);
    screen_->edtArqEmail.setText(c.text);
    try {
      screen_->Vd_Arquivos();
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const platform::EAbort& e) {
      EXPECT_EQ(e.detail(), c.detail);
    }
    ASSERT_EQ(backend_.dialogs().size(), 1u) << c.text;
    EXPECT_EQ(backend_.dialogs()[0].text,
              "Arquivo é inválido ou não possui todos os dados necessários.");
    EXPECT_FALSE(boEmail);
  }
  screen_->edtArqEmail.setText("\"" + log + "\" \"" + log + "\"");
  screen_->Vd_Arquivos();
  EXPECT_TRUE(boEmail);
}

TEST_F(ScreenTest, the_file_dialog_shows_several_logs_as_a_quoted_list) {
  TfrmImpEmailInternet& s = *screen_;
  backend_.answerOpenFiles(std::vector<std::string>{"/var/log/mail.log.1", "/var/log/mail.log"});
  backend_.answerOpenFiles(std::vector<std::string>{"/var/log/mail.log"});
  s.btpArqEmail.press();
  EXPECT_EQ(s.edtArqEmail.text(), "\"/var/log/mail.log.1\" \"/var/log/mail.log\"");
  s.btpArqEmail.press();
  EXPECT_EQ(s.edtArqEmail.text(), "/var/log/mail.log");
}

}  // namespace
}  // namespace zeb::screen
