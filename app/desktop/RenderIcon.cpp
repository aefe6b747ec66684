// Renders the program's icon (vidmill.svg) into PNG files at build time:
//   vidmill-render-icon <icon.svg> <size> <out.png> [<size> <out.png>]...
//
// Qt's SVG module is not among the build's dependencies, so this reads the
// few SVG elements the icon is drawn with -- <rect> (with rx/ry), <circle>,
// <polygon>, solid fills -- and paints them with QPainter. Any other element
// or attribute is refused, so the PNGs can never silently differ from the
// SVG: an icon that needs more must extend this reader first.

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPolygonF>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QXmlStreamReader>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

struct TShape {
  std::function<void(QPainter&)> Paint;
};

struct TIcon {
  QRectF ViewBox;
  std::vector<TShape> Shapes;
};

[[noreturn]] void Fail(const QString& AText) {
  std::fprintf(stderr, "vidmill-render-icon: %s\n", qUtf8Printable(AText));
  std::exit(1);
}

double Number(const QXmlStreamAttributes& AAttrs, const char* AName, double ADefault, bool ARequired) {
  if (!AAttrs.hasAttribute(QLatin1String(AName))) {
    if (ARequired) Fail(QStringLiteral("attribute %1 is missing").arg(QLatin1String(AName)));
    return ADefault;
  }
  bool Ok = false;
  const double Value = AAttrs.value(QLatin1String(AName)).toDouble(&Ok);
  if (!Ok) Fail(QStringLiteral("attribute %1 is not a number").arg(QLatin1String(AName)));
  return Value;
}

// fill="#rgb" / "#rrggbb" / "none", with fill-opacity and opacity.
QBrush Fill(const QXmlStreamAttributes& AAttrs) {
  const QString Text = AAttrs.value(QLatin1String("fill")).toString();
  if (Text == QLatin1String("none")) return Qt::NoBrush;
  QColor Color = Text.isEmpty() ? QColor(Qt::black) : QColor(Text);
  if (!Color.isValid() || (!Text.isEmpty() && !Text.startsWith(QLatin1Char('#'))))
    Fail(QStringLiteral("fill \"%1\" is not a #rgb or #rrggbb colour").arg(Text));
  const double Alpha = Number(AAttrs, "fill-opacity", 1.0, false) * Number(AAttrs, "opacity", 1.0, false);
  Color.setAlphaF(static_cast<float>(qBound(0.0, Alpha, 1.0)));
  return Color;
}

void CheckAttributes(const QXmlStreamReader& AReader, std::initializer_list<const char*> AAllowed) {
  QSet<QString> Allowed;
  for (const char* Name : AAllowed) Allowed.insert(QLatin1String(Name));
  for (const QXmlStreamAttribute& Attr : AReader.attributes())
    if (!Allowed.contains(Attr.qualifiedName().toString()))
      Fail(QStringLiteral("line %1: <%2> attribute %3 is not supported")
               .arg(AReader.lineNumber())
               .arg(AReader.name().toString(), Attr.qualifiedName().toString()));
}

// The drawing of one <rect>, <circle> or <polygon> element; fails on any
// other element.
TShape ReadShape(const QXmlStreamReader& AReader, const QString& AName) {
  const QXmlStreamAttributes Attrs = AReader.attributes();
  if (AName == QLatin1String("rect")) {
    CheckAttributes(AReader, {"x", "y", "width", "height", "rx", "ry", "fill", "fill-opacity", "opacity"});
    const QRectF Rect(Number(Attrs, "x", 0, false), Number(Attrs, "y", 0, false), Number(Attrs, "width", 0, true),
                      Number(Attrs, "height", 0, true));
    double Rx = Number(Attrs, "rx", -1, false), Ry = Number(Attrs, "ry", -1, false);
    if (Rx < 0) Rx = Ry < 0 ? 0 : Ry;
    if (Ry < 0) Ry = Rx;
    Rx = qMin(Rx, Rect.width() / 2);
    Ry = qMin(Ry, Rect.height() / 2);
    const QBrush Brush = Fill(Attrs);
    return {[=](QPainter& P) {
      P.setBrush(Brush);
      P.drawRoundedRect(Rect, Rx, Ry, Qt::AbsoluteSize);
    }};
  }
  if (AName == QLatin1String("circle")) {
    CheckAttributes(AReader, {"cx", "cy", "r", "fill", "fill-opacity", "opacity"});
    const QPointF Centre(Number(Attrs, "cx", 0, false), Number(Attrs, "cy", 0, false));
    const double R = Number(Attrs, "r", 0, true);
    const QBrush Brush = Fill(Attrs);
    return {[=](QPainter& P) {
      P.setBrush(Brush);
      P.drawEllipse(Centre, R, R);
    }};
  }
  if (AName == QLatin1String("polygon")) {
    CheckAttributes(AReader, {"points", "fill", "fill-opacity", "opacity"});
    const QStringList Numbers = Attrs.value(QLatin1String("points"))
                                    .toString()
                                    .split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    if (Numbers.size() < 6 || Numbers.size() % 2 != 0) Fail(QStringLiteral("bad polygon points"));
    QPolygonF Polygon;
    for (qsizetype i = 0; i < Numbers.size(); i += 2) {
      bool OkX = false, OkY = false;
      Polygon << QPointF(Numbers[i].toDouble(&OkX), Numbers[i + 1].toDouble(&OkY));
      if (!OkX || !OkY) Fail(QStringLiteral("bad polygon points"));
    }
    const QBrush Brush = Fill(Attrs);
    return {[=](QPainter& P) {
      P.setBrush(Brush);
      P.drawPolygon(Polygon);
    }};
  }
  Fail(QStringLiteral("line %1: element <%2> is not supported").arg(AReader.lineNumber()).arg(AName));
}

