#include "gui/dialogs/mfp_config_dialog.h"

#include <QKeyEvent>
#include <cstdint>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/hex_controls.h"
#include "gui/prompts.h"
#include "ui_mfp_config_dialog.h"

namespace {
constexpr int kTemplate = 119;
constexpr int kMasterKey = 0x9000;
constexpr int kMfpConfigBlock = 0xB000;
}  // namespace

MfpConfigDialog::MfpConfigDialog(PageOwner& owner, QWidget* parent)
    : QDialog(parent), owner_(owner), ui_(std::make_unique<Ui::MfpConfigDialog>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("mfpConfigDialog"));
  ui_->masterKeyCombo->SetByteCount(16);
  FillChangeKeys(ui_->masterKeyCombo);
  for (int group = 0; group < 4; ++group) {
    plainReadBox(group)->setChecked(true);
    plainReadBox(group)->setProperty("controlId", 1059 + group);
  }
  ui_->countEdit->SetMode(1);
  ui_->countEdit->SetByteCount(1);
  ui_->countEdit->setText(QStringLiteral("00"));
  ui_->countEdit->Tip().SetText(LoadMessage(2395));

  ui_->masterKeyCombo->setProperty("controlId", 1086);
  ui_->countEdit->setProperty("controlId", 1064);
  ui_->changeButton->setProperty("controlId", 1215);
  ui_->resultLabel->setProperty("controlId", 1083);
  ui_->infoLabel->setProperty("controlId", 1084);
  if (TipRenderer* tips = owner_.TipWindow()) ui_->countEdit->Tip().SetWindow(tips);

  setWindowTitle(UiText(QStringLiteral("119.title")));
  ui_->masterKeyLabel->setText(ControlText(kTemplate, 1086));
  for (int group = 0; group < 4; ++group) {
    plainReadBox(group)->setText(ControlText(kTemplate, 1059 + group));
  }
  ui_->countLabel->setText(ControlText(kTemplate, 1064));
  ui_->changeButton->setText(ControlText(kTemplate, 1215));
  ui_->resultLabel->setText(ControlText(kTemplate, 1083));
  ui_->infoLabel->setText(ControlText(kTemplate, 1084));
  PresentResultField(ui_->resultLabel, ControlText(kTemplate, 1083));
  PresentResultField(ui_->infoLabel, ControlText(kTemplate, 1084));
  connect(ui_->changeButton, &QPushButton::clicked, this, &MfpConfigDialog::Change);
}

MfpConfigDialog::~MfpConfigDialog() = default;

void MfpConfigDialog::Change() {
  // The count shows as hexadecimal, so it is read as one hexadecimal byte; an
  // empty or half-typed field is refused rather than sent as some other count.
  std::uint8_t block[16] = {};
  std::uint8_t key[16] = {};
  const bool count = hextext::ExactBytes(ui_->countEdit->text(), &block[0], 1);
  const bool whole = ui_->masterKeyCombo->GetExactBytes(key, 16);
  if (!count || !whole) {
    ShowWrongLength(this);
    return;
  }
  unsigned flags = 0;
  for (int group = 0; group < 4; ++group) {
    if (plainReadBox(group)->isChecked()) flags |= 1u << group;
  }
  block[1] = static_cast<std::uint8_t>(flags | ((~flags & 0x0Fu) << 4));

  ChangeRequest request;
  request.authAddress = kMasterKey;
  request.authKey = key;
  request.writeAddress = kMfpConfigBlock;
  request.data = block;
  QString cardInfo;
  const std::uint32_t packed = RunChange(owner_, request, &cardInfo);
  ShowChangeOutcome(packed, cardInfo, ui_->resultLabel, ui_->infoLabel);
}

void MfpConfigDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

HexBytesCombo* MfpConfigDialog::masterKeyBox() const {
  return ui_->masterKeyCombo;
}
QCheckBox* MfpConfigDialog::plainReadBox(int group) const {
  switch (group) {
    case 0:
      return ui_->plainBox0;
    case 1:
      return ui_->plainBox1;
    case 2:
      return ui_->plainBox2;
    default:
      return ui_->plainBox3;
  }
}
HexEdit* MfpConfigDialog::countEdit() const {
  return ui_->countEdit;
}
QPushButton* MfpConfigDialog::changeButton() const {
  return ui_->changeButton;
}
QLabel* MfpConfigDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* MfpConfigDialog::infoLabel() const {
  return ui_->infoLabel;
}

void RunMfpConfigDialog(CardLevelPage& page) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  MfpConfigDialog dialog(*owner, owner->DialogParent());
  dialog.exec();
}
