#pragma once
// A group box of radio buttons, one per item, with the selected item's index
// as its value. Items are laid out in columns, filling each column from top
// to bottom before the next one.

#include <QGroupBox>
#include <QStringList>

class QButtonGroup;
class QGridLayout;
class QRadioButton;

class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& ACaption, const QStringList& AItems, int AColumns = 1, QWidget* AParent = nullptr);

  // Index of the selected item; -1 when none is selected.
  int ItemIndex() const;
  // Selects item AIndex; an index outside the items clears the selection.
  void SetItemIndex(int AIndex);

  QStringList Items() const { return FItems; }
  // Replaces the items; the selection is cleared.
  void SetItems(const QStringList& AItems);

  int Columns() const { return FColumns; }
  void SetColumns(int AColumns);

  QRadioButton* Button(int AIndex) const;

 signals:
  // The user selected an item.
  void Click();

 private:
  void Rebuild();

  QButtonGroup* FGroup;
  QGridLayout* FLayout;
  QStringList FItems;
  int FColumns;
};
