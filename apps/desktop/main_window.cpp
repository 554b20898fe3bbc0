#include "main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>

namespace zeb::desktop {

MainWindow::MainWindow(Commands commands)
    : commands_(std::move(commands)), mdiArea_(new QMdiArea(this)) {
  setObjectName("mainWindow");
  setWindowTitle("ZEB18000");
  mdiArea_->setObjectName("mdiArea");
  setCentralWidget(mdiArea_);

  QMenu* file = menuBar()->addMenu("&Arquivo");
  QAction* settings = file->addAction("&Configurações...");
  settings->setObjectName("actionSettings");
  connect(settings, &QAction::triggered, this, [this] {
    if (commands_.editSettings) commands_.editSettings();
  });
  file->addSeparator();
  QAction* quit = file->addAction("&Sair");
  connect(quit, &QAction::triggered, this, &QWidget::close);

  QMenu* modules = menuBar()->addMenu("&Módulos");
  QAction* import = modules->addAction("Importação de Log de E-mail");
  import->setObjectName("actionImport");
  connect(import, &QAction::triggered, this, [this] {
    if (commands_.openImportScreen) commands_.openImportScreen();
  });
  QAction* stats = modules->addAction("Estatísticas de E-mail");
  stats->setObjectName("actionStats");
  connect(stats, &QAction::triggered, this, [this] {
    if (commands_.openStatsWindow) commands_.openStatsWindow();
  });

  QMenu* windows = menuBar()->addMenu("&Janelas");
  connect(windows->addAction("&Cascata"), &QAction::triggered, mdiArea_,
          &QMdiArea::cascadeSubWindows);
  connect(windows->addAction("&Lado a lado"), &QAction::triggered, mdiArea_,
          &QMdiArea::tileSubWindows);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (commands_.mayClose && !commands_.mayClose()) {
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace zeb::desktop
