#pragma once

#include "app/LanguageTexts.h"

namespace mx {

// Qt's own texts (the buttons of message boxes, the file dialog) in the
// window's language: Qt's shipped Traditional Chinese translations for the
// Chinese texts, none for English. Returns false when Chinese was asked for
// and Qt's translations are not installed (Debian: qt6-translations-l10n);
// Qt's texts then stay English.
bool UseQtTranslations(Language language);

}  // namespace mx
