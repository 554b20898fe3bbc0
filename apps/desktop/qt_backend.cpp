#include "qt_backend.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>

#include "host/exception_handler.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "qt_widgets.h"

namespace zeb::desktop {

namespace ui = platform::ui;
namespace changes = ui::changes;

namespace {

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Runs an operator's action on a control: an error goes to the host, never back into Qt, and
// what the handler changed is drawn at once rather than at the next pump.
template <typename Action>
void operatorAction(Action&& action) {
  try {
    action();
  } catch (...) {
    host::HandleException(std::current_exception());
  }
  ui::application().flush();
}

// The font of the toolkit the screens were designed for, which a form without a font of its
// own takes.
constexpr const char* kDesignFont = "MS Sans Serif";
constexpr int kDesignFontHeight = 11;

// The family, when the system has it; otherwise the system's sans serif (and "fallback" says
// so).
QString availableFamily(const std::string& family, bool& fallback) {
  QString name = qs(family);
  fallback = !QFontDatabase::hasFamily(name);
  if (!fallback) return name;
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

}  // namespace

// Hands the keys typed into a form to the form first, as the toolkit's forms see them.
class KeyFilter : public QObject {
 public:
  KeyFilter() = default;

  void addForm(QWidget* widget, ui::Form* form) { forms_[widget] = {form, form}; }
  // "form" may be in its destructor, no longer a Form but a Control.
  void removeForm(const ui::Control* form) {
    std::erase_if(forms_, [form](const auto& entry) { return entry.second.control == form; });
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    // A key travels up the parents while nobody takes it; the form sees it once, first.
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr || widget != QApplication::focusWidget()) return false;
    char key = keyCharacter(*static_cast<QKeyEvent*>(event));
    if (key == 0) return false;
    for (QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
      auto found = forms_.find(w);
      if (found == forms_.end()) continue;
      char left = key;
      operatorAction([&] { left = found->second.form->keyPress(key); });
      return left == 0;
    }
    return false;
  }

 private:
  static char keyCharacter(const QKeyEvent& event) {
    switch (event.key()) {
      case Qt::Key_Escape:
        return ui::kKeyEscape;
      case Qt::Key_Return:
      case Qt::Key_Enter:
        return ui::kKeyEnter;
      default:
        break;
    }
    QString text = event.text();
    if (text.size() == 1 && text[0].unicode() > 0 && text[0].unicode() < 128) {
      return static_cast<char>(text[0].unicode());
    }
    return 0;
  }

  struct Entry {
    ui::Form* form;
    const ui::Control* control;  // the same, taken while it was whole, to compare with
  };
  std::map<QWidget*, Entry> forms_;
};

// Holds back, while closed, the requests to paint a window that Qt delivers in the pump's own
// event loop level, and asks for them again when opened: a window whose request was taken asks
// for no other until it has painted, so a request must never be dropped.
class PaintGate : public QObject {
 public:
  // Closed, the gate holds the requests that reach the current loop level; a nested loop (a
  // dialog, a menu) paints.
  void close() {
    level_ = QThread::currentThread()->loopLevel();
    closed_ = true;
  }
  void open() {
    closed_ = false;
    for (const QPointer<QWidget>& window : held_) {
      if (window) {
        QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest),
                                    Qt::LowEventPriority);
      }
    }
    held_.clear();
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (!closed_ || event->type() != QEvent::UpdateRequest) return false;
    if (QThread::currentThread()->loopLevel() != level_) return false;
    auto* window = qobject_cast<QWidget*>(object);
    if (window == nullptr) return false;
    if (std::find(held_.begin(), held_.end(), window) == held_.end()) held_.emplace_back(window);
    return true;
  }

 private:
  bool closed_ = false;
  int level_ = 0;
  std::vector<QPointer<QWidget>> held_;
};

QtBackend::QtBackend(QWidget* mainWindow, QMdiArea* mdiArea)
    : mainWindow_(mainWindow),
      mdiArea_(mdiArea),
      keyFilter_(new KeyFilter),
      paintGate_(new PaintGate),
      settleTimer_(std::make_unique<QTimer>()) {
  qApp->installEventFilter(keyFilter_);
  qApp->installEventFilter(paintGate_);
  settleTimer_->setSingleShot(true);
  QObject::connect(settleTimer_.get(), &QTimer::timeout, [this] { settle(); });
}

