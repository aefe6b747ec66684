#include "app/RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

TRadioGroup::TRadioGroup(const QString& ACaption, const QStringList& AItems, int AColumns, QWidget* AParent)
    : QGroupBox(ACaption, AParent),
      FGroup(new QButtonGroup(this)),
      FLayout(new QGridLayout(this)),
      FItems(AItems),
      FColumns(AColumns < 1 ? 1 : AColumns) {
  FLayout->setContentsMargins(6, 4, 6, 4);
  FLayout->setHorizontalSpacing(4);
  FLayout->setVerticalSpacing(2);
  connect(FGroup, &QButtonGroup::idClicked, this, [this](int) { emit Click(); });
  Rebuild();
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::SetItemIndex(int AIndex) {
  if (QAbstractButton* Selected = FGroup->button(AIndex)) {
    Selected->setChecked(true);
    return;
  }
  // An exclusive group cannot uncheck its checked button directly.
  FGroup->setExclusive(false);
  for (QAbstractButton* Item : FGroup->buttons()) Item->setChecked(false);
  FGroup->setExclusive(true);
}

void TRadioGroup::SetItems(const QStringList& AItems) {
  FItems = AItems;
  Rebuild();
}

void TRadioGroup::SetColumns(int AColumns) {
  const int Columns = AColumns < 1 ? 1 : AColumns;
  if (Columns == FColumns) return;
  const int Selected = ItemIndex();
  FColumns = Columns;
  Rebuild();
  SetItemIndex(Selected);
}

QRadioButton* TRadioGroup::Button(int AIndex) const { return qobject_cast<QRadioButton*>(FGroup->button(AIndex)); }

void TRadioGroup::Rebuild() {
  for (QAbstractButton* Item : FGroup->buttons()) {
    FGroup->removeButton(Item);
    delete Item;
  }
  const int Count = static_cast<int>(FItems.size());
  const int Rows = (Count + FColumns - 1) / FColumns;
  for (int I = 0; I < Count; ++I) {
    auto* Item = new QRadioButton(FItems.at(I), this);
    FGroup->addButton(Item, I);
    FLayout->addWidget(Item, I % Rows, I / Rows);
  }
}
