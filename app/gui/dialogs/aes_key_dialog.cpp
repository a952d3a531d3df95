#include "gui/dialogs/aes_key_dialog.h"

#include <QKeyEvent>
#include <cstdint>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/hex_controls.h"
#include "gui/prompts.h"
#include "ui_aes_key_dialog.h"

namespace {

constexpr int kSectorKeyFirst = 0x4000;
constexpr int kSectorKeyLast = 0x404F;
// The Level 2 AES authentication reaches sector keys up to here only.
constexpr int kLevel2SectorKeyLast = 0x403F;
constexpr int kMasterKey = 0x9000;
constexpr int kConfigKey = 0x9001;
constexpr int kLevel3SwitchKey = 0x9003;

// Control numbers and addresses of one member of the family.
struct Member {
  int templateId;
  int authId;       // authentication key field
  int newId;        // new key field
  int buttonId;     // change button
  int authAddress;  // 0: the chosen sector key itself
  int writeAddress;
};

constexpr Member kMembers[] = {
    {110, 1067, 1068, 1030, 0, 0},
    {115, 1079, 1080, 1078, kMasterKey, kMasterKey},
    {116, 1086, 1087, 1085, kMasterKey, kLevel3SwitchKey},
    {117, 1086, 1087, 1085, kConfigKey, kConfigKey},
};

const Member& MemberOf(int templateId) {
  for (const Member& m : kMembers) {
    if (m.templateId == templateId) return m;
  }
  return kMembers[0];
}

QString Text(int templateId, const char* name) {
  return UiText(QStringLiteral("%1.%2").arg(templateId).arg(QLatin1String(name)));
}

}  // namespace

AesKeyDialog::AesKeyDialog(int templateId, PageOwner& owner, int level, QWidget* parent)
    : QDialog(parent),
      templateId_(MemberOf(templateId).templateId),
      owner_(owner),
      level_(level),
      ui_(std::make_unique<Ui::AesKeyDialog>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("aesKeyDialog%1").arg(templateId_));
  const Member& m = MemberOf(templateId_);
  const bool sectorKeys = templateId_ == 110;

  for (int i = 0; i < 80; ++i) {
    ui_->addressCombo->addItem(QString::asprintf("0x40%02X", i), kSectorKeyFirst + i);
  }
  ui_->addressCombo->setCurrentIndex(0);
  ui_->addressLabel->setVisible(sectorKeys);
  ui_->addressCombo->setVisible(sectorKeys);
  ui_->masterKeyLabel->setVisible(sectorKeys);
  ui_->masterKeyCombo->setVisible(sectorKeys);
  // Not used by the change; at Level 3 the sector key changes under itself.
  ui_->masterKeyCombo->setEnabled(level_ != 3);

  for (HexBytesCombo* box : {ui_->masterKeyCombo, ui_->authKeyCombo, ui_->newKeyCombo}) {
    box->SetByteCount(16);
    FillChangeKeys(box);
  }
  if (templateId_ == 115) {
    // This member presets both fields with the first key and selects no item.
    const std::uint8_t first[16] = {0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
                                    0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C};
    for (HexBytesCombo* box : {ui_->authKeyCombo, ui_->newKeyCombo}) {
      box->setCurrentIndex(-1);
      box->SetBytes(first, 16);
    }
  }

  ui_->authChoiceCombo->addItem(LoadMessage(2240), kConfigKey);
  ui_->authChoiceCombo->addItem(LoadMessage(2235), kMasterKey);
  ui_->authChoiceCombo->setCurrentIndex(0);
  ui_->authChoiceCombo->setEnabled(false);  // the configuration key always authorizes
  ui_->authChoiceCombo->setVisible(templateId_ == 117);
  ui_->noteLabel->setVisible(templateId_ == 116);

  ui_->addressCombo->setProperty("controlId", 1057);
  ui_->masterKeyCombo->setProperty("controlId", 1086);
  ui_->authKeyCombo->setProperty("controlId", m.authId);
  ui_->newKeyCombo->setProperty("controlId", m.newId);
  ui_->authChoiceCombo->setProperty("controlId", 1150);
  ui_->changeButton->setProperty("controlId", m.buttonId);
  ui_->resultLabel->setProperty("controlId", 1083);
  ui_->infoLabel->setProperty("controlId", 1084);

  SetTexts();
  connect(ui_->changeButton, &QPushButton::clicked, this, &AesKeyDialog::Change);
}