QtBackend::~QtBackend() {
  qApp->removeEventFilter(keyFilter_);
  delete keyFilter_;
  qApp->removeEventFilter(paintGate_);
  delete paintGate_;
  delete busy_;
  if (waitCursor_) QGuiApplication::restoreOverrideCursor();
  // The forms' windows go with the backend; their controls may outlive it.
  for (auto& [control, b] : bound_) {
    if (control->kind() == ui::ControlKind::Form && b.frame) delete b.frame.data();
  }
}

QWidget* QtBackend::widgetOf(const ui::Control& control) const {
  const Bound* b = bound(control);
  return b != nullptr ? b->widget.data() : nullptr;
}

QWidget* QtBackend::frameOf(const ui::Form& form) const {
  const Bound* b = bound(form);
  return b != nullptr ? b->frame.data() : nullptr;
}

QtBackend::Bound* QtBackend::bound(const ui::Control& control) const {
  auto found = bound_.find(&control);
  return found != bound_.end() ? const_cast<Bound*>(&found->second) : nullptr;
}

QString QtBackend::buttonCaption(ui::MsgDlgBtn button) {
  switch (button) {
    case ui::MsgDlgBtn::Yes:
      return QStringLiteral("Sim");
    case ui::MsgDlgBtn::No:
      return QStringLiteral("Não");
    case ui::MsgDlgBtn::OK:
      return QStringLiteral("OK");
    case ui::MsgDlgBtn::Cancel:
      return QStringLiteral("Cancelar");
    case ui::MsgDlgBtn::Abort:
      return QStringLiteral("Abortar");
    case ui::MsgDlgBtn::Retry:
      return QStringLiteral("Repetir");
    case ui::MsgDlgBtn::Ignore:
      return QStringLiteral("Ignorar");
    case ui::MsgDlgBtn::All:
      return QStringLiteral("Todos");
    case ui::MsgDlgBtn::NoToAll:
      return QStringLiteral("Não para todos");
    case ui::MsgDlgBtn::YesToAll:
      return QStringLiteral("Sim para todos");
    case ui::MsgDlgBtn::Help:
      return QStringLiteral("Ajuda");
  }
  return {};
}

QString QtBackend::dialogTitle(ui::MsgDlgType type) {
  switch (type) {
    case ui::MsgDlgType::Warning:
      return QStringLiteral("Aviso");
    case ui::MsgDlgType::Error:
      return QStringLiteral("Erro");
    case ui::MsgDlgType::Information:
      return QStringLiteral("Informação");
    case ui::MsgDlgType::Confirmation:
      return QStringLiteral("Confirmação");
    case ui::MsgDlgType::Custom:
      break;
  }
  return QApplication::applicationDisplayName();
}

QString QtBackend::qtFileFilter(std::string_view filter) {
  QStringList choices;
  for (const ui::FileFilter& choice : ui::parseFileFilter(filter)) {
    QStringList patterns;
    for (const std::string& pattern : choice.patterns) {
      patterns << (pattern == "*.*" ? QStringLiteral("*") : qs(pattern));
    }
    choices << qs(choice.description) + " (" + patterns.join(' ') + ")";
  }
  return choices.join(";;");
}

QColor QtBackend::colorOf(ui::Color color) {
  if (!ui::isSystemColor(color)) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
  }
  // The system colour indices of the toolkit the screens were designed for.
  QPalette::ColorRole role = QPalette::Window;
  switch (ui::systemColorIndex(color)) {
    case 5:  // the window background (edit fields, lists)
      role = QPalette::Base;
      break;
    case 8:  // window text
      role = QPalette::Text;
      break;
    case 13:  // highlight
      role = QPalette::Highlight;
      break;
    case 14:  // highlighted text
      role = QPalette::HighlightedText;
      break;
    case 15:  // the button face
      role = QPalette::Button;
      break;
    case 16:  // button shadow
      role = QPalette::Dark;
      break;
    case 18:  // button text
      role = QPalette::ButtonText;
      break;
    case 20:  // button highlight
      role = QPalette::Light;
      break;
    case 23:  // hint text
      role = QPalette::ToolTipText;
      break;
    case 24:  // hint background
      role = QPalette::ToolTipBase;
      break;
    default:
      break;
  }
  return QApplication::palette().color(QPalette::Active, role);
}

