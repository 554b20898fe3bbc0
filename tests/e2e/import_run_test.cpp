// The screen's import command against the real server: what the operator sees at the end of a
// run, and what is stored, for a completed run, a stop during the upload and a server that
// dies during it.
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "host/brenmor.h"
#include "import/module_state.h"
#include "platform/core/exceptions.h"
#include "platform/os/file_services.h"
#include "platform/ui/test_backend.h"
#include "screen/imp_email_internet.h"

namespace zeb::e2e {
namespace {

using platform::ui::TestBackend;

class ImportRunTest : public ::testing::Test {
 protected:
  ImportRunTest() : scope_(backend_) { import::moduleStartUp(); }
  ~ImportRunTest() override {
    screen_.reset();
    host::setHostSettings({});
  }

  // The screen, connected to the server at "port".
  screen::TfrmImpEmailInternet& openScreen(int port) {
    host::setHostSettings({"0001", "127.0.0.1", port});
    screen_ = std::make_unique<screen::TfrmImpEmailInternet>();
    return *screen_;
  }

  // Runs "action" at the first pump where the status line begins with "prefix".
  void whenStatus(std::string prefix, std::function<void()> action) {
    backend_.atPump(backend_.pumpCount() + 1, [this, prefix, action] {
      if (screen_->lblProgresso.caption().starts_with(prefix)) {
        action();
      } else {
        whenStatus(prefix, action);
      }
    });
  }

  TestBackend backend_;
  platform::ui::ScopedBackend scope_;
  TempDir dir_;
  std::unique_ptr<screen::TfrmImpEmailInternet> screen_;
};

TEST_F(ImportRunTest, a_completed_run_shows_its_summary_and_stores_every_mail) {
  LiveServer server(dir_.file("stats.db"));
  screen::TfrmImpEmailInternet& s = openScreen(server.port());
  std::string path = writeLog(dir_.file("mail.log"), concat({busyDay(5, 700), busyDay(6, 500, 1)}));
  s.edtArqEmail.setText(path);

  s.sbtImportExport.press();

  EXPECT_EQ(s.lblProgresso.caption(), "Importação concluída");
  EXPECT_EQ(s.lblQtImpEmail.caption(), "1200");
  EXPECT_EQ(s.lblDadAgrup.caption(), std::to_string(1200 - 2 * 117));
  EXPECT_TRUE(s.btfDetalhes.enabled());
  EXPECT_FALSE(s.btfParar.enabled());
  EXPECT_TRUE(s.sbtImportExport.enabled());
  EXPECT_TRUE(boRegsImp);
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_FALSE(s.tables.cdsDados.active());
  server.stop();
  EXPECT_EQ(server.rows().size(), 2u * 117u);
  // The details show the run's period once unfolded.
  s.btfDetalhes.press();
  EXPECT_TRUE(s.grbDetEmail.visible());
  EXPECT_EQ(s.lblPerImpEmail.caption().substr(0, 5), "05/12");
}

TEST_F(ImportRunTest, a_stop_during_the_upload_keeps_the_batches_sent_and_says_so) {
  LiveServer server(dir_.file("stats.db"));
  screen::TfrmImpEmailInternet& s = openScreen(server.port());
  s.edtArqEmail.setText(writeLog(dir_.file("mail.log"), distinctMails(2500, 1, 500)));
  backend_.answerDialog(platform::ui::kMrYes);
  whenStatus("Importando 1200/", [&] { s.btfParar.press(); });

  s.sbtImportExport.press();

  EXPECT_EQ(s.lblProgresso.caption(), "Importação finalizada pelo usuário");
  EXPECT_EQ(s.pgbProgresso.position(), s.pgbProgresso.max());
  EXPECT_TRUE(s.btfDetalhes.enabled());
  EXPECT_FALSE(s.btfParar.enabled());
  // The row being folded when the stop came is the last: the loop tests the flag before a row.
  EXPECT_EQ(s.lblQtImpEmail.caption(), "1201");
  server.stop();
  // The first batch (1001 rows), then the rows up to the stop, sent at the stop.
  EXPECT_EQ(server.rows().size(), 1201u);
}

TEST_F(ImportRunTest, a_server_that_dies_during_the_upload_fails_the_run_cleanly) {
  ChildServer child(dir_.file("stats.db"));
  screen::TfrmImpEmailInternet& s = openScreen(child.port());
  s.edtArqEmail.setText(writeLog(dir_.file("mail.log"), distinctMails(2500, 1, 500)));
  whenStatus("Importando 1500/", [&] { child.kill(); });

  try {
    s.sbtImportExport.press();
    ADD_FAILURE() << "the run went on without its server";
  } catch (const platform::EServerError& e) {
    // The first batch may still be on its way when the server dies (it is taken while the
    // next is folded), or the second is refused a connection.
    std::string where = "calling SetEmail on 127.0.0.1:" + std::to_string(child.port()) + " failed: ";
    EXPECT_EQ(std::string(e.what()).substr(0, where.size()), where) << e.what();
  }

  // The failure path: the last phase text stays, the screen is unlocked, nothing is left open.
  EXPECT_EQ(s.lblProgresso.caption().substr(0, 11), "Importando ");
  EXPECT_TRUE(s.sbtImportExport.enabled());
  EXPECT_TRUE(s.edtArqEmail.enabled());
  EXPECT_FALSE(s.btfParar.enabled());
  EXPECT_FALSE(platform::os::fileExists(stArqTemp));
  EXPECT_FALSE(s.tables.cdsEnvio.active());
  EXPECT_FALSE(s.tables.cdsDados.active());
  // The first batch is stored whole or not at all.
  LiveServer after(dir_.file("stats.db"));
  std::size_t kept = after.rows().size();
  EXPECT_TRUE(kept == 0u || kept == 1001u) << kept;
}

}  // namespace
}  // namespace zeb::e2e
