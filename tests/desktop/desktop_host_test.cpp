// zeb18000-desktop as the operator meets it: the pictures it writes after importing a log, and
// a close of the main window during a run, answered through the real confirmation dialog.
#include "desktop_host.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>
#include <tuple>

#include "desktop_test_support.h"
#include "host/brenmor.h"
#include "main_window.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "qt_backend.h"

namespace zeb::desktop {
namespace {

namespace fs = std::filesystem;
namespace ui = platform::ui;
using testing::DialogOperator;
using testing::qtApp;
using testing::scratchDirectory;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

// Runs the program with a scratch home, on the offscreen platform or with no display at all.
ProgramRun runDesktop(const std::string& arguments, bool display = true) {
  fs::path dir = scratchDirectory();
  std::string platform = display ? "QT_QPA_PLATFORM=offscreen"
                                 : "env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY";
#ifdef __SANITIZE_ADDRESS__
  // AddressSanitizer's dlopen does not search the program's run path, where the module lies.
  platform += " ZEB_MODULE=" ZEB_MODULE_PATH;
#endif
  std::string command = platform + " XDG_CONFIG_HOME=" + (dir / "config").string() +
                        " " ZEB18000_DESKTOP_BIN " " + arguments + " >" + (dir / "out").string() +
                        " 2>" + (dir / "err").string();
  int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "out"), slurp(dir / "err")};
}

struct PictureCase {
  std::string name;
  std::string arguments;
  int status;
  std::string out;
  std::string errContains;
};

TEST(DesktopPictureTest, the_program_imports_the_log_and_writes_the_main_window_as_a_png) {
  fs::path dir = scratchDirectory();
  std::string db = (dir / "pictures.db").string();
  const std::vector<PictureCase> cases = {
      {"rest.png", "--window import", 0, "", ""},
      {"after.png", "--import " ZEB_SAMPLE_LOG, 0, "Importação concluída\n", ""},
      {"missing.png", "--import " + (dir / "no-such.log").string(), 1, "",
       "zeb18000-desktop: Arquivo é inválido ou não possui todos os dados necessários.\n"},
  };
  for (const PictureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path picture = dir / c.name;
    ProgramRun run =
        runDesktop("--db " + db + " --screenshot " + picture.string() + " " + c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find(c.errContains), std::string::npos) << run.err;
    QImage image(QString::fromStdString(picture.string()), "PNG");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(840, 600));
    // Nothing is left in the middle of the window above the screen, such as the busy animation
    // of the upload.
    EXPECT_EQ(image.pixel(410, 282), image.pixel(100, 100));
  }
}

TEST(DesktopPictureTest, the_statistics_window_shows_what_the_import_stored) {
  fs::path dir = scratchDirectory();
  // Dated 31 December of last year, the sample's December days fall in the window's range (the
  // last year up to today) whatever the day the test runs.
  int lastYear = QDate::currentDate().year() - 1;
  fs::path log = dir / "sample-last-year.log";
  fs::copy_file(ZEB_SAMPLE_LOG, log, fs::copy_options::overwrite_existing);
  std::string touch = "touch -d '" + std::to_string(lastYear) + "-12-31 12:00' " + log.string();
  ASSERT_EQ(std::system(touch.c_str()), 0);
  fs::path picture = dir / "stats.png";
  ProgramRun run = runDesktop("--db " + (dir / "stats-picture.db").string() + " --screenshot " +
                              picture.string() + " --window stats --import " + log.string());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Importação concluída\nRegistros: 6    Mensagens: 6    Bytes: 47.204\n");
  QImage image(QString::fromStdString(picture.string()), "PNG");
  EXPECT_EQ(image.size(), QSize(840, 600));
}

TEST(DesktopCommandLineTest, help_and_bad_usage_need_no_display) {
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--help", 0, ""},
      {"--window reports", 2,
       "zeb18000-desktop: --window knows the windows 'import' and 'stats', not 'reports'\n"},
      {"--server nohost", 2,
       "zeb18000-desktop: the server needs HOST:PORT or https://HOST:PORT (such as "
       "127.0.0.1:18000), not 'nohost'\n"},
      {"--server 127.0.0.1:1 --db x.db", 2,
       "zeb18000-desktop: --db is the embedded server's; it does not go with --server\n"},
      {"--branch 12345", 2,
       "zeb18000-desktop: the branch code has 1 to 4 characters, not '12345'\n"},
      {"stray", 2, "zeb18000-desktop: unexpected argument 'stray'\n"},
  };
  for (const auto& [arguments, status, message] : cases) {
    SCOPED_TRACE(arguments);
    ProgramRun run = runDesktop(arguments, false);
    EXPECT_EQ(run.status, status);
    if (status == 0) {
      EXPECT_NE(run.out.find("--screenshot <FILE>"), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.err, message + "Run 'zeb18000-desktop --help' for usage.\n");
    }
  }
}