void QtBackend::processEvents() {
  auto now = std::chrono::steady_clock::now();
  if (now - lastEvents_ < eventPeriod_) return;
  lastEvents_ = now;
  if (now - lastPaint_ >= paintPeriod_) {
    lastPaint_ = now;
    if (busy_ != nullptr && busy_->isVisible()) busy_->step();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  struct Closed {
    explicit Closed(PaintGate& gate) : gate(gate) { gate.close(); }
    ~Closed() { gate.open(); }
    PaintGate& gate;
  } closed(*paintGate_);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QtBackend::Bound& QtBackend::bind(ui::Control& control) { return bound_[&control]; }

QWidget* QtBackend::createForm(ui::Form& form, Bound& b) {
  auto* widget = new FormWidget(form, nullptr);
  widget->setObjectName(qs(form.name()));
  widget->setAttribute(Qt::WA_DeleteOnClose, false);
  b.widget = widget;
  if (form.formStyle() == ui::FormStyle::MDIChild && mdiArea_) {
    auto* frame = new FormSubWindow(form, nullptr);
    frame->setObjectName(qs(form.name()) + "Frame");
    frame->setAttribute(Qt::WA_DeleteOnClose, false);
    frame->setWidget(widget);
    // A fixed, single border: the screens are laid out for their designed size.
    frame->setWindowFlags(Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    mdiArea_->addSubWindow(frame);
    frame->hide();
    b.frame = frame;
  } else {
    b.frame = widget;
  }
  keyFilter_->addForm(b.frame, &form);
  keyFilter_->addForm(widget, &form);
  return widget;
}

QWidget* QtBackend::create(ui::Control& control, QWidget* parent, Bound& b) {
  QWidget* widget = nullptr;
  switch (control.kind()) {
    case ui::ControlKind::Form:
      return createForm(static_cast<ui::Form&>(control), b);
    case ui::ControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      widget = label;
      break;
    }
    case ui::ControlKind::Edit: {
      auto* edit = new QLineEdit(parent);
      auto* model = static_cast<ui::Edit*>(&control);
      // Only the operator's typing: the program's own changes are drawn from the control.
      QObject::connect(edit, &QLineEdit::textEdited, edit, [model](const QString& text) {
        operatorAction([&] { model->setText(text.toStdString()); });
      });
      widget = edit;
      break;
    }
    case ui::ControlKind::Button: {
      auto* model = static_cast<ui::Button*>(&control);
      QAbstractButton* button = nullptr;
      if (model->style() == ui::ButtonStyle::kPush) {
        button = new QPushButton(parent);
      } else {
        auto* tool = new QToolButton(parent);
        tool->setAutoRaise(true);
        if (model->style() == ui::ButtonStyle::kSearch) {
          tool->setIcon(searchGlyph());
          tool->setIconSize(QSize(16, 16));
          tool->setToolButtonStyle(Qt::ToolButtonIconOnly);
        } else {
          tool->setToolButtonStyle(Qt::ToolButtonTextOnly);
        }
        button = tool;
      }
      // press(), not click(): a button the operator cannot reach does nothing.
      QObject::connect(button, &QAbstractButton::clicked, button,
                       [model] { operatorAction([&] { model->press(); }); });
      widget = button;
      break;
    }
    case ui::ControlKind::GroupBox:
      widget = new QGroupBox(parent);
      // The caption sits on the frame's top line, as the screens were drawn, not above it: the
      // children's designed places count from the box's top.
      widget->setStyleSheet(
          "QGroupBox { border: 1px solid palette(mid); margin-top: 6px; }"
          "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
          " left: 6px; padding: 0px 2px; background-color: palette(window); }");
      break;
    case ui::ControlKind::Panel: {
      auto* frame = new QFrame(parent);
      frame->setFrameShape(QFrame::Panel);
      frame->setFrameShadow(QFrame::Raised);
      widget = frame;
      break;
    }
    case ui::ControlKind::ProgressBar:
      widget = new ProgressWidget(parent);
      break;
  }
  widget->setObjectName(qs(control.name()));
  b.widget = widget;
  b.frame = widget;
  return widget;
}

void QtBackend::draw(ui::Control& control, unsigned what) {
  Bound& b = bind(control);
  bool isForm = control.kind() == ui::ControlKind::Form;
  QWidget* parent = nullptr;
  if (!isForm) {
    // A control outside any form is not shown; it is drawn when it joins one.
    if (control.parent() == nullptr || control.form() == nullptr) return;
    parent = widgetOf(*control.parent());
    if (parent == nullptr) return;
  }
  if (!b.widget) {
    create(control, parent, b);
    what = changes::kAll;
  } else if ((what & changes::kParent) != 0 && !isForm && b.widget->parentWidget() != parent) {
    b.widget->setParent(parent);
    what |= changes::kVisible | changes::kGeometry;
  }
  QWidget& widget = *b.widget;

  if ((what & changes::kText) != 0) drawText(control, widget);
  if ((what & changes::kHint) != 0) {
    QString tip = control.showHint() ? qs(control.hint()) : QString();
    widget.setToolTip(tip);
    if (b.frame != b.widget) b.frame->setToolTip(tip);
  }
  if ((what & changes::kFont) != 0) drawFont(control, widget);
  if ((what & changes::kEnabled) != 0) widget.setEnabled(control.enabled());
  if ((what & changes::kColor) != 0 && control.kind() == ui::ControlKind::Edit) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Base, colorOf(static_cast<ui::Edit&>(control).color()));
    widget.setPalette(palette);
  }
  if ((what & changes::kProgress) != 0 && control.kind() == ui::ControlKind::ProgressBar) {
    auto& bar = static_cast<ui::ProgressBar&>(control);
    auto& shown = static_cast<ProgressWidget&>(widget);
    if (bar.style() == ui::ProgressBarStyle::Marquee) {
      shown.setMarquee(bar.position());
    } else {
      shown.setValue(static_cast<int>(std::lround(bar.shownFraction() * ProgressWidget::kSteps)));
    }
  }
  if (isForm) {
    drawForm(static_cast<ui::Form&>(control), b, what);
    return;
  }
  if ((what & changes::kGeometry) != 0) {
    widget.setGeometry(control.left(), control.top(), control.width(), control.height());
    if (control.kind() == ui::ControlKind::Label && static_cast<ui::Label&>(control).autoSize()) {
      widget.resize(widget.sizeHint().width(), control.height());
    }
  }
  if ((what & changes::kVisible) != 0) widget.setVisible(control.visible());
}

