#include "app/qt/helpu.h"

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

#include "app/form/FormLayout.h"

namespace mx {

QStringList ThelpFrm::Lines() {
  QStringList lines;
  for (const char* line : HelpLines()) lines << QString::fromUtf8(line);
  return lines;
}

ThelpFrm::ThelpFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      memo1_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("helpFrm"));
  setWindowTitle(QStringLiteral("helpFrm"));
  resize(kWidth, kHeight);

  memo1_->setObjectName(QStringLiteral("Memo1"));
  memo1_->setReadOnly(true);
  memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(16);
  memo1_->setFont(font);
  QPalette palette = memo1_->palette();
  palette.setColor(QPalette::Text, Qt::blue);
  memo1_->setPalette(palette);
  memo1_->setPlainText(Lines().join(QLatin1Char('\n')));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(memo1_);

  const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  if (screen) move(screen->availableGeometry().center() - rect().center());
}

}  // namespace mx
