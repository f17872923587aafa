#include "app/qt/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <memory>

namespace mx {

bool UseQtTranslations(Language language) {
  static std::unique_ptr<QTranslator> installed;
  static Language installedFor = Language::None;
  if (language == installedFor) return language != Language::Chinese || installed != nullptr;
  installedFor = language;
  if (installed) {
    QCoreApplication::removeTranslator(installed.get());
    installed.reset();
  }
  if (language != Language::Chinese) return true;
  auto translator = std::make_unique<QTranslator>();
  // qtbase holds the dialogs' and standard buttons' texts.
  if (!translator->load(QStringLiteral("qtbase_zh_TW"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return false;
  }
  QCoreApplication::installTranslator(translator.get());
  installed = std::move(translator);
  return true;
}

}  // namespace mx
