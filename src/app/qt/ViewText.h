#pragma once

// Text conversions between the form and Qt. The form keeps UTF-8 text, memo
// lines ending in CR LF and file filters as "name|pattern|name|pattern".

#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace mx {

QString ToQString(std::string_view text);
std::string ToStdString(const QString& text);

// The memo's text as a text edit shows it: CR LF becomes LF.
QString MemoDisplayText(std::string_view formText);
// The other way: what the user typed, with CR LF line ends again.
std::string MemoFormText(const QString& displayed);

// "hex Files|*.hex|All Files|*.*" -> "hex Files (*.[hH][eE][xX]);;All Files (*)".
// Patterns match as on the program's home platform: letters without regard
// to case, and "*.*" every name, also one without a dot. Several patterns of
// one entry ("*.hex;*.a90") are separated by blanks.
QString QtFileFilter(std::string_view filter);

// One pattern of a file filter, made to match as on the home platform.
QString HomePlatformPattern(const QString& pattern);

// How the port box shows a listed port: a path (a simulator's published
// link) by its last part, the port's name ("sim0"), which a narrow box shows
// whole; other names as they are.
QString ShownPortName(std::string_view port);
// The port that the user means by `text` in the port box: the listed port
// shown so, else the text as typed.
std::string PortFromShownName(const QString& text, const std::vector<std::string>& listed);

// A button or menu caption with its '&' shown as is, not as a shortcut mark.
QString PlainCaption(std::string_view caption);

}  // namespace mx
