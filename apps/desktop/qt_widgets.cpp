#include "qt_widgets.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>
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

void ProgressWidget::setValue(int value) {
  if (value == value_ && marquee_ < 0) return;
  value_ = value;
  marquee_ = -1;
  update();
}

void ProgressWidget::setMarquee(int count) {
  // A step of the block every 256 units (KiB read): it moves while the reading goes on.
  int place = (count / 256) % 20;
  if (place == marquee_) return;
  marquee_ = place;
  update();
}

void ProgressWidget::paintEvent(QPaintEvent*) {
  QStyleOptionProgressBar option;
  option.initFrom(this);
  option.minimum = 0;
  option.maximum = kSteps;
  option.progress = value_;
  option.textVisible = false;
  option.state |= QStyle::State_Horizontal;
  QPainter painter(this);
  if (marquee_ < 0) {
    style()->drawControl(QStyle::CE_ProgressBar, &option, &painter, this);
    return;
  }
  // A fifth of the bar, sliding from one end to the other and back.
  style()->drawControl(QStyle::CE_ProgressBarGroove, &option, &painter, this);
  int travel = marquee_ < 10 ? marquee_ : 20 - marquee_;
  int width = std::max(1, rect().width() / 5);
  QRect block(rect().left() + (rect().width() - width) * travel / 10, rect().top(), width,
              rect().height());
  painter.fillRect(block.adjusted(1, 2, -1, -2), palette().highlight());
}

QIcon applicationIcon() {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    painter.setPen(QPen(QColor(0, 0, 128), 1));
    painter.setBrush(QColor(255, 250, 220));
    painter.drawRect(QRectF(1.5, 3.5, 13, 9));
    painter.drawPolyline(QPolygonF({QPointF(1.5, 3.5), QPointF(8, 9), QPointF(14.5, 3.5)}));
    icon.addPixmap(pixmap);
  }
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