// A log that takes a while: the close must come during the run.
fs::path longLog() {
  fs::path log = scratchDirectory() / "long.log";
  std::ofstream out(log);
  for (int i = 0; i < 40000; ++i) {
    out << "Dec  5 10:00:00 mx postfix/qmgr[1]: Q" << i << ": from=<s" << i % 50
        << "@example.com>, size=" << 100 + i << ", nrcpt=1 (queue active)\n"
        << "Dec  5 10:00:01 mx postfix/smtp[2]: Q" << i << ": to=<r" << i % 70
        << "@example.org>, relay=none, status=sent (250 ok)\n";
  }
  return log;
}

// Types Escape where the screen's input focus is, as the operator's keyboard does.
void pressEscape(QWidget* focus) {
  ASSERT_NE(focus, nullptr);
  QApplication::setActiveWindow(focus->window());
  focus->setFocus();
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(QApplication::focusWidget(), &escape);
}

TEST(DesktopHostTest, during_a_run_escape_and_the_close_box_are_refused_and_stop_and_closing_ask) {
  qtApp();
  DesktopOptions options;
  options.database = QString::fromStdString((scratchDirectory() / "close.db").string());
  DesktopHost host(options);
  host.window().show();
  ASSERT_TRUE(host.openImportScreen());
  ui::Form* screen = ui::application().forms().back();
  auto* stop = dynamic_cast<ui::Button*>(screen->findChild("btfParar"));
  auto* status = dynamic_cast<ui::Label*>(screen->findChild("lblProgresso"));
  ASSERT_TRUE(stop && status);
  QWidget* edit = host.backend().widgetOf(*screen->findChild("edtArqEmail"));

  // Idle, Escape closes the screen, and the menu entry brings the same one back.
  pressEscape(edit);
  EXPECT_FALSE(screen->visible());
  EXPECT_FALSE(host.backend().frameOf(*screen)->isVisible());
  ASSERT_TRUE(host.openImportScreen());
  EXPECT_EQ(ui::application().forms().back(), screen);
  EXPECT_TRUE(host.backend().frameOf(*screen)->isVisible());

  // During the run the operator presses Escape and the screen's close box, clicks the stop
  // button and answers No, then closes the window twice: first answering No, then Yes.
  DialogOperator person;
  person.answer("Não");
  person.answer("Não");
  person.answer("Sim");
  int closes = 0;
  bool openAfterNo = false, openAfterEscape = false, openAfterCloseBox = false,
       runningAfterStopNo = false;
  QTimer closer;
  closer.setInterval(5);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (closes >= 2 || host.runningScreen() == nullptr || !stop->enabled()) return;
    if (closes == 0 && !openAfterEscape) {
      pressEscape(host.backend().widgetOf(*stop));
      openAfterEscape = screen->visible();
      host.backend().frameOf(*screen)->close();
      openAfterCloseBox = screen->visible() && host.backend().frameOf(*screen)->isVisible();
      QTest::mouseClick(host.backend().widgetOf(*stop), Qt::LeftButton);
      runningAfterStopNo = host.runningScreen() != nullptr && stop->enabled();
      return;
    }
    if (closes == 1) openAfterNo = host.window().isVisible() && screen->visible();
    ++closes;
    host.window().close();
  });
  closer.start();
  // The operator types the log's path and clicks the import command.
  auto* typed = qobject_cast<QLineEdit*>(edit);
  ASSERT_NE(typed, nullptr);
  QTest::keyClicks(typed, QString::fromStdString(longLog().string()));
  EXPECT_EQ(screen->findChild("edtArqEmail")->text(), longLog().string());
  QTest::mouseClick(host.backend().widgetOf(*screen->findChild("sbtImportExport")), Qt::LeftButton);
  closer.stop();

  EXPECT_EQ(closes, 2);
  EXPECT_TRUE(openAfterEscape);
  EXPECT_TRUE(openAfterCloseBox);
  EXPECT_TRUE(runningAfterStopNo);
  EXPECT_TRUE(openAfterNo);
  ASSERT_EQ(person.seen().size(), 3u);
  for (const auto& seen : person.seen()) {
    EXPECT_EQ(seen.text, "Parar importação?");
    EXPECT_EQ(seen.buttons, (QStringList{"Sim", "Não"}));
  }
  EXPECT_EQ(status->caption().rfind("Importação finalizada pelo usuário", 0), 0u)
      << status->caption();
  auto* shown = qobject_cast<QLabel*>(host.backend().widgetOf(*status));
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text().toStdString(), status->caption());
  // The window goes once the run has ended.
  QElapsedTimer waited;
  waited.start();
  while (host.window().isVisible() && waited.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_FALSE(host.window().isVisible());
}

