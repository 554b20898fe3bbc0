#include "qt_widgets.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPixmap>
#include <exception>

#include "host/exception_handler.h"
#include "platform/ui/application.h"

namespace zeb::desktop {

namespace ui = platform::ui;

void requestClose(ui::Form& form) {
  try {
    form.close();
  } catch (...) {
    host::HandleException(std::current_exception());
  }
  ui::application().flush();
}

void FormWidget::closeEvent(QCloseEvent* event) {
  // The form hides itself, or not; the widget follows it when its change is drawn.
  event->ignore();
  requestClose(form_);
}

void FormSubWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  requestClose(form_);
}

namespace {

QPixmap magnifier(const QColor& color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(color, 1.6));
  painter.setBrush(QColor(255, 255, 255, 160));
  painter.drawEllipse(QRectF(2, 2, 8, 8));
  painter.setPen(QPen(color, 2.6, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(9.5, 9.5), QPointF(13.5, 13.5));
  return pixmap;
}

}  // namespace

QIcon searchGlyph() {
  QIcon icon;
  icon.addPixmap(magnifier(QColor(0, 0, 128)), QIcon::Normal);
  icon.addPixmap(magnifier(QColor(128, 128, 128)), QIcon::Disabled);
  return icon;
}

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFixedSize(48, 48);
  hide();
  timer_.setInterval(80);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { step(); });
}

void BusyIndicator::start() {
  if (QWidget* over = parentWidget()) {
    move((over->width() - width()) / 2, (over->height() - height()) / 2);
  }
  show();
  raise();
  timer_.start();
  // The module may wait for the server right after this without handling events.
  repaint();
}

void BusyIndicator::stop() {
  timer_.stop();
  hide();
}

void BusyIndicator::step() {
  frame_ = (frame_ + 1) % 12;
  update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(255, 255, 255, 200));
  painter.drawRoundedRect(rect(), 8, 8);
  painter.translate(width() / 2.0, height() / 2.0);
  for (int i = 0; i < 12; ++i) {
    int age = (frame_ - i + 12) % 12;
    painter.setBrush(QColor(0, 0, 128, 255 - age * 18));
    painter.drawRoundedRect(QRectF(-2, -19, 4, 9), 2, 2);
    painter.rotate(30);
  }
}

}  // namespace zeb::desktop
