#include "gui/dialogs/upgrade_dialog.h"

#include <QKeyEvent>
#include <cstdint>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/command_host.h"
#include "gui/hex_controls.h"
#include "gui/prompts.h"
#include "ostrel.h"
#include "ui_upgrade_dialog.h"

namespace {
constexpr int kMsgUpgradeFailed = 2275;
constexpr int kLevel2SwitchKey = 0x9002;
constexpr int kLevel3SwitchKey = 0x9003;

QString WithoutLineEnd(QString text) {
  while (text.endsWith(u'\n')) text.chop(1);
  return text;
}
}  // namespace

UpgradeDialog::UpgradeDialog(PageOwner& owner, QWidget* parent)
    : QDialog(parent), owner_(owner), ui_(std::make_unique<Ui::UpgradeDialog>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("upgradeDialog"));
  setWindowTitle(UiText(QStringLiteral("112.title")));
  ui_->levelCaption->setText(ControlText(112, 1015));
  ui_->levelBox->addItem(LoadMessage(2260), kLevel2SwitchKey);
  ui_->levelBox->addItem(LoadMessage(2265), kLevel3SwitchKey);
  ui_->levelBox->setCurrentIndex(0);
  ui_->keyCaption->setText(ControlText(112, 1087));
  ui_->keyBox->SetByteCount(16);
  const QByteArray key = CommandHost::DefaultKey(16);
  ui_->keyBox->SetBytes(reinterpret_cast<const std::uint8_t*>(key.constData()), 16);
  ui_->confirmBox->setText(ControlText(112, 1092));
  ui_->confirmBox->setChecked(true);
  ui_->upgradeButton->setText(ControlText(112, 1073));
  ui_->upgradeButton->setDefault(false);
  ui_->upgradeButton->setAutoDefault(false);
  ui_->resultGroup->setTitle(ControlText(112, 1083));
  PresentResultField(ui_->resultLabel, ui_->resultGroup->title());
  ui_->cardInfoGroup->setTitle(ControlText(112, 1084));
  PresentResultField(ui_->cardInfoLabel, ui_->cardInfoGroup->title());
  ui_->hintLabel->setText(UiText(QStringLiteral("112.hint")));
  connect(ui_->upgradeButton, &QPushButton::clicked, this, [this] { Upgrade(); });
}

UpgradeDialog::~UpgradeDialog() = default;

QComboBox* UpgradeDialog::levelBox() const {
  return ui_->levelBox;
}
TipHexBytesCombo* UpgradeDialog::keyBox() const {
  return ui_->keyBox;
}
QCheckBox* UpgradeDialog::confirmBox() const {
  return ui_->confirmBox;
}
QPushButton* UpgradeDialog::upgradeButton() const {
  return ui_->upgradeButton;
}
QLabel* UpgradeDialog::resultLabel() const {
  return ui_->resultLabel;
}
QLabel* UpgradeDialog::cardInfoLabel() const {
  return ui_->cardInfoLabel;
}

void UpgradeDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void UpgradeDialog::ShowOutcome(const QString& result, const QString& cardInfo) {
  ui_->resultLabel->setText(result);
  ui_->cardInfoLabel->setText(cardInfo);
}

void UpgradeDialog::Upgrade() {
  std::uint8_t key[16] = {};
  if (!ui_->keyBox->GetExactBytes(key, 16)) {
    ShowWrongLength(this);
    return;
  }
  if (ui_->confirmBox->isChecked() &&
      !CurrentPrompts().AskYesNo(this, LoadMessage(2280), LoadMessage(2285))) {
    return;
  }
  const auto switchKey = static_cast<unsigned short>(ui_->levelBox->currentData().toInt());
  QString cardInfo;
  int code = 0;
  if (owner_.Activate(1, &code, &cardInfo, nullptr) == 0) {
    ShowOutcome(ResultText(PackResult(kMsgActivationFailed, code)), cardInfo);
    return;
  }
  const int status = PLUSSL3FirstAuth(switchKey, key);
  if (status != 0) {
    // The card refused; activate once more so the card information shows the
    // card as it is now rather than as it was before the attempt.
    owner_.Activate(1, nullptr, &cardInfo, nullptr);
    ShowOutcome(ResultText(PackResult(kMsgUpgradeFailed, status)), cardInfo);
    return;
  }
  // From here the card has switched: a failed activation does not undo that.
  code = 0;
  if (owner_.Activate(1, &code, &cardInfo, nullptr) == 0) {
    ShowOutcome(
        LoadMessage(kMsgChanged) + u'\n' +
            UiText(QStringLiteral("112.reactivationFailed")).arg(WithoutLineEnd(MessageText(code))),
        cardInfo);
    return;
  }
  ShowOutcome(LoadMessage(kMsgChanged), cardInfo);
}

void RunUpgradeDialog(PageOwner& owner) {
  UpgradeDialog dialog(owner, owner.DialogParent());
  dialog.exec();
}
