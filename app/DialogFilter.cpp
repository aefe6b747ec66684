#include "app/DialogFilter.h"

const QString kMediaFileFilter = QStringLiteral(
    "视频/音频/图片文件|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;"
    "*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;"
    "*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;*.BMP;*.GIF;*.JPEG;*.JPG;"
    "*.PNG;|"
    "视频文件|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;"
    "*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;|"
    "音频文件|*.MP3;*.AAC;*.WAV;*.WMA;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;*.MP2;*.MPA;*.MPC;*.APE;*.OFR;"
    "*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;|"
    "图片文件|*.BMP;*.GIF;*.JPEG;*.JPG;*.PNG;|"
    "所有文件|*.*");

QList<TDialogFilterEntry> ParseDialogFilter(const QString& AFilter) {
  QList<TDialogFilterEntry> Result;
  const QStringList Parts = AFilter.split(QLatin1Char('|'));
  // Descriptions and pattern lists alternate; a description without its
  // pattern list is dropped, as the platform's dialog ignores it.
  for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) {
    TDialogFilterEntry Entry;
    Entry.Description = Parts.at(I);
    for (const QString& Pattern : Parts.at(I + 1).split(QLatin1Char(';'))) {
      const QString Trimmed = Pattern.trimmed();
      if (!Trimmed.isEmpty()) Entry.Patterns.append(Trimmed);
    }
    Result.append(Entry);
  }
  return Result;
}

QString CaseInsensitivePattern(const QString& APattern) {
  if (APattern == QLatin1String("*.*")) return QStringLiteral("*");
  QString Result;
  for (const QChar Ch : APattern) {
    const QChar Lower = Ch.toLower();
    const QChar Upper = Ch.toUpper();
    if (Lower != Upper) {
      Result += QLatin1Char('[');
      Result += Lower;
      Result += Upper;
      Result += QLatin1Char(']');
    } else {
      Result += Ch;
    }
  }
  return Result;
}

QStringList ToQtNameFilters(const QString& AFilter) {
  QStringList Result;
  for (const TDialogFilterEntry& Entry : ParseDialogFilter(AFilter)) {
    QStringList Patterns;
    for (const QString& Pattern : Entry.Patterns) Patterns.append(CaseInsensitivePattern(Pattern));
    Result.append(Entry.Description + QStringLiteral(" (") + Patterns.join(QLatin1Char(' ')) + QLatin1Char(')'));
  }
  return Result;
}