// The view box of the root element, which must be <svg>.
QRectF ReadViewBox(const QXmlStreamReader& AReader, const QString& AName) {
  if (AName != QLatin1String("svg")) Fail(QStringLiteral("the root element is not <svg>"));
  CheckAttributes(AReader, {"width", "height", "viewBox", "version"});
  const QStringList Box =
      AReader.attributes().value(QLatin1String("viewBox")).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (Box.size() != 4) Fail(QStringLiteral("<svg> needs a viewBox of four numbers"));
  const QRectF ViewBox(Box[0].toDouble(), Box[1].toDouble(), Box[2].toDouble(), Box[3].toDouble());
  if (ViewBox.width() <= 0 || ViewBox.height() <= 0) Fail(QStringLiteral("empty viewBox"));
  return ViewBox;
}

TIcon ReadIcon(const QString& AFileName) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) Fail(QStringLiteral("cannot open %1").arg(AFileName));
  QXmlStreamReader Reader(&File);
  TIcon Icon;
  int Depth = 0;
  bool InText = false;  // inside <title> or <desc>
  while (!Reader.atEnd()) {
    const auto Token = Reader.readNext();
    if (Token == QXmlStreamReader::EndElement) {
      --Depth;
      InText = false;
      continue;
    }
    if (Token != QXmlStreamReader::StartElement) continue;
    ++Depth;
    const QString Name = Reader.name().toString();
    if (InText) Fail(QStringLiteral("line %1: elements inside <title>/<desc>").arg(Reader.lineNumber()));
    if (Depth == 1) {
      Icon.ViewBox = ReadViewBox(Reader, Name);
      continue;
    }
    if (Depth != 2) Fail(QStringLiteral("line %1: nested elements are not supported").arg(Reader.lineNumber()));
    if (Name == QLatin1String("title") || Name == QLatin1String("desc")) {
      CheckAttributes(Reader, {});
      InText = true;
    } else {
      Icon.Shapes.push_back(ReadShape(Reader, Name));
    }
  }
  if (Reader.hasError())
    Fail(QStringLiteral("%1:%2: %3").arg(AFileName).arg(Reader.lineNumber()).arg(Reader.errorString()));
  if (Icon.Shapes.empty()) Fail(QStringLiteral("%1 draws nothing").arg(AFileName));
  return Icon;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 4 || (argc - 2) % 2 != 0) {
    std::fprintf(stderr, "usage: vidmill-render-icon <icon.svg> <size> <out.png> [<size> <out.png>]...\n");
    return 2;
  }
  const TIcon Icon = ReadIcon(QString::fromLocal8Bit(argv[1]));
  for (int i = 2; i < argc; i += 2) {
    bool Ok = false;
    const int Size = QString::fromLocal8Bit(argv[i]).toInt(&Ok);
    if (!Ok || Size <= 0 || Size > 1024) Fail(QStringLiteral("bad size %1").arg(QLatin1String(argv[i])));
    QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::transparent);
    {
      QPainter P(&Image);
      P.setRenderHint(QPainter::Antialiasing);
      P.setPen(Qt::NoPen);
      P.scale(Size / Icon.ViewBox.width(), Size / Icon.ViewBox.height());
      P.translate(-Icon.ViewBox.topLeft());
      for (const TShape& Shape : Icon.Shapes) Shape.Paint(P);
    }
    const QString Out = QString::fromLocal8Bit(argv[i + 1]);
    if (!Image.convertToFormat(QImage::Format_ARGB32).save(Out, "PNG"))
      Fail(QStringLiteral("cannot write %1").arg(Out));
  }
  return 0;
}
