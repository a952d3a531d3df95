#include "gui/dialogs/access_conditions_dialog.h"

#include <QKeyEvent>
#include <cstring>

#include "core/access_bits.h"
#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/dialogs/access_tables.h"
#include "gui/hex_controls.h"
#include "gui/lock_questions.h"
#include "gui/prompts.h"
#include "ostrel.h"
#include "ui_access_conditions_dialog.h"

namespace {

using accessbits::Part;
using trailerdialog::Text;

constexpr int kMsgKeyAuthFailed = 2170;
constexpr int kMsgKeysChangeFailed = 2370;
constexpr int kMsgKeysChanged = 2375;
constexpr int kMsgSCardUnsupported = 2393;
constexpr int kMsgErrorCaption = 2379;
// Read back encrypted with MACs: the plain-read flags just written must not
// keep the dialog from checking them.
constexpr unsigned char kEncryptedRead = 0x31;

QString T148(const char* name) {
  return UiText(QStringLiteral("148.") + QLatin1String(name));
}

}  // namespace

AccessConditionsDialog::AccessConditionsDialog(CardLevelPage& page, int initialSector, int cardType,
                                               QWidget* parent)
    : QDialog(parent), page_(page), ui_(std::make_unique<Ui::AccessConditionsDialog>()) {
  ui_->setupUi(this);
  setWindowTitle(T148("title") + QStringLiteral("\t PLUS LEVEL 3"));
  ui_->sectorLabel->setText(Text("sectorLabel"));
  ui_->keyTypeLabel->setText(Text("keyTypeLabel"));
  ui_->authKeyLabel->setText(T148("authKeyLabel"));
  ui_->readButton->setText(Text("1380"));
  ui_->changeButton->setText(Text("1375"));
  ui_->currentAccessLabel->setText(T148("currentAccessLabel"));
  ui_->newAccessLabel->setText(Text("newAccessLabel"));
  ui_->plainGroup->setTitle(T148("plainGroup"));
  ui_->keyBNote->setText(Text("keyBNote"));
  ui_->keyBNote->hide();  // AES keys have no readable key B
  ui_->statusCaption->setText(T148("statusCaption"));
  ui_->status->setAccessibleName(T148("statusCaption"));
  ui_->resultCaption->setText(Text("1083"));
  ui_->cardInfoCaption->setText(Text("1084"));
  PresentResultField(ui_->result, Text("1083"), ui_->resultCaption);
  PresentResultField(ui_->cardInfo, Text("1084"), ui_->cardInfoCaption);
  ui_->tables->SetDecrementHeading(T148("decrement"));
  for (QPushButton* button :
       {static_cast<QPushButton*>(ui_->readButton), static_cast<QPushButton*>(ui_->changeButton)}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  trailerdialog::FillSectors(ui_->sector, cardType, initialSector);
  trailerdialog::FillKeyTypes(ui_->keyType);
  ui_->authKey->SetMode(1);
  ui_->authKey->SetByteCount(16);
  ui_->authKey->setText(QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C"));
  for (TipHexEdit* edit : {ui_->currentAccess, ui_->newAccess}) {
    edit->SetMode(1);
    edit->SetByteCount(5);
  }
  ui_->newAccess->setText(QStringLiteral("0F FF 07 80 69"));
  for (TipCheckBox* box : {ui_->plain0, ui_->plain1, ui_->plain2, ui_->plain3}) {
    box->setChecked(true);
    connect(box, &QCheckBox::clicked, this, [this] { UpdatePlainRead(); });
  }
  SectorChanged();

  connect(ui_->sector, &QComboBox::currentIndexChanged, this, [this] { SectorChanged(); });
  connect(ui_->tables, &AccessTables::RowsChosen, this, [this] { Compose(); });
  connect(ui_->readButton, &QPushButton::clicked, this, [this] { ReadCurrent(); });
  connect(ui_->changeButton, &QPushButton::clicked, this, [this] { Change(); });
}

AccessConditionsDialog::~AccessConditionsDialog() = default;

void AccessConditionsDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

int AccessConditionsDialog::SelectedSector() const {
  return std::max(0, ui_->sector->currentIndex());
}

bool AccessConditionsDialog::KeyB() const {
  return ui_->keyType->currentIndex() == 1;
}

void AccessConditionsDialog::SectorChanged() {
  const bool large = SelectedSector() >= 32;
  const int first = large ? 2355 : 2340;
  TipCheckBox* boxes[4] = {ui_->plain0, ui_->plain1, ui_->plain2, ui_->plain3};
  for (int i = 0; i < 3; ++i) boxes[i]->setText(LoadMessage(first + 5 * i));
  boxes[3]->setText(LoadMessage(large ? 2392 : 2391));
  ui_->tables->SetLargeSector(large);
  ui_->currentAccess->clear();
  ui_->tables->ClearCardRows();
}

bool AccessConditionsDialog::UpdatePlainRead() {
  TipCheckBox* boxes[4] = {ui_->plain0, ui_->plain1, ui_->plain2, ui_->plain3};
  std::array<bool, 4> flags{};
  bool anyClear = false;
  for (int i = 0; i < 4; ++i) {
    flags[static_cast<std::size_t>(i)] = boxes[i]->isChecked();
    anyClear = anyClear || !boxes[i]->isChecked();
  }
  bool changed = false;
  if ((cardVariant_ & 1) != 0 && anyClear) {
    for (TipCheckBox* box : boxes) box->setChecked(true);
    flags.fill(true);
    ShowStatus(LoadMessage(kMsgSCardUnsupported), false);
    changed = true;
  }
  std::uint8_t bytes[5] = {};
  if (hextext::ExactBytes(ui_->newAccess->text(), bytes, 5)) {
    bytes[0] = accessbits::PlainReadByte(flags);
    ui_->newAccess->setText(hextext::FormatBytes(bytes, 5));
  }
  return changed;
}

void AccessConditionsDialog::Compose() {
  std::uint8_t bits[3];
  accessbits::Compose(ui_->tables->selectedRows(), bits);
  std::uint8_t plain[5] = {};
  hextext::ExactBytes(ui_->newAccess->text(), plain, 5);
  ui_->newAccess->setText(
      QString::asprintf("%02X %02X %02X %02X 69", plain[0], bits[0], bits[1], bits[2]));
  UpdatePlainRead();
}

void AccessConditionsDialog::ShowStatus(const QString& text, bool log) {
  ui_->status->setText(text);
  if (log) trailerdialog::Log(page_, text);
}

bool AccessConditionsDialog::AuthenticateAndRead(std::uint8_t trailer[16]) {
  std::uint8_t key[16];
  if (!hextext::ExactBytes(ui_->authKey->text(), key, 16)) {
    ShowWrongLength(this);
    return false;
  }
  const int sector = SelectedSector();
  int error = 0;
  QString info;
  // Always with RATS and PPS: the Level 3 commands need layer 4 even when the
  // menu command came while another level tab was shown.
  if (page_.Activate(1, &error, &info, &cardVariant_) == 0) {
    ui_->result->setText(ResultText(PackResult(kMsgActivationFailed, error)));
    ShowStatus(trailerdialog::StepFailure(LoadMessage(kMsgActivationFailed), error), true);
    return false;
  }
  ui_->cardInfo->setText(info);
  error = 0;
  if (page_.Authenticate(sector, KeyB() ? kKeyTypeL3B : kKeyTypeL3A, 0, key, &error, 0) == 0) {
    const QString text = FormatMessage(kMsgKeyAuthFailed, qUtf8Printable(CodeText(error)));
    ui_->result->setText(ResultText(PackResult(kMsgAuthError, error)));
    ShowStatus(text.trimmed(), true);
    return false;
  }
  std::uint8_t buffer[16] = {};
  const int status = page_.ReadBlocks(accessbits::TrailerBlock(sector), buffer, 16, nullptr);
  if (status != 0) {
    ui_->result->setText(trailerdialog::StepFailure(Text("readFailed"), status));
    ShowStatus(ui_->result->text(), true);
    return false;
  }
  std::memcpy(trailer, buffer, 16);
  return true;
}

void AccessConditionsDialog::ReadCurrent() {
  UpdatePlainRead();
  std::uint8_t trailer[16];
  if (!AuthenticateAndRead(trailer)) return;
  accessbits::Rows rows{};
  if (accessbits::Decode(trailer + 6, &rows)) {
    ui_->tables->ShowCardRows(rows);
  } else {
    ui_->tables->ClearCardRows();
  }
  const bool decoded = ui_->tables->cardRows()[3] != accessbits::kUnknownRow;
  TipCheckBox* boxes[4] = {ui_->plain0, ui_->plain1, ui_->plain2, ui_->plain3};
  for (int i = 0; i < 4; ++i) boxes[i]->setChecked(((trailer[5] >> i) & 1) != 0);
  ui_->currentAccess->setText(hextext::FormatBytes(trailer + 5, 5));
  ui_->status->clear();
  UpdatePlainRead();
  ui_->result->setText(decoded ? QString() : Text("accessUnknown"));
}

void AccessConditionsDialog::Change() {
  UpdatePlainRead();
  std::uint8_t wanted[5];
  std::uint8_t key[16];
  if (!hextext::ExactBytes(ui_->newAccess->text(), wanted, 5) ||
      !hextext::ExactBytes(ui_->authKey->text(), key, 16)) {
    ShowWrongLength(this);
    return;
  }
  accessbits::Rows newRows{};
  if (!accessbits::Decode(wanted + 1, &newRows) || (wanted[0] >> 4) != (~wanted[0] & 0x0F)) {
    ui_->result->setText(Text("complementMismatch"));
    CurrentPrompts().Message(this, Text("complementMismatch"), LoadMessage(kMsgErrorCaption),
                             Prompts::Icon::Error);
    return;
  }
  if (!ConfirmTrailerRow(this, newRows[3], false)) return;

  std::uint8_t trailer[16];
  if (!AuthenticateAndRead(trailer)) return;
  // The activation just told us the card variant: an S card changes the boxes,
  // and then the operator sees the change before anything is written.
  if (UpdatePlainRead()) return;
  hextext::ExactBytes(ui_->newAccess->text(), wanted, 5);

  accessbits::Rows current{};
  if (!accessbits::Decode(trailer + 6, &current)) {
    ui_->result->setText(Text("accessUnreadable"));
    ShowStatus(Text("accessUnreadable"), true);
    return;
  }
  if (std::memcmp(trailer + 5, wanted, 5) != 0 &&
      !accessbits::MayWrite(current[3], Part::Access, KeyB(), false)) {
    const QString text = Text("mayNotChange").arg(Text("partAccess"));
    ui_->result->setText(text);
    CurrentPrompts().Message(this, text, LoadMessage(kMsgChangeFailed), Prompts::Icon::Error);
    return;
  }

  std::memcpy(trailer + 5, wanted, 5);
  const int block = accessbits::TrailerBlock(SelectedSector());
  const int status = page_.WriteBlocks(block, trailer, 16);
  if (status != 0) {
    ui_->result->setText(ResultText(PackResult(kMsgChangeFailed, status)));
    CurrentPrompts().Message(this,
                             FormatMessage(kMsgKeysChangeFailed, qUtf8Printable(CodeText(status))),
                             LoadMessage(kMsgChangeFailed), Prompts::Icon::Error);
    return;
  }

  // A Level 3 card stores a block whole or not at all; read it back where the
  // new conditions still let this key read the trailer.
  QString problem;
  std::uint8_t back[16] = {};
  const bool readable = accessbits::MayRead(newRows[3], Part::Access, KeyB(), false);
  const int read =
      readable ? PLUSSL3Read(kEncryptedRead, static_cast<unsigned short>(block), 1, back) : 0;
  if (!readable) {
    // Nothing to compare with.
  } else if (read != 0) {
    problem = Text("notVerified").arg(CodeText(read));
  } else if (std::memcmp(back, trailer, 16) != 0) {
    problem = Text("notStored").arg(Text("partAccess"));
  }
  if (!problem.isEmpty()) {
    ui_->result->setText(problem);
    ShowStatus(problem, true);
    CurrentPrompts().Message(this, problem, LoadMessage(kMsgChangeFailed), Prompts::Icon::Warning);
    return;
  }
  ui_->result->setText(LoadMessage(kMsgChanged));
  CurrentPrompts().Message(this, LoadMessage(kMsgKeysChanged), LoadMessage(kMsgChanged),
                           Prompts::Icon::Information);
}

void RunAccessConditionsDialog(CardLevelPage& page) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  AccessConditionsDialog dialog(page, owner->SelectedSector(), owner->SelectedCardType(),
                                owner->DialogParent());
  dialog.exec();
}
