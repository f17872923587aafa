#pragma once

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;

namespace mx {

// The help window helpFrm: a read-only memo with the contact block and the
// program's name. Created for one modal showing and destroyed after it.
class ThelpFrm final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kWidth = 566;
  static constexpr int kHeight = 470;

  explicit ThelpFrm(QWidget* parent = nullptr);

  QPlainTextEdit* Memo1() const { return memo1_; }

  // The memo's lines, in order.
  static QStringList Lines();

 private:
  QPlainTextEdit* memo1_;
};

}  // namespace mx
