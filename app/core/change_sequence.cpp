#include "core/change_sequence.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>

#include "core/card_text.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/hex_controls.h"
#include "ostrel.h"

std::uint32_t RunChange(PageOwner& owner, const ChangeRequest& request, QString* cardInfo) {
  int error = 0;
  int variant = 0;
  if (owner.Activate(request.force, &error, cardInfo, &variant) == 0) {
    return PackResult(kMsgActivationFailed, error);
  }
  if (request.xCardOnly && variant == 1) {
    return PackResult(kMsgChangeFailed, kStatusVirtualCardUnsupported);
  }
  std::uint8_t key[16] = {};
  std::uint8_t data[16] = {};
  if (request.authKey != nullptr) std::copy(request.authKey, request.authKey + 16, key);
  if (request.data != nullptr) std::copy(request.data, request.data + 16, data);
  const auto address = [](int value) { return static_cast<unsigned short>(value & 0xFFFF); };
  const int auth = PLUSSL3FirstAuth(address(request.authAddress), key);
  if (auth != 0) return PackResult(request.authFailMessage, auth);
  const int write = PLUSSL3Write(0xA1, address(request.writeAddress), 1, data);
  if (write != 0) return PackResult(kMsgChangeFailed, write);
  owner.Activate(0, nullptr, nullptr, nullptr);
  return 0;
}

QString ChangeOutcomeText(std::uint32_t packed, const QString& name) {
  if (packed == 0) return name + LoadMessage(kMsgChanged);
  if (name.isEmpty()) return ResultText(packed);
  const int step = ResultMessage(packed);
  const int cause = ResultCause(packed);
  QString text = name + LoadMessage(kMsgChangeFailed);
  // A failed write is already said by 2225; repeating it would read twice.
  if (step != kMsgChangeFailed) text += CodeText(step);
  if (cause != step) text += u'\n' + CodeText(cause);
  return text;
}

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

void ReserveCardInfoWidth(QLabel* information) {
  if (information == nullptr) return;
  const QString widest = QStringLiteral("UID: 0x00000000000000    ATQ: 0x0000    SAK: 0x00 ");
  information->setMinimumWidth(information->fontMetrics().horizontalAdvance(widest) +
                               2 * information->frameWidth() + 2 * information->margin());
}
