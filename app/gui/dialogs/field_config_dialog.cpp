#include "gui/dialogs/field_config_dialog.h"

#include <QKeyEvent>
#include <cstdint>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/hex_controls.h"
#include "gui/lock_questions.h"
#include "gui/prompts.h"
#include "ui_field_config_dialog.h"

namespace {
constexpr int kTemplate = 120;
constexpr int kConfigKey = 0x9001;
constexpr int kFieldConfigBlock = 0xB003;
constexpr int kCapabilityIds[3] = {1125, 1126, 1127};
constexpr int kCapabilityBytes[3] = {4, 9, 10};  // their places in the block
constexpr std::uint8_t kSet = 0xAA;
constexpr std::uint8_t kClear = 0x55;
}  // namespace

FieldConfigDialog::FieldConfigDialog(PageOwner& owner, QWidget* parent)
    : QDialog(parent), owner_(owner), ui_(std::make_unique<Ui::FieldConfigDialog>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("fieldConfigDialog"));
  ui_->configKeyCombo->SetByteCount(16);
  FillChangeKeys(ui_->configKeyCombo);
  ui_->randomIdBox->setChecked(false);
  ui_->proximityBox->setChecked(false);
  QLabel* capLabels[3] = {ui_->cap12Label, ui_->cap25Label, ui_->cap26Label};
  TipHexEdit* capEdits[3] = {ui_->cap12Edit, ui_->cap25Edit, ui_->cap26Edit};
  for (int i = 0; i < 3; ++i) {
    TipHexEdit* edit = capEdits[i];
    edit->SetMode(1);
    edit->SetByteCount(1);
    edit->Tip().SetText(LoadMessage(i == 0 ? 2394 : 2395));
    edit->setProperty("controlId", kCapabilityIds[i]);
    capLabels[i]->setText(ControlText(kTemplate, kCapabilityIds[i]));
    if (TipRenderer* tips = owner_.TipWindow()) edit->Tip().SetWindow(tips);
  }

  ui_->configKeyCombo->setProperty("controlId", 1091);
  ui_->randomIdBox->setProperty("controlId", 1088);
  ui_->proximityBox->setProperty("controlId", 1089);
  ui_->changeButton->setProperty("controlId", 1216);
  ui_->resultLabel->setProperty("controlId", 1083);
  ui_->infoLabel->setProperty("controlId", 1084);

  setWindowTitle(UiText(QStringLiteral("120.title")));
  ui_->configKeyLabel->setText(ControlText(kTemplate, 1091));
  ui_->randomIdBox->setText(ControlText(kTemplate, 1088));
  ui_->proximityBox->setText(ControlText(kTemplate, 1089));
  ui_->changeButton->setText(ControlText(kTemplate, 1216));
  ui_->resultLabel->setText(ControlText(kTemplate, 1083));
  ui_->infoLabel->setText(ControlText(kTemplate, 1084));
  PresentResultField(ui_->resultLabel, ControlText(kTemplate, 1083));
  PresentResultField(ui_->infoLabel, ControlText(kTemplate, 1084));
  connect(ui_->changeButton, &QPushButton::clicked, this, &FieldConfigDialog::Change);
}

FieldConfigDialog::~FieldConfigDialog() = default;

void FieldConfigDialog::Change() {
  // Every byte the operator supplies must be typed in full: an empty field is
  // refused, never sent as 0x00.
  std::uint8_t block[16] = {};
  bool whole = true;
  for (int i = 0; i < 3; ++i) {
    std::uint8_t value = 0;
    whole = hextext::ExactBytes(capabilityEdit(i)->text(), &value, 1) && whole;
    block[kCapabilityBytes[i]] = value;
  }
  std::uint8_t key[16] = {};
  whole = ui_->configKeyCombo->GetExactBytes(key, 16) && whole;
  if (!whole) {
    ShowWrongLength(this);
    return;
  }
  block[1] = ui_->randomIdBox->isChecked() ? kSet : kClear;
  block[2] = ui_->proximityBox->isChecked() ? kSet : kClear;
  // A card that demands a proximity check before every sector operation keeps
  // its data out of reach of any reader that cannot run one: ask first.
  if (DemandsProximityCheck(block) && !ConfirmProximityDemand(this)) return;

  ChangeRequest request;
  request.authAddress = kConfigKey;
  request.authKey = key;
  request.writeAddress = kFieldConfigBlock;
  request.data = block;
  QString cardInfo;
  const std::uint32_t packed = RunChange(owner_, request, &cardInfo);
  ShowChangeOutcome(packed, cardInfo, ui_->resultLabel, ui_->infoLabel);
}

void FieldConfigDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

HexBytesCombo* FieldConfigDialog::configKeyBox() const {
  return ui_->configKeyCombo;
}
QCheckBox* FieldConfigDialog::randomIdBox() const {
  return ui_->randomIdBox;
}
QCheckBox* FieldConfigDialog::proximityBox() const {
  return ui_->proximityBox;
}
HexEdit* FieldConfigDialog::capabilityEdit(int index) const {
  switch (index) {
    case 0:
      return ui_->cap12Edit;
    case 1:
      return ui_->cap25Edit;
    default:
      return ui_->cap26Edit;
  }
}
QPushButton* FieldConfigDialog::changeButton() const {
  return ui_->changeButton;
}
QLabel* FieldConfigDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* FieldConfigDialog::infoLabel() const {
  return ui_->infoLabel;
}

void RunFieldConfigDialog(CardLevelPage& page) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  FieldConfigDialog dialog(*owner, owner->DialogParent());
  dialog.exec();
}
