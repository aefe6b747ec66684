#pragma once
// The filter of the file-open dialog that adds sources to the conversion
// list, and its conversion to the name filters of Qt's file dialog.
//
// The filter text is kept in its original form, "Description|pattern;pattern;
// ...|Description|...". Qt wants one "Description (pattern pattern ...)"
// entry per description. Its pattern matching is case-sensitive on this
// platform while the extensions are written in capitals, so every letter of
// a pattern becomes a bracket pair of both cases ("*.AVI" -> "*.[aA][vV][iI]")
// and "*.*" (any file) becomes "*", which also matches names without a dot.

#include <QList>
#include <QString>
#include <QStringList>

extern const QString kMediaFileFilter;

struct TDialogFilterEntry {
  QString Description;
  QStringList Patterns;  // as written, empty ones (after a trailing ";") dropped
};

QList<TDialogFilterEntry> ParseDialogFilter(const QString& AFilter);

// One pattern made to match in any letter case.
QString CaseInsensitivePattern(const QString& APattern);

// The entries in Qt's name-filter syntax, in order, patterns case-insensitive.
QStringList ToQtNameFilters(const QString& AFilter);
