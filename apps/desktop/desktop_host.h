// zeb18000-desktop: the host application. It owns the main window with its MDI area, the Qt
// backend of the toolkit, the host settings, the embedded application server when no server is
// named, and the module libzeb18000.so, which it loads at the first opening of its screen and
// enters through IniProc, as the command line does.
//
// Errors that reach the host show in an error dialog; the silent abort shows nothing.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "settings_dialog.h"

namespace zeb::server {
class Server;
}
namespace zeb::hosting {
class LoadedModule;
}
namespace zeb::platform::ui {
class Form;
class ScopedBackend;
}  // namespace zeb::platform::ui

namespace zeb::desktop {

class MainWindow;
class QtBackend;
class StatsWindow;

struct DesktopOptions {
  // Each one, when given, overrides the stored setting for this session only.
  std::optional<QString> branch;
  std::optional<QString> server;
  std::optional<QString> database;  // given alone, it means the embedded server over it
  QString screenshot;               // a PNG to write, then exit
  QString importLog;                // a log to import in the import screen
  QString window;                   // "import" or "stats": open that window at start
};

class DesktopHost {
 public:
  // Needs a QApplication. Raises Exception when the settings are wrong or the embedded server
  // cannot start.
  explicit DesktopHost(const DesktopOptions& options);
  // The module's screens go first, then the backend, the window and the embedded server, whose
  // stop puts every accepted batch into its database.
  ~DesktopHost();
  DesktopHost(const DesktopHost&) = delete;
  DesktopHost& operator=(const DesktopHost&) = delete;

  MainWindow& window() { return *window_; }
  QtBackend& backend() { return *backend_; }

  // Shows the window and does what the options ask: opens the import screen, imports the log.
  void start();
  // The menu entry: loads the module at its first use and enters it. Answers false (the error
  // shown) when that failed.
  bool openImportScreen();
  // Puts "log" into the import screen's file field and presses its import command, as the
  // operator would. Answers false when the run failed (the error shown).
  bool importLog(const QString& log);
  void editSettings();
  // The menu entry "Estatísticas de E-mail": opens the statistics window (once; later calls
  // bring it forward) and queries its range. Answers the window.
  StatsWindow& openStatsWindow();
  // The window's close request. During a run it presses the stop command, which asks the
  // operator; when the stop is confirmed the window closes once the run has ended.
  bool mayClose();

  // The pictures: opens what the options ask, runs the import, unfolds the details, saves the
  // main window as a PNG and answers the exit status (0, or 1 with the reason on stderr).
  int screenshot();

  // The screen whose import command is disabled, a run going on in it; or null.
  platform::ui::Form* runningScreen() const;

 private:
  void closeAfterRun();
  void applyChoice();
  platform::ui::Form* importScreen() const;

  DesktopOptions options_;
  ServerChoice choice_;  // as stored, with the command line's overrides
  std::unique_ptr<server::Server> embedded_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<QtBackend> backend_;
  std::unique_ptr<platform::ui::ScopedBackend> scope_;
  std::unique_ptr<hosting::LoadedModule> module_;
  StatsWindow* statsWindow_ = nullptr;  // owned by its MDI frame
  bool closePending_ = false;
};

// The command line (the program's name first): answers the options, or exits with the help, the
// version (which need a QCoreApplication) or a usage error (status 2).
DesktopOptions parseCommandLine(const QStringList& arguments);

// main(): the application, the host and its event loop.
int runDesktop(int argc, char** argv);

}  // namespace zeb::desktop
