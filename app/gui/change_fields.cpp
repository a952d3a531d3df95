#include "gui/change_fields.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>

#include "core/change_sequence.h"
#include "gui/hex_controls.h"

void ShowChangeOutcome(std::uint32_t packed, const QString& cardInfo, QLabel* result,
                       QLabel* information, const QString& name) {
  if (result != nullptr) result->setText(ChangeOutcomeText(packed, name));
  if (information != nullptr) information->setText(cardInfo);
}

void FillChangeKeys(QComboBox* box) {
  if (box == nullptr) return;
  box->clear();
  box->addItem(QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C"));
  box->addItem(QStringLiteral("3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A 3A"));
  box->setCurrentIndex(0);
  // Wide enough for all sixteen groups, so no byte of a key hides off the edge.
  box->setMinimumContentsLength(48);
  box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
}

bool IsEnterKey(const QKeyEvent* event) {
  return event != nullptr && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter);
}

void PrepareSixteenByteField(HexBytesCombo* box) {
  if (box == nullptr) return;
  box->SetByteCount(16);
  box->setMinimumContentsLength(48);
  box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
}

void PresentResultField(QLabel* field, const QString& caption, QLabel* captionLabel) {
  if (field == nullptr) return;
  field->setAccessibleName(QString());
  field->setAccessibleDescription(caption);
  if (captionLabel != nullptr) captionLabel->setBuddy(field);
}

void ReserveCardInfoWidth(QLabel* information) {
  if (information == nullptr) return;
  const QString widest = QStringLiteral("UID: 0x00000000000000    ATQ: 0x0000    SAK: 0x00 ");
  information->setMinimumWidth(information->fontMetrics().horizontalAdvance(widest) +
                               2 * information->frameWidth() + 2 * information->margin());
}
