#pragma once
// Deployment values of the program: the vendor's home page, the support
// address and the subject of a support mail. Every place that shows or opens
// them takes them from here.

#include <QString>
#include <QUrl>
#include <QUrlQuery>

namespace AppInfo {

// Program name used where the settings file gives none (message box captions,
// the user's settings folder).
inline const QString kProgramName = QStringLiteral("Vidmill");

inline const QString kHomePageUrl = QStringLiteral("https://vidmill.example.org/");
inline const QString kSupportMail = QStringLiteral("support@vidmill.example.org");
inline const QString kMailSubject = QStringLiteral("改进意见");

inline QUrl HomePageUrl() { return QUrl(kHomePageUrl); }

// "mailto:<support address>?subject=改进意见", the subject percent-encoded as
// UTF-8 so that every mail client reads the same text.
inline QUrl SupportMailUrl() {
  QUrl Url;
  Url.setScheme(QStringLiteral("mailto"));
  Url.setPath(kSupportMail);
  QUrlQuery Query;
  Query.addQueryItem(QStringLiteral("subject"), kMailSubject);
  Url.setQuery(Query);
  return Url;
}

}  // namespace AppInfo
