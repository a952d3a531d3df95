#include "gui/dialogs/virtual_card_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QWindow>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/change_fields.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "gui/prompts.h"
#include "ostrel.h"
#include "ui_virtual_card_dialog.h"

namespace {

constexpr int kMsgNoReader = 1950;

QString Text(const char* name) {
  return UiText(QStringLiteral("111.") + QString::fromLatin1(name));
}

// A table message as one line of a result field.
QString Line(int number) {
  QString text = LoadMessage(number);
  while (text.endsWith(u'\n')) text.chop(1);
  return text;
}

}  // namespace

void FillIidList(QComboBox* box) {
  if (box == nullptr) return;
  const QString prefix = QStringLiteral("A0 00 00 03 96 56 43 41");
  box->clear();
  for (const char* tail : {"01 00 00 00 00 00 00 00", "02 00 00 00 00 00 00 00",
                           "03 00 00 00 00 00 00 00", "FF FF FF FF FF FF FF FF"}) {
    box->addItem(prefix + u' ' + QString::fromLatin1(tail));
  }
  box->setCurrentIndex(0);
}

void InstallVirtualCardDialog() {
  SetVirtualCardDialogFactory([](Level3Page& page) { return new VirtualCardDialog(page); });
}

VirtualCardDialog::VirtualCardDialog(Level3Page& page)
    : QDialog(nullptr), page_(page), ui_(std::make_unique<Ui::VirtualCardDialog>()) {
  ui_->setupUi(this);
  setWindowTitle(Text("title"));
  setModal(false);
  // An open virtual card window must not keep the program running once the
  // main window is closed.
  setAttribute(Qt::WA_QuitOnClose, false);
  ui_->iidLabel->setText(Text("1045"));
  ui_->encKeyLabel->setText(Text("1046"));
  ui_->macKeyLabel->setText(Text("1047"));
  ui_->cardInfoCaption->setText(Text("1084"));
  ui_->resultCaption->setText(Text("1083"));
  PresentResultField(ui_->cardInfoLabel, Text("1084"), ui_->cardInfoCaption);
  PresentResultField(ui_->resultLabel, Text("1083"), ui_->resultCaption);

  for (TipHexBytesCombo* box : {ui_->iidBox, ui_->encKeyBox, ui_->macKeyBox})
    PrepareSixteenByteField(box);
  ReserveCardInfoWidth(ui_->cardInfoLabel);
  FillIidList(ui_->iidBox);
  FillChangeKeys(ui_->encKeyBox);
  FillChangeKeys(ui_->macKeyBox);
  for (Command command : {kSupport, kGetUid, kSelect, kDeselect}) {
    QPushButton* b = button(command);
    b->setText(ControlText(kTemplate, command));
    b->setProperty("controlId", static_cast<int>(command));
    b->setAutoDefault(false);
    b->setDefault(false);
    connect(b, &QPushButton::clicked, this, [this, command] { Run(command); });
  }
}

VirtualCardDialog::~VirtualCardDialog() = default;

void VirtualCardDialog::Run(Command command) {
  switch (command) {
    case kSupport:
      Support();
      return;
    case kGetUid:
      GetUid();
      return;
    case kSelect:
      Select();
      return;
    case kDeselect:
      Deselect();
      return;
  }
}

bool VirtualCardDialog::Ready(bool activate) {
  PageOwner* owner = page_.owner();
  if (owner == nullptr || !owner->IsConnected()) {
    ui_->resultLabel->setText(Line(kMsgNoReader));
    return false;
  }
  if (!activate) return true;
  int error = 0;
  if (page_.Activate(1, &error, nullptr) == 0) {
    ui_->resultLabel->setText(ResultText(PackResult(kMsgActivationFailed, error)));
    return false;
  }
  return true;
}

bool VirtualCardDialog::ReadField(TipHexBytesCombo* box, std::uint8_t* out) {
  if (box->GetExactBytes(out, 16)) return true;
  ShowWrongLength(this);
  return false;
}