void QtBackend::drawForm(ui::Form& form, Bound& b, unsigned what) {
  QWidget& frame = *b.frame;
  if ((what & changes::kText) != 0) frame.setWindowTitle(qs(form.caption()));
  if ((what & changes::kGeometry) != 0) {
    // The designed sizes are the client area's; the frame is the window system's.
    b.widget->setFixedSize(form.clientWidth(), form.clientHeight());
    if (&frame != b.widget.data()) frame.adjustSize();
    frame.move(form.left(), form.top());
  }
  if ((what & (changes::kVisible | changes::kWindowState)) != 0) {
    if (!form.visible()) {
      frame.hide();
    } else {
      switch (form.windowState()) {
        case ui::WindowState::Normal:
          frame.showNormal();
          break;
        case ui::WindowState::Minimized:
          frame.showMinimized();
          break;
        case ui::WindowState::Maximized:
          frame.showMaximized();
          break;
      }
      if ((what & changes::kVisible) != 0) frame.raise();
    }
  }
}

void QtBackend::drawText(ui::Control& control, QWidget& widget) {
  QString text = qs(control.text());
  switch (control.kind()) {
    case ui::ControlKind::Form:
      break;  // the frame's title, in drawForm
    case ui::ControlKind::Label:
      static_cast<QLabel&>(widget).setText(text);
      if (static_cast<ui::Label&>(control).autoSize()) {
        widget.resize(widget.sizeHint().width(), control.height());
      }
      break;
    case ui::ControlKind::Edit: {
      auto& edit = static_cast<QLineEdit&>(widget);
      if (edit.text() != text) edit.setText(text);
      break;
    }
    case ui::ControlKind::Button:
      if (static_cast<ui::Button&>(control).style() != ui::ButtonStyle::kSearch) {
        static_cast<QAbstractButton&>(widget).setText(text);
      }
      break;
    case ui::ControlKind::GroupBox:
      static_cast<QGroupBox&>(widget).setTitle(text);
      break;
    case ui::ControlKind::Panel:
    case ui::ControlKind::ProgressBar:
      break;
  }
}

