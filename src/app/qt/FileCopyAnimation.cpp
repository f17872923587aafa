#include "app/qt/FileCopyAnimation.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace mx {
namespace {

constexpr int kFrameMilliseconds = 70;
const QColor kFolderColour(0xF0, 0xD0, 0x60);
const QColor kFolderEdge(0x80, 0x60, 0x10);

}  // namespace

FileCopyAnimation::FileCopyAnimation(QWidget* parent) : QWidget(parent) {
  setFixedSize(kWidth, kHeight);
  ticker_.setInterval(kFrameMilliseconds);
  QObject::connect(&ticker_, &QTimer::timeout, this, [this] { NextFrame(); });
}

void FileCopyAnimation::SetRunning(bool running) {
  if (running_ == running) return;
  running_ = running;
  frame_ = 0;
  UpdateTimer();
  update();
}

void FileCopyAnimation::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  UpdateTimer();
}

void FileCopyAnimation::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  UpdateTimer();
}

void FileCopyAnimation::UpdateTimer() {
  if (running_ && isVisible()) {
    if (!ticker_.isActive()) ticker_.start();
  } else {
    ticker_.stop();
  }
}

void FileCopyAnimation::NextFrame() {
  frame_ = (frame_ + 1) % kFrames;
  update();
}

void FileCopyAnimation::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawFolder(painter, QRectF(2, 22, 24, 20));
  DrawFolder(painter, QRectF(kWidth - 26, 22, 24, 20));
  if (running_) DrawSheet(painter);
}

void FileCopyAnimation::DrawFolder(QPainter& painter, QRectF box) const {
  QPainterPath folder;
  folder.moveTo(box.left(), box.top() + 4);
  folder.lineTo(box.left() + 8, box.top() + 4);
  folder.lineTo(box.left() + 10, box.top());
  folder.lineTo(box.left() + 18, box.top());
  folder.lineTo(box.left() + 20, box.top() + 4);
  folder.lineTo(box.right(), box.top() + 4);
  folder.lineTo(box.right(), box.bottom());
  folder.lineTo(box.left(), box.bottom());
  folder.closeSubpath();
  painter.setPen(QPen(kFolderEdge, 1));
  painter.setBrush(kFolderColour);
  painter.drawPath(folder);
}

// The sheet travels on an arc from the left folder to the right one.
void FileCopyAnimation::DrawSheet(QPainter& painter) const {
  const double progress = static_cast<double>(frame_) / (kFrames - 1);
  const double startX = 8;
  const double endX = kWidth - 20;
  const double x = startX + (endX - startX) * progress;
  const double y = 24 - 20 * std::sin(progress * M_PI);
  const QRectF sheet(x, y, 10, 13);
  painter.setPen(QPen(Qt::darkGray, 1));
  painter.setBrush(Qt::white);
  painter.drawRect(sheet);
  painter.setPen(QPen(QColor(0x40, 0x40, 0xC0), 1));
  for (int line = 0; line < 3; ++line) {
    const double lineY = sheet.top() + 3 + line * 3;
    painter.drawLine(QPointF(sheet.left() + 2, lineY), QPointF(sheet.right() - 2, lineY));
  }
}

}  // namespace mx
