// The import screen drawn by the Qt backend: its widgets at the designed places, folded and
// unfolded, and the message dialogs' Portuguese buttons answering the toolkit's result codes.
#include "qt_backend.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>
#include <fstream>

#include "desktop_test_support.h"
#include "import/module_state.h"
#include "platform/ui/application.h"
#include "qt_widgets.h"
#include "screen/imp_email_internet.h"

namespace zeb::desktop {
namespace {

namespace ui = platform::ui;
using testing::DialogOperator;
using testing::qtApp;

struct Place {
  const char* name;
  const char* parent;
  QRect geometry;
};

class QtBackendTest : public ::testing::Test {
 protected:
  QtBackendTest() : backend_(&window_, area()), scope_(backend_) {}

  QMdiArea* area() {
    auto* mdi = new QMdiArea(&window_);
    window_.setCentralWidget(mdi);
    window_.resize(840, 600);
    return mdi;
  }

  QWidget& widget(const char* name) {
    auto* found = window_.findChild<QWidget*>(name);
    if (found == nullptr) throw std::runtime_error(std::string("no widget ") + name);
    return *found;
  }

  void expectPlaces(const std::vector<Place>& places) {
    for (const Place& p : places) {
      SCOPED_TRACE(p.name);
      QWidget& w = widget(p.name);
      EXPECT_EQ(w.geometry(), p.geometry);
      ASSERT_NE(w.parentWidget(), nullptr);
      EXPECT_EQ(w.parentWidget()->objectName(), p.parent);
    }
  }

  QApplication& app_ = qtApp();
  QMainWindow window_;
  QtBackend backend_;
  ui::ScopedBackend scope_;
};

TEST_F(QtBackendTest, the_screen_stands_as_designed_and_its_details_unfold_above_the_progress) {
  import::moduleStartUp();
  screen::TfrmImpEmailInternet screen;
  window_.show();
  ui::application().flush();

  auto* frame = qobject_cast<QMdiSubWindow*>(backend_.frameOf(screen));
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->windowTitle(), "Importação de Log de E-mail");
  EXPECT_EQ(frame->pos(), QPoint(364, 281));
  EXPECT_TRUE(frame->isVisible());
  QWidget& client = widget("frmImpEmailInternet");
  EXPECT_EQ(client.size(), QSize(420, 116));
  EXPECT_EQ(frame->widget(), &client);

  const std::vector<Place> common = {
      {"grbArquivo", "grbDadosRel", {4, 7, 356, 44}},
      {"edtArqEmail", "grbArquivo", {56, 15, 265, 21}},
      {"btpArqEmail", "grbArquivo", {328, 15, 21, 21}},
      {"btfParar", "grbDadosRel", {195, 56, 80, 21}},
      {"btfDetalhes", "grbDadosRel", {279, 56, 80, 21}},
      {"grbDetEmail", "grbDadosRel", {4, 87, 356, 75}},
      {"lblPerEmail", "grbDetEmail", {6, 15, 123, 13}},
      {"lblPerImpEmail", "grbDetEmail", {144, 15, 200, 13}},
      {"lblQtEmail", "grbDetEmail", {6, 35, 123, 13}},
      {"lblQtImpEmail", "grbDetEmail", {144, 35, 200, 13}},
      {"lblRegAgrup", "grbDetEmail", {6, 55, 123, 13}},
      {"lblDadAgrup", "grbDetEmail", {144, 55, 200, 13}},
      {"panBotoes", "panMenu", {0, 0, 55, 56}},
      {"sbtImportExport", "panBotoes", {4, 4, 47, 25}},
      {"sbtSair", "panBotoes", {4, 31, 47, 22}},
      {"panHelp", "panMenu", {0, 56, 55, 28}},
      {"lblCodTela", "panHelp", {2, 8, 52, 13}},
      {"lblProgresso", "panProgresso", {2, 2, 363, 13}},
      {"pgbProgresso", "panProgresso", {1, 16, 418, 15}},
  };
  expectPlaces(common);
  // A label that sizes itself keeps its designed place; its width is its caption's.
  EXPECT_EQ(widget("lblArqEmail").pos(), QPoint(6, 18));
  expectPlaces({{"grbDadosRel", "frmImpEmailInternet", {0, 0, 365, 84}},
                {"panMenu", "frmImpEmailInternet", {365, 0, 55, 84}},
                {"panProgresso", "frmImpEmailInternet", {0, 84, 420, 32}}});
  EXPECT_FALSE(widget("grbDetEmail").isVisible());