void VirtualCardDialog::ShowResult(int status, int successMessage, int failureMessage) {
  if (status == 0) {
    ui_->resultLabel->setText(LoadMessage(successMessage));
  } else {
    // The second line stays empty for a status without a text.
    ui_->resultLabel->setText(LoadMessage(failureMessage) + u'\n' + LoadMessage(status));
  }
}

void VirtualCardDialog::Support() {
  ui_->cardInfoLabel->clear();
  std::uint8_t iid[16];
  if (!ReadField(ui_->iidBox, iid)) return;
  if (!Ready(true)) {
    cryptogram_.fill(0);
    return;
  }
  const int status = PLUSSL3VCSupport(iid);
  if (status != 0) cryptogram_.fill(0);
  ShowResult(status, 2381, 2382);
}

void VirtualCardDialog::GetUid() {
  ui_->cardInfoLabel->clear();
  std::uint8_t iid[16], encKey[16], macKey[16];
  if (!ReadField(ui_->iidBox, iid) || !ReadField(ui_->encKeyBox, encKey) ||
      !ReadField(ui_->macKeyBox, macKey)) {
    return;
  }
  if (!Ready(true)) return;
  std::uint8_t uid[16] = {};
  std::uint8_t uidLength = 255;
  std::uint8_t received[16] = {};
  const int status = PLUSSL3VCSupportLast(iid, encKey, macKey, uid, &uidLength, received);
  if (status != 0) {
    ShowResult(status, 2385, 2386);
    return;
  }
  // The library leaves the length alone when the decrypted answer is no UID
  // (a wrong ENC key, or an IV the card does not share): that is no success.
  if (uidLength != 4 && uidLength != 7) {
    ui_->resultLabel->setText(LoadMessage(2386) + u'\n' + Text("noUid"));
    return;
  }
  std::copy(std::begin(received), std::end(received), cryptogram_.begin());
  QString text = hextext::FormatBytes(uid, uidLength);
  if (uidLength > 4) text.insert(12, QStringLiteral("  "));
  ui_->cardInfoLabel->setText(text);
  ShowResult(0, 2385, 2386);
}

void VirtualCardDialog::Select() {
  std::uint8_t macKey[16];
  if (!ReadField(ui_->macKeyBox, macKey)) return;
  if (!Ready(false)) return;
  ShowResult(PLUSSL3VCSelect(cryptogram_.data(), macKey), 2383, 2384);
}

void VirtualCardDialog::Deselect() {
  if (!Ready(false)) return;
  const int status = PLUSSL3VCDeselect();
  ui_->cardInfoLabel->clear();
  ShowResult(status, 2387, 2388);
}

void VirtualCardDialog::reject() {
  page_.VirtualCardDialogClosed();
}

void VirtualCardDialog::closeEvent(QCloseEvent* event) {
  page_.VirtualCardDialogClosed();
  event->accept();
}

void VirtualCardDialog::showEvent(QShowEvent* event) {
  QWidget* top = page_.window();
  if (top != &page_ && windowHandle() != nullptr && top->windowHandle() != nullptr)
    windowHandle()->setTransientParent(top->windowHandle());
  QDialog::showEvent(event);
}

void VirtualCardDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

TipHexBytesCombo* VirtualCardDialog::iidBox() const {
  return ui_->iidBox;
}
TipHexBytesCombo* VirtualCardDialog::encKeyBox() const {
  return ui_->encKeyBox;
}
TipHexBytesCombo* VirtualCardDialog::macKeyBox() const {
  return ui_->macKeyBox;
}
QLabel* VirtualCardDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* VirtualCardDialog::cardInfoLabel() const {
  return ui_->cardInfoLabel;
}

QPushButton* VirtualCardDialog::button(Command command) const {
  switch (command) {
    case kSupport:
      return ui_->supportButton;
    case kGetUid:
      return ui_->getUidButton;
    case kSelect:
      return ui_->selectButton;
    case kDeselect:
      return ui_->deselectButton;
  }
  return nullptr;
}
