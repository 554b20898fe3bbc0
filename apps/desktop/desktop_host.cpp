#include "desktop_host.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <exception>

#include "host/brenmor.h"
#include "host/exception_handler.h"
#include "host/host_port.h"
#include "hosting/embedded_server.h"
#include "hosting/loaded_module.h"
#include "main_window.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "qt_backend.h"
#include "server/server.h"
#include "stats_window.h"

namespace zeb::desktop {

namespace ui = platform::ui;

namespace {

// Room for the import screen at its designed place (364, 281) in the MDI area, unfolded.
constexpr int kWindowWidth = 840;
constexpr int kWindowHeight = 600;
// How often a close that waits for a stopped run looks again.
constexpr int kCloseRetryMs = 20;

constexpr const char* kScreenName = "frmImpEmailInternet";

template <typename T>
T* control(ui::Form& form, const char* name) {
  return dynamic_cast<T*>(form.findChild(name));
}

// Runs an action of the host on the module's controls: an error goes to the host's handler.
template <typename Action>
bool guarded(Action&& action) {
  try {
    action();
    ui::application().flush();
    return true;
  } catch (...) {
    host::HandleException(std::current_exception());
    ui::application().flush();
    return false;
  }
}

}  // namespace

DesktopHost::DesktopHost(const DesktopOptions& options) : options_(options) {
  choice_ = loadServerChoice();
  if (options.branch) choice_.branch = *options.branch;
  if (options.database) {
    choice_.database = *options.database;
    choice_.server.clear();
  }
  if (options.server) choice_.server = *options.server;
  if (QString problem = checkServerChoice(choice_); !problem.isEmpty()) {
    throw platform::Exception(problem.toStdString());
  }

  MainWindow::Commands commands;
  commands.openImportScreen = [this] { openImportScreen(); };
  commands.openStatsWindow = [this] { openStatsWindow(); };
  commands.editSettings = [this] { editSettings(); };
  commands.mayClose = [this] { return mayClose(); };
  window_ = std::make_unique<MainWindow>(std::move(commands));
  window_->resize(kWindowWidth, kWindowHeight);
  backend_ = std::make_unique<QtBackend>(window_.get(), window_->mdiArea());
  scope_ = std::make_unique<ui::ScopedBackend>(*backend_);
  applyChoice();
}

DesktopHost::~DesktopHost() {
  module_.reset();
  scope_.reset();
  backend_.reset();
  window_.reset();
  if (embedded_) {
    // The window is gone: the failure can only be told on stderr. Every batch sent is safe in
    // the pending file, and the next start merges it.
    try {
      embedded_->stop();
    } catch (const std::exception& e) {
      std::fprintf(stderr,
                   "zeb18000-desktop: the batches sent could not be merged into the table; they "
                   "wait in the pending file for the next start: %s\n",
                   e.what());
    }
  }
}

void DesktopHost::applyChoice() {
  host::HostSettings settings;
  settings.branch = choice_.branch.toStdString();
  settings.contentFilters = contentFilterList(choice_);
  if (choice_.server.isEmpty()) {
    // One embedded server per session: a screen that is open keeps talking to it.
    if (!embedded_) {
      embedded_ = hosting::startEmbeddedServer(choice_.database.toStdString(), settings);
    } else {
      settings.serverHost = embedded_->host();
      settings.serverPort = embedded_->port();
    }
  } else {
    bool tls = false;
    host::splitServerAddress(choice_.server.toStdString(), settings.serverHost, settings.serverPort,
                             tls);
    settings.serverSecurity = serverSecurity(choice_);
  }
  host::setHostSettings(settings);
}

void DesktopHost::start() {
  window_->show();
  if (options_.window == "stats") openStatsWindow();
  if (options_.window == "import" || !options_.importLog.isEmpty()) {
    if (openImportScreen() && !options_.importLog.isEmpty()) {
      // Once the event loop runs, so that the window is up while the log is imported.
      QTimer::singleShot(0, window_.get(), [this] { importLog(options_.importLog); });
    }
  }
}

bool DesktopHost::openImportScreen() {
  return guarded([this] {
    if (!module_) module_ = std::make_unique<hosting::LoadedModule>();
    module_->iniProc();
  });
}

StatsWindow& DesktopHost::openStatsWindow() {
  if (statsWindow_ == nullptr) {
    auto address = [] {
      // The server that the settings name, or the embedded one (applyChoice() put its address
      // into the settings).
      const host::HostSettings& settings = host::hostSettings();
      return StatsWindow::Server{settings.serverHost, settings.serverPort, settings.serverSecurity};
    };
    auto report = [](std::exception_ptr error) {
      host::HandleException(error);
      ui::application().flush();
    };
    statsWindow_ = new StatsWindow(address, report);
    QMdiSubWindow* frame = window_->mdiArea()->addSubWindow(statsWindow_);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->setWindowIcon(window_->windowIcon());
    QObject::connect(statsWindow_, &QObject::destroyed, window_.get(),
                     [this] { statsWindow_ = nullptr; });
    statsWindow_->setBranch(QString::fromStdString(host::hostSettings().branch));
    frame->resize(window_->mdiArea()->size());
    frame->show();
    statsWindow_->query();
  }
  window_->mdiArea()->setActiveSubWindow(
      qobject_cast<QMdiSubWindow*>(statsWindow_->parentWidget()));
  return *statsWindow_;
}

ui::Form* DesktopHost::importScreen() const {
  for (ui::Form* form : ui::application().forms()) {
    if (form->name() == kScreenName) return form;
  }
  return nullptr;
}

bool DesktopHost::importLog(const QString& log) {
  ui::Form* screen = importScreen();
  if (screen == nullptr) return false;
  auto* edit = control<ui::Edit>(*screen, "edtArqEmail");
  auto* command = control<ui::Button>(*screen, "sbtImportExport");
  if (edit == nullptr || command == nullptr) return false;
  return guarded([&] {
    edit->setText(log.toStdString());
    command->press();
  });
}

void DesktopHost::editSettings() {
  SettingsDialog dialog(choice_, window_.get());
  if (dialog.exec() != QDialog::Accepted) return;
  ServerChoice chosen = dialog.choice();
  saveServerChoice(chosen);
  choice_ = chosen;
  guarded([this] { applyChoice(); });
}

ui::Form* DesktopHost::runningScreen() const {
  for (ui::Form* form : ui::application().forms()) {
    auto* command = control<ui::Button>(*form, "sbtImportExport");
    if (form->visible() && command != nullptr && !command->enabled()) return form;
  }
  return nullptr;
}

bool DesktopHost::mayClose() {
  ui::Form* running = runningScreen();
  if (running == nullptr) return true;
  if (closePending_) return false;
  // As the stop command asks; until it may, nothing closes.
  auto* stop = control<ui::Button>(*running, "btfParar");
  if (stop == nullptr || !stop->reachable()) return false;
  guarded([stop] { stop->press(); });
  if (!stop->enabled()) closeAfterRun();
  return false;
}

void DesktopHost::closeAfterRun() {
  closePending_ = true;
  QTimer::singleShot(kCloseRetryMs, window_.get(), [this] {
    if (runningScreen() != nullptr) {
      closeAfterRun();
      return;
    }
    closePending_ = false;
    window_->close();
  });
}

int DesktopHost::screenshot() {
  backend_->setUnattended(true);
  bool failed = false;
  host::ExceptionHandler previous = host::setExceptionHandler([&failed](std::exception_ptr e) {
    failed = true;
    try {
      std::rethrow_exception(e);
    } catch (const platform::EAbort& abort) {
      // The dialog's text is on stderr already.
      if (!abort.detail().empty())
        std::fprintf(stderr, "zeb18000-desktop: %s\n", abort.detail().c_str());
    } catch (const std::exception& error) {
      std::fprintf(stderr, "zeb18000-desktop: %s\n", error.what());
    }
  });
  window_->show();
  if (options_.window == "import" || !options_.importLog.isEmpty()) {
    if (openImportScreen() && !options_.importLog.isEmpty()) {
      importLog(options_.importLog);
      if (ui::Form* screen = importScreen()) {
        auto* details = control<ui::Button>(*screen, "btfDetalhes");
        if (details != nullptr && details->reachable()) guarded([details] { details->press(); });
        auto* status = control<ui::Label>(*screen, "lblProgresso");
        if (status != nullptr && !status->caption().empty()) {
          std::printf("%s\n", status->caption().c_str());
        }
      }
    }
  }
  if (options_.window == "stats") {
    StatsWindow& stats = openStatsWindow();
    // The picture shows the window whole, over the import screen.
    if (auto* frame = qobject_cast<QMdiSubWindow*>(stats.parentWidget())) frame->showMaximized();
    std::printf("%s\n", stats.totalsText().toUtf8().constData());
  }
  // Let Qt lay out and paint what the run left, the busy animation gone.
  QElapsedTimer waited;
  waited.start();
  do {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (!backend_->settled() && waited.elapsed() < 5000);
  QCoreApplication::processEvents();
  QPixmap picture = window_->grab();
  host::setExceptionHandler(std::move(previous));
  if (!picture.save(options_.screenshot, "PNG")) {
    std::fprintf(stderr, "zeb18000-desktop: writing the picture %s failed\n",
                 options_.screenshot.toLocal8Bit().constData());
    return 1;
  }
  return failed ? 1 : 0;
}

}  // namespace zeb::desktop
