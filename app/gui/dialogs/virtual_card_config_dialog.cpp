#include "gui/dialogs/virtual_card_config_dialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <cstdint>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/dialogs/virtual_card_dialog.h"
#include "gui/hex_controls.h"
#include "gui/prompts.h"
#include "ui_virtual_card_config_dialog.h"

namespace {

QString Text(const char* name) {
  return UiText(QStringLiteral("121.") + QString::fromLatin1(name));
}

}  // namespace

VirtualCardConfigDialog::VirtualCardConfigDialog(PageOwner& owner, QWidget* parent)
    : QDialog(parent), owner_(owner), ui_(std::make_unique<Ui::VirtualCardConfigDialog>()) {
  ui_->setupUi(this);
  setWindowTitle(Text("title"));
  ui_->iidGroup->setTitle(Text("iidGroup"));
  ui_->keysGroup->setTitle(Text("keysGroup"));
  ui_->newKeysGroup->setTitle(Text("newKeysGroup"));
  ui_->masterKeyLabel->setText(Text("1096"));
  ui_->iidLabel->setText(Text("1045"));
  ui_->configKeyLabel->setText(Text("1086"));
  ui_->selectionKeyLabel->setText(Text("1015"));
  ui_->encKeyLabel->setText(Text("1016"));
  ui_->macKeyLabel->setText(Text("1017"));
  ui_->cardInfoCaption->setText(Text("1084"));
  ui_->resultCaption->setText(Text("1083"));
  PresentResultField(ui_->cardInfoLabel, Text("1084"), ui_->cardInfoCaption);
  PresentResultField(ui_->resultLabel, Text("1083"), ui_->resultCaption);

  for (TipHexBytesCombo* box : {ui_->masterKeyBox, ui_->configKeyBox, ui_->selectionKeyBox,
                                ui_->encKeyBox, ui_->macKeyBox}) {
    PrepareSixteenByteField(box);
    FillChangeKeys(box);
  }
  PrepareSixteenByteField(ui_->iidBox);
  ReserveCardInfoWidth(ui_->cardInfoLabel);
  FillIidList(ui_->iidBox);

  for (Change change : {kChangeIid, kChangeSelectionKey, kChangeEncKey, kChangeMacKey}) {
    QPushButton* b = button(change);
    b->setText(Text("change"));
    b->setProperty("controlId", static_cast<int>(change));
    b->setAutoDefault(false);
    b->setDefault(false);
    connect(b, &QPushButton::clicked, this, [this, change] { RunChange(change); });
  }
  ui_->changeIidButton->setAccessibleName(Text("iidGroup") + u' ' + Text("change"));
  ui_->changeSelectionKeyButton->setAccessibleName(Text("1015") + u' ' + Text("change"));
  ui_->changeEncKeyButton->setAccessibleName(Text("1016") + u' ' + Text("change"));
  ui_->changeMacKeyButton->setAccessibleName(Text("1017") + u' ' + Text("change"));
}

VirtualCardConfigDialog::~VirtualCardConfigDialog() = default;

void VirtualCardConfigDialog::RunChange(Change change) {
  struct Step {
    Change change;
    TipHexBytesCombo* authKey;
    int authAddress;
    TipHexBytesCombo* data;
    int writeAddress;
    int name;  // string-table number of the key's name, 0 for none
  };
  const Step steps[] = {
      {kChangeIid, ui_->masterKeyBox, 0x9000, ui_->iidBox, 0xB001, 0},
      {kChangeSelectionKey, ui_->configKeyBox, 0x9001, ui_->selectionKeyBox, 0xA000, 2245},
      {kChangeEncKey, ui_->configKeyBox, 0x9001, ui_->encKeyBox, 0xA080, 2250},
      {kChangeMacKey, ui_->configKeyBox, 0x9001, ui_->macKeyBox, 0xA081, 2255},
  };
  const Step* step = nullptr;
  for (const Step& s : steps) {
    if (s.change == change) step = &s;
  }
  if (step == nullptr) return;

  std::uint8_t key[16] = {};
  std::uint8_t block[16] = {};
  // Authentication key first, then the data: a half-typed field sends nothing.
  if (!step->authKey->GetExactBytes(key, 16) || !step->data->GetExactBytes(block, 16)) {
    ShowWrongLength(this);
    return;
  }
  ChangeRequest request;
  request.authAddress = step->authAddress;
  request.authKey = key;
  request.writeAddress = step->writeAddress;
  request.data = block;
  request.xCardOnly = true;
  QString cardInfo;
  const std::uint32_t packed = ::RunChange(owner_, request, &cardInfo);
  ShowChangeOutcome(packed, cardInfo, ui_->resultLabel, ui_->cardInfoLabel,
                    step->name != 0 ? LoadMessage(step->name) : QString());
}

void VirtualCardConfigDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

TipHexBytesCombo* VirtualCardConfigDialog::masterKeyBox() const {
  return ui_->masterKeyBox;
}
TipHexBytesCombo* VirtualCardConfigDialog::iidBox() const {
  return ui_->iidBox;
}
TipHexBytesCombo* VirtualCardConfigDialog::configKeyBox() const {
  return ui_->configKeyBox;
}
TipHexBytesCombo* VirtualCardConfigDialog::selectionKeyBox() const {
  return ui_->selectionKeyBox;
}
TipHexBytesCombo* VirtualCardConfigDialog::encKeyBox() const {
  return ui_->encKeyBox;
}
TipHexBytesCombo* VirtualCardConfigDialog::macKeyBox() const {
  return ui_->macKeyBox;
}
QLabel* VirtualCardConfigDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* VirtualCardConfigDialog::cardInfoLabel() const {
  return ui_->cardInfoLabel;
}

QPushButton* VirtualCardConfigDialog::button(Change change) const {
  switch (change) {
    case kChangeIid:
      return ui_->changeIidButton;
    case kChangeSelectionKey:
      return ui_->changeSelectionKeyButton;
    case kChangeEncKey:
      return ui_->changeEncKeyButton;
    case kChangeMacKey:
      return ui_->changeMacKeyButton;
  }
  return nullptr;
}

void RunVirtualCardConfigDialog(PageOwner& owner) {
  VirtualCardConfigDialog dialog(owner, owner.DialogParent());
  dialog.exec();
}
