#include "app/ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

int ProgressPercentOfText(const QString& AText) {
  const qsizetype Percent = AText.indexOf(QLatin1Char('%'));
  if (Percent < 0 || (Percent + 1 < AText.size() && AText.at(Percent + 1) != QLatin1Char(' '))) return -1;
  bool Ok = false;
  const int Value = AText.left(Percent).toInt(&Ok);
  if (!Ok) return -1;
  return Value < 0 ? 0 : Value > 100 ? 100 : Value;
}

void TProgressDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                              const QModelIndex& AIndex) const {
  const QString Text = AIndex.data(Qt::DisplayRole).toString();
  if (Text.isEmpty()) {
    QStyledItemDelegate::paint(APainter, AOption, AIndex);
    return;
  }

  QStyleOptionViewItem Cell = AOption;
  initStyleOption(&Cell, AIndex);
  const QWidget* View = Cell.widget;
  QStyle* Style = View ? View->style() : QApplication::style();
  // The cell's own background (selection, alternate rows) first.
  Cell.text.clear();
  Style->drawControl(QStyle::CE_ItemViewItem, &Cell, APainter, View);

  QStyleOptionProgressBar Bar;
  if (View) Bar.initFrom(View);
  Bar.state = AOption.state & QStyle::State_Enabled ? QStyle::State_Enabled : QStyle::State_None;
  Bar.state |= QStyle::State_Horizontal;
  Bar.direction = AOption.direction;
  Bar.fontMetrics = AOption.fontMetrics;
  Bar.palette = AOption.palette;
  Bar.rect = AOption.rect.adjusted(1, 1, -1, -1);
  Bar.minimum = 0;
  Bar.maximum = 100;
  const int Percent = ProgressPercentOfText(Text);
  Bar.progress = Percent < 0 ? 0 : Percent;
  Bar.text = Text;
  Bar.textAlignment = Qt::AlignCenter;
  Bar.textVisible = true;
  Style->drawControl(QStyle::CE_ProgressBar, &Bar, APainter, View);
}
