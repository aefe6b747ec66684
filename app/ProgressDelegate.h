#pragma once
// The progress column of the conversion list: a progress bar drawn behind
// the cell's text. The text stays what the run wrote ("42%", "N/A",
// "100%"); the bar is filled to the percentage it names, and stays empty
// for "N/A". An empty cell (a row not converted yet) draws as a plain cell.

#include <QStyledItemDelegate>

// The percentage a progress text names ("42%" -> 42, clamped to 0..100;
// "42% 已停止" -> 42, the last percentage of a stopped row); -1 for any
// other text ("N/A", "失败", empty).
int ProgressPercentOfText(const QString& AText);

class TProgressDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;
};