  // Bold where the screen says, the design's font or the system's sans serif at 11 pixels.
  QString family = QFontDatabase::hasFamily("MS Sans Serif")
                       ? "MS Sans Serif"
                       : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  for (auto [name, bold] : std::vector<std::pair<const char*, bool>>{{"grbArquivo", true},
                                                                     {"lblArqEmail", true},
                                                                     {"edtArqEmail", false},
                                                                     {"btfParar", true},
                                                                     {"btfDetalhes", true},
                                                                     {"lblProgresso", true},
                                                                     {"lblQtEmail", true},
                                                                     {"grbDetEmail", true}}) {
    SCOPED_TRACE(name);
    QFont font = widget(name).font();
    EXPECT_EQ(font.family(), family);
    EXPECT_EQ(font.pixelSize(), 11);
    EXPECT_EQ(font.bold(), bold);
  }
  EXPECT_EQ(widget("btpArqEmail").toolTip(), "Pesquisar");
  EXPECT_EQ(widget("btfParar").toolTip(), "Parar Importação");
  EXPECT_FALSE(widget("btfParar").isEnabled());

  // The lock paints the file name in the button face, the unlock in the window colour.
  screen.CtrlComps(false);
  ui::application().flush();
  EXPECT_FALSE(widget("edtArqEmail").isEnabled());
  EXPECT_EQ(widget("edtArqEmail").palette().color(QPalette::Base),
            QApplication::palette().color(QPalette::Button));
  screen.CtrlComps(true);
  ui::application().flush();
  EXPECT_EQ(widget("edtArqEmail").palette().color(QPalette::Base),
            QApplication::palette().color(QPalette::Base));

  // Unfolded: the screen grows by 83 pixels, the details show inside the main area and the
  // progress panel stays below them.
  int foldedFrameHeight = frame->height();
  ::boEmail = true;
  screen.btfDetalhes.click();
  ui::application().flush();
  EXPECT_EQ(client.size(), QSize(420, 199));
  EXPECT_EQ(widget("btfDetalhes").property("text").toString(), "Detalhes <<");
  EXPECT_EQ(widget("btfDetalhes").toolTip(), "Esconder Detalhes");
  EXPECT_TRUE(widget("grbDetEmail").isVisible());
  expectPlaces(common);
  expectPlaces({{"grbDadosRel", "frmImpEmailInternet", {0, 0, 365, 167}},
                {"panMenu", "frmImpEmailInternet", {365, 0, 55, 167}},
                {"panProgresso", "frmImpEmailInternet", {0, 167, 420, 32}}});
  EXPECT_LE(widget("grbDetEmail").geometry().bottom(), widget("grbDadosRel").height());
  EXPECT_EQ(frame->height(), foldedFrameHeight + 83);

  screen.btfDetalhes.click();
  ui::application().flush();
  EXPECT_EQ(client.size(), QSize(420, 116));
  EXPECT_EQ(frame->height(), foldedFrameHeight);
  EXPECT_FALSE(widget("grbDetEmail").isVisible());
  expectPlaces({{"panProgresso", "frmImpEmailInternet", {0, 84, 420, 32}}});
  ::boEmail = false;
}

struct DialogCase {
  ui::MsgDlgType type;
  ui::MsgDlgButtons buttons;
  QStringList captions;  // left to right
  QString press;
  int result;
};

TEST_F(QtBackendTest, a_dialog_answers_the_result_code_of_the_portuguese_button_pressed) {
  using B = ui::MsgDlgBtn;
  const std::vector<DialogCase> cases = {
      {ui::MsgDlgType::Confirmation, {B::Yes, B::No}, {"Sim", "Não"}, "Sim", ui::kMrYes},
      {ui::MsgDlgType::Confirmation, {B::Yes, B::No}, {"Sim", "Não"}, "Não", ui::kMrNo},
      {ui::MsgDlgType::Error, B::OK, {"OK"}, "OK", ui::kMrOk},
      {ui::MsgDlgType::Warning, {B::OK, B::Cancel}, {"OK", "Cancelar"}, "Cancelar", ui::kMrCancel},
      {ui::MsgDlgType::Information,
       {B::Abort, B::Retry, B::Ignore},
       {"Abortar", "Repetir", "Ignorar"},
       "Repetir",
       ui::kMrRetry},
      {ui::MsgDlgType::Confirmation,
       {B::Yes, B::No, B::YesToAll, B::NoToAll, B::All},
       {"Sim", "Não", "Todos", "Não para todos", "Sim para todos"},
       "Sim para todos",
       ui::kMrYesToAll},
  };
  window_.show();
  for (const DialogCase& c : cases) {
    SCOPED_TRACE(c.press.toStdString());
    DialogOperator person;
    person.answer(c.press);
    int result = ui::application().messageDlg("Parar importação?", c.type, c.buttons, 0);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(person.seen().size(), 1u);
    EXPECT_EQ(person.seen()[0].text, "Parar importação?");
    EXPECT_EQ(person.seen()[0].buttons, c.captions);
  }
}

TEST_F(QtBackendTest, the_search_button_opens_the_file_dialog_with_the_screen_s_filter) {
  import::moduleStartUp();
  screen::TfrmImpEmailInternet screen;
  window_.show();
  ui::application().flush();
  const QString chosen =
      QString::fromStdString((testing::scratchDirectory() / "chosen.log").string());
  std::ofstream(chosen.toStdString()) << "Dec  5 10:00:00 mx postfix/qmgr[1]: x\n";
  QStringList filters;
  // The operator picks a file, then opens the dialog again and cancels.
  for (bool pick : {true, false}) {
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      filters = dialog->nameFilters();
      if (pick) {
        dialog->selectFile(chosen);
        static_cast<QDialog*>(dialog)->accept();
      } else {
        dialog->reject();
      }
    });
    static_cast<QAbstractButton&>(widget("btpArqEmail")).click();
    ui::application().flush();
    EXPECT_EQ(filters, (QStringList{"Arquivos para importação (*.txt, *.log) (*.txt *.log)",
                                    "Todos os arquivos (*)"}));
    EXPECT_EQ(screen.edtArqEmail.text(), chosen.toStdString());
    EXPECT_EQ(static_cast<QLineEdit&>(widget("edtArqEmail")).text(), chosen);
  }
}