void QtBackend::drawFont(ui::Control& control, QWidget& widget) {
  std::string family = control.fontName();
  int height = control.fontHeight();
  if (control.kind() == ui::ControlKind::Form && family.empty() && height == 0) {
    family = kDesignFont;
    height = kDesignFontHeight;
  }
  // What the control leaves unset it takes from its parent, as Qt's fonts do; a control with a
  // font of its own is regular unless it says bold, whatever its parent is.
  QFont font;
  bool fallback = false;
  if (!family.empty()) font.setFamily(availableFamily(family, fallback));
  // The design's bitmap font is narrow; a condensed face of the stand-in keeps the designed
  // captions within their fixed widths.
  if (fallback) font.setStretch(QFont::SemiCondensed);
  if (height > 0) font.setPixelSize(height);
  if (control.bold() || !family.empty() || height > 0) font.setBold(control.bold());
  widget.setFont(font);
}

void QtBackend::repaint(ui::Form& /*form*/) {
  // Only what changed is painted, without handling the operator's input: a loop that repaints
  // here need not be ready for a click yet. The input's period is not touched: were a paint to
  // count against it, a loop that repaints just before each pump (the upload does, row by row)
  // would keep the operator's clicks waiting for as long as the pair keeps that order.
  auto now = std::chrono::steady_clock::now();
  if (now - lastPaint_ < paintPeriod_) return;
  lastPaint_ = now;
  if (busy_ != nullptr && busy_->isVisible()) busy_->step();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

void QtBackend::controlDestroyed(ui::Control& control) {
  auto found = bound_.find(&control);
  if (found == bound_.end()) return;
  Bound b = found->second;
  bound_.erase(found);
  if (control.kind() == ui::ControlKind::Form) {
    // The form's own destructor has run: it is only a Control now, and is not cast back.
    keyFilter_->removeForm(&control);
    if (b.frame && b.frame != b.widget) {
      if (mdiArea_) mdiArea_->removeSubWindow(b.frame);
      delete b.frame.data();
    }
  }
  delete b.widget.data();
}

void QtBackend::setFocus(ui::Control& control) {
  if (QWidget* widget = widgetOf(control)) widget->setFocus(Qt::OtherFocusReason);
}

void QtBackend::setCursor(int cursor) {
  wantWait_ = cursor == ui::kCrHourGlass;
  if (wantWait_ && !waitCursor_) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    waitCursor_ = true;
  } else if (!wantWait_ && waitCursor_) {
    settleTimer_->start(kSettleDelay);
  }
}

void QtBackend::settle() {
  if (!wantWait_ && waitCursor_) {
    QGuiApplication::restoreOverrideCursor();
    waitCursor_ = false;
  }
  if (!wantBusy_ && busy_ != nullptr) busy_->stop();
}

QWidget* QtBackend::dialogParent() const {
  if (QWidget* active = QApplication::activeWindow()) return active;
  return mainWindow_.data();
}