AesKeyDialog::~AesKeyDialog() = default;

void AesKeyDialog::SetTexts() {
  const Member& m = MemberOf(templateId_);
  setWindowTitle(Text(templateId_, "title"));
  ui_->addressLabel->setText(ControlText(templateId_, 1057));
  ui_->masterKeyLabel->setText(ControlText(templateId_, 1086));
  ui_->authKeyLabel->setText(ControlText(templateId_, m.authId));
  ui_->newKeyLabel->setText(ControlText(templateId_, m.newId));
  ui_->noteLabel->setText(Text(templateId_, "note"));
  ui_->authChoiceCombo->setAccessibleName(ControlText(templateId_, 1150));
  ui_->changeButton->setText(ControlText(templateId_, m.buttonId));
  ui_->resultLabel->setText(ControlText(templateId_, 1083));
  ui_->infoLabel->setText(ControlText(templateId_, 1084));
  PresentResultField(ui_->resultLabel, ControlText(templateId_, 1083));
  PresentResultField(ui_->infoLabel, ControlText(templateId_, 1084));
}

void AesKeyDialog::Change() {
  const Member& m = MemberOf(templateId_);
  int address = m.writeAddress;
  if (templateId_ == 110) {
    // Only sector keys: a card key typed here (the switch keys above all) would
    // be authenticated, and so acted on, without the operator meaning to.
    address = ui_->addressCombo->GetValue();
    if (address < kSectorKeyFirst || address > kSectorKeyLast) {
      CurrentPrompts().Message(this, Text(110, "addressRange"), LoadMessage(2379),
                               Prompts::Icon::None);
      return;
    }
  }
  std::uint8_t newKey[16] = {};
  std::uint8_t authKey[16] = {};
  std::uint8_t masterKey[16] = {};
  bool whole = ui_->newKeyCombo->GetExactBytes(newKey, 16);
  whole = ui_->authKeyCombo->GetExactBytes(authKey, 16) && whole;
  if (templateId_ == 110) whole = ui_->masterKeyCombo->GetExactBytes(masterKey, 16) && whole;
  if (!whole) {
    ShowWrongLength(this);
    return;
  }

  if (templateId_ == 110 && level_ == 2 && address > kLevel2SectorKeyLast) {
    ShowChangeOutcome(PackResult(kMsgChangeFailed, kMsgAesAddressRange), QString(),
                      ui_->resultLabel, ui_->infoLabel);
    return;
  }

  ChangeRequest request;
  request.authAddress = m.authAddress != 0 ? m.authAddress : address;
  request.authKey = authKey;
  // The sector key member reports its authentication as part of the change.
  request.authFailMessage = templateId_ == 110 ? kMsgChangeFailed : kMsgAuthError;
  request.writeAddress = address;
  request.data = newKey;
  QString cardInfo;
  const std::uint32_t packed = RunChange(owner_, request, &cardInfo);
  if (packed == 0) {
    // The Level 2 AES authentication repeats the remembered key before every
    // CRYPTO1 authentication; it must follow the key it now finds on the card.
    AesAuthMemory& memory = TheAesAuthMemory();
    if (memory.valid && memory.keyAddress == address) {
      std::copy(newKey, newKey + 16, memory.key.begin());
    }
  }
  ShowChangeOutcome(packed, cardInfo, ui_->resultLabel, ui_->infoLabel);
}

void AesKeyDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

TipAddressCombo* AesKeyDialog::addressBox() const {
  return ui_->addressCombo;
}
HexBytesCombo* AesKeyDialog::masterKeyBox() const {
  return ui_->masterKeyCombo;
}
HexBytesCombo* AesKeyDialog::authKeyBox() const {
  return ui_->authKeyCombo;
}
HexBytesCombo* AesKeyDialog::newKeyBox() const {
  return ui_->newKeyCombo;
}
QComboBox* AesKeyDialog::authChoiceBox() const {
  return ui_->authChoiceCombo;
}
QPushButton* AesKeyDialog::changeButton() const {
  return ui_->changeButton;
}
QLabel* AesKeyDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* AesKeyDialog::infoLabel() const {
  return ui_->infoLabel;
}

void RunAesKeyDialog(int templateId, CardLevelPage& page) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  AesKeyDialog dialog(templateId, *owner, page.level(), owner->DialogParent());
  dialog.exec();
}