TEST_F(QtBackendTest, the_wait_cursor_and_busy_animation_show_at_once_and_go_after_a_pause) {
  window_.show();
  auto busyShown = [this] {
    for (QWidget* w : window_.findChildren<QWidget*>()) {
      if (dynamic_cast<BusyIndicator*>(w) != nullptr && w->isVisible()) return true;
    }
    return false;
  };
  auto waitCursor = [] {
    return QGuiApplication::overrideCursor() != nullptr &&
           QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
  };
  auto settle = [] {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 2 * QtBackend::kSettleDelay.count()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
  };
  // Many short server calls, as an upload makes them: shown at the first, kept in between.
  for (int call = 0; call < 3; ++call) {
    ui::application().showBusy(nullptr, 1);
    ui::application().setCursor(ui::kCrHourGlass);
    EXPECT_TRUE(busyShown());
    EXPECT_TRUE(waitCursor());
    ui::application().setCursor(ui::kCrDefault);
    ui::application().hideBusy();
    EXPECT_TRUE(busyShown());
  }
  settle();
  EXPECT_FALSE(busyShown());
  EXPECT_FALSE(waitCursor());
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST_F(QtBackendTest, the_pump_handles_input_at_once_and_paints_only_once_its_period_is_over) {
  import::moduleStartUp();
  screen::TfrmImpEmailInternet screen;
  window_.show();
  ui::application().flush();
  QCoreApplication::processEvents();
  auto& status = static_cast<QLabel&>(widget("lblProgresso"));
  PaintCounter counter(status);
  backend_.setEventPeriod(std::chrono::milliseconds(0));
  backend_.setPaintPeriod(std::chrono::hours(1));
  backend_.processEvents();  // the first pump paints: none has yet

  // Within the paint period the pump runs what waits (input) and draws the new status, but
  // paints nothing; a dialog that the input opens paints the screen behind it.
  bool handled = false;
  int paintedBehindDialog = -1;
  QMetaObject::invokeMethod(
      &window_,
      [&] {
        handled = true;
        DialogOperator person;
        person.answer("OK");
        QTimer::singleShot(0, [&] { paintedBehindDialog = counter.paints; });
        ui::application().messageDlg("Aviso", ui::MsgDlgType::Warning, ui::MsgDlgBtn::OK, 0);
      },
      Qt::QueuedConnection);
  screen.lblProgresso.setCaption("Importando 1/2");
  ui::application().flush();
  backend_.processEvents();
  EXPECT_TRUE(handled);
  EXPECT_EQ(status.text(), "Importando 1/2");
  EXPECT_GT(paintedBehindDialog, 0);

  counter.paints = 0;
  screen.lblProgresso.setCaption("Importando 2/2");
  ui::application().flush();
  for (int pump = 0; pump < 3; ++pump) {
    backend_.processEvents();
    backend_.repaint(screen);
  }
  EXPECT_EQ(counter.paints, 0);
  // The paint held back is not lost: the event loop the import returns to paints it.
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, 1);

  // Once the period is over, the pump paints, and so does the module's refresh.
  backend_.setPaintPeriod(std::chrono::milliseconds(0));
  screen.lblProgresso.setCaption("Importando 3/4");
  ui::application().flush();
  backend_.processEvents();
  EXPECT_EQ(counter.paints, 2);
  screen.lblProgresso.setCaption("Importando 4/4");
  ui::application().flush();
  backend_.repaint(screen);
  EXPECT_EQ(counter.paints, 3);
}

TEST(QtBackendFilterTest, the_file_filter_reads_as_qt_writes_it_and_star_dot_star_takes_all) {
  const std::vector<std::pair<std::string, QString>> cases = {
      {screen::TfrmImpEmailInternet::kFileFilter,
       "Arquivos para importação (*.txt, *.log) (*.txt *.log);;Todos os arquivos (*)"},
      {"Logs|*.log", "Logs (*.log)"},
      {"", ""},
  };
  for (const auto& [filter, expected] : cases) {
    EXPECT_EQ(QtBackend::qtFileFilter(filter), expected) << filter;
  }
}

}  // namespace
}  // namespace zeb::desktop