int QtBackend::messageDlg(std::string_view text, ui::MsgDlgType type, ui::MsgDlgButtons buttons,
                          int /*helpCtx*/) {
  std::vector<ui::MsgDlgBtn> offered = buttons.list();
  if (offered.empty()) offered.push_back(ui::MsgDlgBtn::OK);
  if (unattended_) {
    std::fprintf(stderr, "zeb18000-desktop: %.*s\n", static_cast<int>(text.size()), text.data());
    for (ui::MsgDlgBtn pick : {ui::MsgDlgBtn::OK, ui::MsgDlgBtn::Yes}) {
      if (buttons.contains(pick)) return ui::modalResultOf(pick);
    }
    return ui::modalResultOf(offered.front());
  }

  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (type) {
    case ui::MsgDlgType::Warning:
      icon = QMessageBox::Warning;
      break;
    case ui::MsgDlgType::Error:
      icon = QMessageBox::Critical;
      break;
    case ui::MsgDlgType::Information:
      icon = QMessageBox::Information;
      break;
    case ui::MsgDlgType::Confirmation:
      icon = QMessageBox::Question;
      break;
    case ui::MsgDlgType::Custom:
      break;
  }
  // The screen behind the dialog paints while it waits, even when a pump held its last paint.
  paintGate_->open();
  QMessageBox box(icon, dialogTitle(type), qs(text), QMessageBox::NoButton, dialogParent());
  std::map<QAbstractButton*, int> results;
  QPushButton* escape = nullptr;
  for (ui::MsgDlgBtn b : offered) {
    // In the order the toolkit lists them, left to right, whatever the desktop's habit.
    QPushButton* button =
        box.addButton(buttonCaption(b),
                      b == ui::MsgDlgBtn::Help ? QMessageBox::HelpRole : QMessageBox::ActionRole);
    results[button] = ui::modalResultOf(b);
    if (b == ui::MsgDlgBtn::Cancel || (b == ui::MsgDlgBtn::No && escape == nullptr) ||
        (offered.size() == 1)) {
      escape = button;
    }
  }
  box.setDefaultButton(static_cast<QPushButton*>(box.buttons().front()));
  if (escape != nullptr) box.setEscapeButton(escape);
  // The dialog's own arrow, also while the screen shows the hourglass.
  if (waitCursor_) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
  box.exec();
  if (waitCursor_) QGuiApplication::restoreOverrideCursor();
  auto found = results.find(box.clickedButton());
  return found != results.end() ? found->second : ui::kMrCancel;
}

std::optional<std::string> QtBackend::openFileDialog(std::string_view title,
                                                     std::string_view filter) {
  if (unattended_) return std::nullopt;
  paintGate_->open();
  QString path = QFileDialog::getOpenFileName(
      dialogParent(), title.empty() ? QStringLiteral("Abrir") : qs(title), QString(),
      qtFileFilter(filter), nullptr, QFileDialog::HideNameFilterDetails);
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<std::vector<std::string>> QtBackend::openFilesDialog(std::string_view title,
                                                                   std::string_view filter) {
  if (unattended_) return std::nullopt;
  paintGate_->open();
  QStringList paths = QFileDialog::getOpenFileNames(
      dialogParent(), title.empty() ? QStringLiteral("Abrir") : qs(title), QString(),
      qtFileFilter(filter), nullptr, QFileDialog::HideNameFilterDetails);
  if (paths.isEmpty()) return std::nullopt;
  std::vector<std::string> chosen;
  for (const QString& path : paths) chosen.push_back(path.toStdString());
  return chosen;
}

void QtBackend::showBusy(ui::Form* owner, int /*kind*/) {
  QWidget* over = mainWindow_.data();
  if (over == nullptr && owner != nullptr) over = frameOf(*owner);
  if (over == nullptr) return;
  wantBusy_ = true;
  if (busy_ == nullptr || busy_->parentWidget() != over) {
    delete busy_;
    busy_ = new BusyIndicator(over);
  }
  if (!busy_->isVisible()) busy_->start();
}

void QtBackend::hideBusy() {
  wantBusy_ = false;
  if (busy_ != nullptr && busy_->isVisible()) settleTimer_->start(kSettleDelay);
}

}  // namespace zeb::desktop
