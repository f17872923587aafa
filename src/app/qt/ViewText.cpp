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

QString HomePlatformPattern(const QString& pattern) {
  if (pattern == QStringLiteral("*.*")) return QStringLiteral("*");
  QString matching;
  for (const QChar c : pattern) {
    const QChar lower = c.toLower();
    const QChar upper = c.toUpper();
    if (lower == upper) {
      matching += c;
    } else {
      matching += QLatin1Char('[') + upper + lower + QLatin1Char(']');
    }
  }
  return matching;
}

QString QtFileFilter(std::string_view filter) {
  const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patternList = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patternList) pattern = HomePlatformPattern(pattern);
    const QString patterns = patternList.join(QLatin1Char(' '));
    const QString name = parts[i].isEmpty() ? QString() : parts[i] + QLatin1Char(' ');
    entries << name + QLatin1Char('(') + patterns + QLatin1Char(')');
  }
  return entries.join(QStringLiteral(";;"));
}

QString ShownPortName(std::string_view port) {
  const QString text = ToQString(port);
  if (!text.startsWith(QLatin1Char('/'))) return text;
  return text.mid(text.lastIndexOf(QLatin1Char('/')) + 1);
}

std::string PortFromShownName(const QString& text, const std::vector<std::string>& listed) {
  for (const std::string& port : listed) {
    if (ShownPortName(port) == text) return port;
  }
  return ToStdString(text);
}

QString PlainCaption(std::string_view caption) {
  return ToQString(caption).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

}  // namespace mx
