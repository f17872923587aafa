#pragma once

#include <QTimer>
#include <QWidget>

namespace mx {

// Animate1: a small "file copy" clip drawn in code (a sheet flying from one
// folder to another). The timer runs only while the clip runs and is shown,
// so an idle window costs no CPU.
class FileCopyAnimation final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 80;
  static constexpr int kHeight = 50;  // at most 50 pixels high
  static constexpr int kFrames = 16;

  explicit FileCopyAnimation(QWidget* parent = nullptr);

  void SetRunning(bool running);
  bool IsRunning() const { return running_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void UpdateTimer();
  void NextFrame();
  void DrawFolder(QPainter& painter, QRectF box) const;
  void DrawSheet(QPainter& painter) const;

  QTimer ticker_;
  bool running_ = false;
  int frame_ = 0;
};

}  // namespace mx