TEST(DesktopHostTest, errors_that_reach_the_host_show_in_a_dialog_and_the_silent_abort_nothing) {
  qtApp();
  DesktopOptions options;
  options.database = QString::fromStdString((scratchDirectory() / "errors.db").string());
  DesktopHost host(options);
  host.window().show();
  DialogOperator person;
  person.answer("OK");
  person.answer("OK");

  setenv("ZEB_MODULE", "/nonexistent/libzeb18000.so", 1);
  EXPECT_FALSE(host.openImportScreen());
  unsetenv("ZEB_MODULE");
  ASSERT_TRUE(host.openImportScreen());
  // The empty file name: the screen says so, and the abort that ends the command adds nothing.
  EXPECT_FALSE(host.importLog(""));

  ASSERT_EQ(person.seen().size(), 2u);
  EXPECT_EQ(person.seen()[0].text.left(27), "loading the module failed: ");
  EXPECT_EQ(person.seen()[0].buttons, QStringList{"OK"});
  EXPECT_EQ(person.seen()[1].text, "Arquivo deve ser informado.");
  EXPECT_EQ(person.seen()[1].buttons, QStringList{"OK"});
}

struct OverrideCase {
  const char* name;
  DesktopOptions options;
  std::string branch;
  std::string host;
  int port;  // 0: the embedded server's, some free port
};

TEST(DesktopHostTest, the_command_line_overrides_the_stored_settings_for_the_session_only) {
  qtApp();
  const ServerChoice stored{"0002", "192.0.2.1:1", "stored.db", "127.0.0.1:10024, [::1]:10026"};
  saveServerChoice(stored);
  QString db = QString::fromStdString((scratchDirectory() / "override.db").string());
  auto with = [](auto set) {
    DesktopOptions o;
    set(o);
    return o;
  };
  const std::vector<OverrideCase> cases = {
      {"stored", {}, "0002", "192.0.2.1", 1},
      {"branch", with([](DesktopOptions& o) { o.branch = "0003"; }), "0003", "192.0.2.1", 1},
      {"server", with([](DesktopOptions& o) { o.server = "localhost:2"; }), "0002", "localhost", 2},
      {"db means the embedded server", with([&](DesktopOptions& o) { o.database = db; }), "0002",
       "127.0.0.1", 0},
  };
  for (const OverrideCase& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopHost host(c.options);
    const host::HostSettings& in = host::hostSettings();
    EXPECT_EQ(in.branch, c.branch);
    EXPECT_EQ(in.contentFilters, (std::vector<std::string>{"127.0.0.1:10024", "[::1]:10026"}));
    EXPECT_EQ(in.serverHost, c.host);
    if (c.port != 0) {
      EXPECT_EQ(in.serverPort, c.port);
    } else {
      EXPECT_NE(in.serverPort, 1);
    }
    EXPECT_EQ(loadServerChoice(), stored);
  }

  const std::vector<std::pair<ServerChoice, QString>> wrong = {
      {{"", "", "a.db", ""}, "A filial tem de 1 a 4 caracteres, não \"\"."},
      {{"12345", "", "a.db", ""}, "A filial tem de 1 a 4 caracteres, não \"12345\"."},
      {{"0001", "host", "a.db", ""},
       "O servidor se escreve HOST:PORTA ou https://HOST:PORTA (como 127.0.0.1:18000), não "
       "\"host\"."},
      {{"0001", "https://[::1]:18000", "", ""}, ""},
      {{"0001", "[::1]:18000", "", "", "", "", true},
       "Certificados e a opção de aceitar qualquer certificado valem só para um servidor "
       "https://."},
      {{"0001", "[::1]:18000", "", "", "/nonexistent/token"},
       "O token não pode ser lido: reading the token file '/nonexistent/token' failed: No such "
       "file or directory."},
      {{"0001", "", "", ""},
       "Sem servidor, o banco de dados do servidor embutido deve ser informado."},
      {{"0001", "[::1]:18000", "", ""}, ""},
      {{"0001", "", "a.db", "127.0.0.1:10024,amavis"},
       "Um filtro de conteúdo se escreve HOST:PORTA (como 127.0.0.1:10024), não \"amavis\"."},
  };
  for (const auto& [choice, problem] : wrong) EXPECT_EQ(checkServerChoice(choice), problem);
  EXPECT_THROW(DesktopHost(with([](DesktopOptions& o) { o.branch = ""; })), platform::Exception);
}

}  // namespace
}  // namespace zeb::desktop
