#include "app/qt/ViewText.h"

#include <QStringList>

namespace mx {

QString ToQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToStdString(const QString& text) { return text.toStdString(); }

QString MemoDisplayText(std::string_view formText) {
  return ToQString(formText).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string MemoFormText(const QString& displayed) {
  return ToStdString(QString(displayed).replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
}

QString QtFileFilter(std::string_view filter) {
  const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
    const QString name = parts[i].isEmpty() ? QString() : parts[i] + QLatin1Char(' ');
    entries << name + QLatin1Char('(') + patterns + QLatin1Char(')');
  }
  return entries.join(QStringLiteral(";;"));
}

QString PlainCaption(std::string_view caption) {
  return ToQString(caption).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

}  // namespace mx
