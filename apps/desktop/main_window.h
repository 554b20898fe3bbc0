// The host application's main window: an MDI area where the modules' screens open, a menu
// that opens them, and the settings. It only shows; the host decides what its commands do.
#pragma once

#include <QMainWindow>
#include <functional>

class QMdiArea;

namespace zeb::desktop {

class MainWindow : public QMainWindow {
 public:
  struct Commands {
    std::function<void()> openImportScreen;  // the menu entry "Importação de Log de E-mail"
    std::function<void()> openStatsWindow;   // the menu entry "Estatísticas de E-mail"
    std::function<void()> editSettings;
    // Asked when the window is to close; false keeps it open.
    std::function<bool()> mayClose;
  };

  explicit MainWindow(Commands commands);

  QMdiArea* mdiArea() const { return mdiArea_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Commands commands_;
  QMdiArea* mdiArea_;
};

}  // namespace zeb::desktop
