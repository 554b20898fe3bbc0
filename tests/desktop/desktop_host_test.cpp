// zeb18000-desktop as the operator meets it: the pictures it writes after importing a log, and
// a close of the main window during a run, answered through the real confirmation dialog.
#include "desktop_host.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "desktop_test_support.h"
#include "main_window.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

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

// Runs the program on the offscreen platform with a scratch home.
ProgramRun runDesktop(const std::string& arguments) {
  fs::path dir = scratchDirectory();
  std::string command = "QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=" + (dir / "config").string() +
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

TEST(DesktopHostTest, closing_the_window_during_a_run_asks_as_the_stop_does_and_closes_after) {
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

  // The operator closes the window twice during the run: first answering No, then Yes.
  DialogOperator person;
  person.answer("Não");
  person.answer("Sim");
  int closes = 0;
  bool openAfterNo = false;
  QTimer closer;
  closer.setInterval(5);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (closes >= 2 || host.runningScreen() == nullptr || !stop->enabled()) return;
    if (closes == 1) openAfterNo = host.window().isVisible() && screen->visible();
    ++closes;
    host.window().close();
  });
  closer.start();
  host.importLog(QString::fromStdString(longLog().string()));
  closer.stop();

  EXPECT_EQ(closes, 2);
  EXPECT_TRUE(openAfterNo);
  ASSERT_EQ(person.seen().size(), 2u);
  for (const auto& seen : person.seen()) {
    EXPECT_EQ(seen.text, "Parar importação?");
    EXPECT_EQ(seen.buttons, (QStringList{"Sim", "Não"}));
  }
  EXPECT_EQ(status->caption().rfind("Importação finalizada pelo usuário", 0), 0u)
      << status->caption();
  // The window goes once the run has ended.
  QElapsedTimer waited;
  waited.start();
  while (host.window().isVisible() && waited.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_FALSE(host.window().isVisible());
}

}  // namespace
}  // namespace zeb::desktop
