#include "app/Language.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTranslator>

namespace {

// The catalogue installed on the application, owned by it; null while the
// window shows its own texts.
QPointer<QTranslator>& InstalledCatalogue() {
  static QPointer<QTranslator> Catalogue;
  return Catalogue;
}

}  // namespace

TUiLanguage UiLanguageOf(const QStringList& AUiLanguages) {
  if (AUiLanguages.isEmpty()) return TUiLanguage::Chinese;
  // The language part only: "en", "en-GB" and "en_US" are English, "eo" is not.
  const QString& First = AUiLanguages.first();
  const bool English = First.startsWith(QLatin1String("en"), Qt::CaseInsensitive) &&
                       (First.size() == 2 || First.at(2) == QLatin1Char('-') || First.at(2) == QLatin1Char('_'));
  return English ? TUiLanguage::English : TUiLanguage::Chinese;
}

bool InstallUiLanguage(TUiLanguage ALanguage) {
  QPointer<QTranslator>& Current = InstalledCatalogue();
  if (Current) {
    QCoreApplication::removeTranslator(Current);
    delete Current;
  }
  if (ALanguage == TUiLanguage::Chinese) return true;
  auto* Catalogue = new QTranslator(QCoreApplication::instance());
  if (!Catalogue->load(QStringLiteral(":/i18n/vidmill_en.qm"))) {
    delete Catalogue;
    return false;
  }
  QCoreApplication::installTranslator(Catalogue);
  Current = Catalogue;
  return true;
}

TUiLanguage InstalledUiLanguage() { return InstalledCatalogue() ? TUiLanguage::English : TUiLanguage::Chinese; }

QString HelpPageName(TUiLanguage ALanguage) {
  return ALanguage == TUiLanguage::English ? QStringLiteral("help_en.html") : QStringLiteral("help_zh.html");
}
