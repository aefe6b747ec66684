#pragma once
// The window's language. Its texts are written in Chinese, the source texts
// of tr(), and show as written; the English catalogue (app/i18n/vidmill_en.ts,
// built into the program as the resource :/i18n/vidmill_en.qm) translates
// them for users whose UI language is English. The help pages beside the
// program come in both languages.

#include <QString>
#include <QStringList>

enum class TUiLanguage { Chinese, English };

// The language of the window for the user's UI languages, most wanted first
// (QLocale::uiLanguages, from LANGUAGE, LC_ALL, LC_MESSAGES and LANG):
// English when the first one is English ("en", "en-US", ...), else Chinese.
TUiLanguage UiLanguageOf(const QStringList& AUiLanguages);

// Installs the catalogue of ALanguage on the application in place of the one
// installed before (Chinese needs none); windows made afterwards show its
// texts. False, and the Chinese texts stay, when the catalogue cannot be
// loaded.
bool InstallUiLanguage(TUiLanguage ALanguage);

// The language whose catalogue is installed: Chinese until InstallUiLanguage
// installs another.
TUiLanguage InstalledUiLanguage();

// The file name of the help page in ALanguage, in the program's folder.
QString HelpPageName(TUiLanguage ALanguage);
