#include "gui/dialogs/crypto1_keys_dialog.h"

#include <QKeyEvent>
#include <cstring>
#include <utility>

#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/change_fields.h"
#include "gui/dialogs/access_tables.h"
#include "gui/hex_controls.h"
#include "gui/lock_questions.h"
#include "gui/prompts.h"
#include "ui_crypto1_keys_dialog.h"

namespace {

using accessbits::Part;
using trailerdialog::Text;

constexpr int kMsgKeyAuthFailed = 2170;
constexpr int kMsgKeysChangeFailed = 2370;
constexpr int kMsgKeysChanged = 2375;
constexpr int kMsgWrongLength = 2378;

QString PartName(Part part) {
  switch (part) {
    case Part::KeyA:
      return Text("keyAColumn");
    case Part::Access:
      return Text("partAccess");
    case Part::KeyB:
      return Text("keyBColumn");
  }
  return {};
}

int Offset(Part part) {
  return part == Part::KeyA ? 0 : part == Part::Access ? 6 : 10;
}
int Size(Part part) {
  return part == Part::Access ? 4 : 6;
}
bool Same(const std::uint8_t* a, const std::uint8_t* b, Part part) {
  return std::memcmp(a + Offset(part), b + Offset(part), static_cast<std::size_t>(Size(part))) == 0;
}

}  // namespace

Crypto1KeysDialog::Crypto1KeysDialog(CardLevelPage& page, int initialSector, int cardType,
                                     QWidget* parent)
    : QDialog(parent), page_(page), ui_(std::make_unique<Ui::Crypto1KeysDialog>()) {
  ui_->setupUi(this);
  setWindowTitle(Text("title") + (page.level() == 2 ? QStringLiteral("\t PLUS LEVEL 2")
                                                    : QStringLiteral("\t PLUS LEVEL 1")));
  ui_->sectorLabel->setText(Text("sectorLabel"));
  ui_->keyTypeLabel->setText(Text("keyTypeLabel"));
  ui_->authKeyLabel->setText(Text("authKeyLabel"));
  ui_->readButton->setText(Text("1380"));
  ui_->changeButton->setText(Text("1375"));
  ui_->currentGroup->setTitle(Text("currentGroup"));
  ui_->newGroup->setTitle(Text("newGroup"));
  ui_->currentKeyALabel->setText(Text("keyAColumn"));
  ui_->currentAccessLabel->setText(Text("partAccess"));
  ui_->currentKeyBLabel->setText(Text("keyBColumn"));
  ui_->newKeyALabel->setText(Text("newKeyALabel"));
  ui_->newAccessLabel->setText(Text("newAccessLabel"));
  ui_->newKeyBLabel->setText(Text("newKeyBLabel"));
  ui_->layoutNote->setText(Text("layoutNote"));
  ui_->keyBNote->setText(Text("keyBNote"));
  ui_->resultCaption->setText(Text("1083"));
  ui_->cardInfoCaption->setText(Text("1084"));
  PresentResultField(ui_->result, Text("1083"), ui_->resultCaption);
  PresentResultField(ui_->cardInfo, Text("1084"), ui_->cardInfoCaption);
  for (QPushButton* button :
       {static_cast<QPushButton*>(ui_->readButton), static_cast<QPushButton*>(ui_->changeButton)}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  trailerdialog::FillSectors(ui_->sector, cardType, initialSector);
  trailerdialog::FillKeyTypes(ui_->keyType);
  ui_->tables->SetLargeSector(SelectedSector() >= 32);
  const QString defaultKey = QStringLiteral("5C 5C 5C 5C 5C 5C");
  const std::pair<TipHexEdit*, int> keyFields[] = {
      {ui_->authKey, 2399}, {ui_->newKeyA, 2398}, {ui_->newKeyB, 2397}, {ui_->currentKeyA, 2396}};
  for (const auto& [edit, tip] : keyFields) {
    edit->SetMode(1);
    edit->SetByteCount(6);
    edit->Tip().SetText(LoadMessage(tip));
    if (page.owner() != nullptr) edit->Tip().SetWindow(page.owner()->TipWindow());
  }
  ui_->authKey->setText(defaultKey);
  ui_->newKeyA->setText(defaultKey);
  ui_->newKeyB->setText(defaultKey);
  ui_->newAccess->setText(QStringLiteral("FF 07 80 69"));

  connect(ui_->sector, &QComboBox::currentIndexChanged, this, [this] { SectorChanged(); });
  connect(ui_->tables, &AccessTables::RowsChosen, this, [this] { Compose(); });
  connect(ui_->readButton, &QPushButton::clicked, this, [this] { ReadCurrent(); });
  connect(ui_->changeButton, &QPushButton::clicked, this, [this] { Change(); });
}

Crypto1KeysDialog::~Crypto1KeysDialog() = default;

void Crypto1KeysDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

int Crypto1KeysDialog::SelectedSector() const {
  return std::max(0, ui_->sector->currentIndex());
}

bool Crypto1KeysDialog::KeyB() const {
  return ui_->keyType->currentIndex() == 1;
}

void Crypto1KeysDialog::ShowResult(const QString& text) {
  ui_->result->setText(text);
}

void Crypto1KeysDialog::SectorChanged() {
  ui_->tables->SetLargeSector(SelectedSector() >= 32);
  ui_->currentKeyA->clear();
  ui_->currentKeyB->clear();
  ui_->currentAccess->clear();
  ui_->tables->ClearCardRows();
}

void Crypto1KeysDialog::Compose() {
  std::uint8_t bits[3];
  accessbits::Compose(ui_->tables->selectedRows(), bits);
  ui_->newAccess->setText(
      QString::asprintf("%02X %02X %02X %02X", bits[0], bits[1], bits[2], 0x69));
}

bool Crypto1KeysDialog::AuthenticateAndRead(const std::uint8_t key[6], bool keyB,
                                            std::uint8_t trailer[16]) {
  const int sector = SelectedSector();
  int error = 0;
  QString info;
  if (page_.Activate(0, &error, &info) == 0) {
    const QString text = ResultText(PackResult(kMsgActivationFailed, error));
    ShowResult(text);
    trailerdialog::Log(page_, trailerdialog::StepFailure(LoadMessage(kMsgActivationFailed), error));
    return false;
  }
  ui_->cardInfo->setText(info);
  std::uint8_t key16[16] = {};
  std::memcpy(key16, key, 6);
  const int keyType =
      page_.level() == 2 ? (keyB ? kKeyTypeL2B : kKeyTypeL2A) : (keyB ? kKeyTypeL1B : kKeyTypeL1A);
  error = 0;
  if (page_.Authenticate(sector, keyType, 0, key16, &error, 0) == 0) {
    const QString text = FormatMessage(kMsgKeyAuthFailed, qUtf8Printable(CodeText(error)));
    ShowResult(text.trimmed());
    trailerdialog::Log(page_, text);
    return false;
  }
  std::uint8_t buffer[16] = {};
  const int status = page_.ReadBlocks(accessbits::TrailerBlock(sector), buffer, 16, nullptr);
  if (status != 0) {
    const QString text = trailerdialog::StepFailure(Text("readFailed"), status);
    ShowResult(text);
    trailerdialog::Log(page_, text);
    return false;
  }
  std::memcpy(trailer, buffer, 16);
  return true;
}

void Crypto1KeysDialog::ReadCurrent() {
  std::uint8_t key[6];
  if (!hextext::ExactBytes(ui_->authKey->text(), key, 6)) {
    ShowWrongLength(this);
    return;
  }
  if (page_.level() == 2 && page_.owner() != nullptr) {
    int error = 0;
    page_.owner()->AesAuthenticate(&error);  // its outcome is in the log
  }
  std::uint8_t trailer[16];
  if (!AuthenticateAndRead(key, KeyB(), trailer)) {
    ui_->currentKeyA->clear();
    return;
  }
  accessbits::Rows rows{};
  if (accessbits::Decode(trailer + 6, &rows)) {
    ui_->tables->ShowCardRows(rows);
    ShowResult(QString());
  } else {
    // Bits this key may not read come back as zeros; show no row for them.
    ui_->tables->ClearCardRows();
    ShowResult(Text("accessUnknown"));
  }
  ui_->currentKeyA->setText(hextext::FormatBytes(trailer, 6));
  ui_->currentAccess->setText(hextext::FormatBytes(trailer + 6, 4));
  ui_->currentKeyB->setText(hextext::FormatBytes(trailer + 10, 6));
}

QStringList Crypto1KeysDialog::Refused(const std::uint8_t current[16],
                                       const std::uint8_t wanted[16], const std::uint8_t authKey[6],
                                       bool keyB) const {
  accessbits::Rows rows{};
  accessbits::Decode(current + 6, &rows);
  QStringList refused;
  for (Part part : {Part::KeyA, Part::Access, Part::KeyB}) {
    bool changes = true;
    if (part == Part::Access) {
      changes = !Same(current, wanted, part);
    } else if ((part == Part::KeyB) == keyB) {
      // The key in hand is the one stored.
      changes = std::memcmp(authKey, wanted + Offset(part), 6) != 0;
    } else if (part == Part::KeyB && accessbits::MayRead(rows[3], Part::KeyB, keyB)) {
      changes = !Same(current, wanted, part);
    }
    // Key A never reads back: when it is not the key in hand, it counts as changing.
    if (changes && !accessbits::MayWrite(rows[3], part, keyB)) refused << PartName(part);
  }
  return refused;
}

QStringList Crypto1KeysDialog::NotStored(const std::uint8_t wanted[16],
                                         const std::uint8_t authKey[6], bool keyB,
                                         QString* unverified) {
  // Key A never reads back, but it can always read the access bits: read back
  // with the new key A first; a key that authenticates is a key stored.
  struct Attempt {
    bool keyB;
    const std::uint8_t* key;
  };
  const Attempt attempts[3] = {{false, wanted}, {true, wanted + 10}, {keyB, authKey}};
  std::uint8_t back[16];
  accessbits::Rows rows{};
  int used = -1;
  bool keyAOpens = false;
  QString failure;
  for (int i = 0; i < 3 && used < 0; ++i) {
    // The first reason stands: the new key A is tried first and says most.
    if (!AuthenticateAndRead(attempts[i].key, attempts[i].keyB, back)) {
      if (failure.isEmpty()) failure = ui_->result->text();
      continue;
    }
    keyAOpens = keyAOpens || i == 0;
    // Access bits a key may not read come back as zeros: try the next key.
    if (accessbits::Decode(back + 6, &rows)) {
      used = i;
    } else if (failure.isEmpty()) {
      failure = Text("accessUnknown");
    }
  }
  QStringList missing;
  if (!keyAOpens) missing << PartName(Part::KeyA);
  if (used < 0) {
    *unverified = failure;
    return missing;
  }
  const bool readWithB = attempts[used].keyB;
  if (!Same(back, wanted, Part::Access)) missing << PartName(Part::Access);
  if (accessbits::MayRead(rows[3], Part::KeyB, readWithB)) {
    if (!Same(back, wanted, Part::KeyB)) missing << PartName(Part::KeyB);
  } else if (!accessbits::KeyBReadable(rows[3]) && used != 1) {
    std::uint8_t scratch[16];
    if (!AuthenticateAndRead(wanted + 10, true, scratch)) missing << PartName(Part::KeyB);
  }
  return missing;
}

void Crypto1KeysDialog::Change() {
  // Every field whole before anything goes to the card: a short key would put
  // undefined bytes into the trailer and lose the sector.
  std::uint8_t authKey[6], wanted[16] = {};
  if (!hextext::ExactBytes(ui_->authKey->text(), authKey, 6) ||
      !hextext::ExactBytes(ui_->newKeyA->text(), wanted, 6) ||
      !hextext::ExactBytes(ui_->newAccess->text(), wanted + 6, 4) ||
      !hextext::ExactBytes(ui_->newKeyB->text(), wanted + 10, 6)) {
    ShowWrongLength(this);
    return;
  }
  accessbits::Rows newRows{};
  if (!accessbits::Decode(wanted + 6, &newRows)) {
    ShowResult(Text("complementMismatch"));
    CurrentPrompts().Message(this, Text("complementMismatch"), LoadMessage(kMsgWrongLength + 1),
                             Prompts::Icon::Error);
    return;
  }
  if (!ConfirmTrailerRow(this, newRows[3], true)) return;

  const bool keyB = KeyB();
  std::uint8_t current[16];
  if (!AuthenticateAndRead(authKey, keyB, current)) return;
  accessbits::Rows currentRows{};
  if (!accessbits::Decode(current + 6, &currentRows)) {
    ShowResult(Text("accessUnreadable"));
    trailerdialog::Log(page_, Text("accessUnreadable"));
    return;
  }
  const QStringList refused = Refused(current, wanted, authKey, keyB);
  if (!refused.isEmpty()) {
    const QString text = Text("mayNotChange").arg(refused.join(QStringLiteral(", ")));
    ShowResult(text);
    CurrentPrompts().Message(this, text, LoadMessage(kMsgChangeFailed), Prompts::Icon::Error);
    return;
  }

  const int status = page_.WriteBlocks(accessbits::TrailerBlock(SelectedSector()), wanted, 16);
  if (status != 0) {
    ShowResult(ResultText(PackResult(kMsgChangeFailed, status)));
    CurrentPrompts().Message(this,
                             FormatMessage(kMsgKeysChangeFailed, qUtf8Printable(CodeText(status))),
                             LoadMessage(kMsgChangeFailed), Prompts::Icon::Error);
    return;
  }

  QString unverified;
  const QStringList missing = NotStored(wanted, authKey, keyB, &unverified);
  // Nothing read back is no proof of success either.
  if (!missing.isEmpty() || !unverified.isEmpty()) {
    QString text = missing.isEmpty() ? Text("notVerified").arg(unverified)
                                     : Text("notStored").arg(missing.join(QStringLiteral(", ")));
    if (!missing.isEmpty() && !unverified.isEmpty()) text += u'\n' + unverified;
    ShowResult(text);
    trailerdialog::Log(page_, text);
    CurrentPrompts().Message(this, text, LoadMessage(kMsgChangeFailed), Prompts::Icon::Warning);
    return;
  }
  ShowResult(LoadMessage(kMsgChanged));
  CurrentPrompts().Message(this, LoadMessage(kMsgKeysChanged), LoadMessage(kMsgChanged),
                           Prompts::Icon::Information);
}

void RunCrypto1KeysDialog(CardLevelPage& page) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  constexpr int kLargestCardType = 5;
  Crypto1KeysDialog dialog(page, owner->SelectedSector(), kLargestCardType, owner->DialogParent());
  dialog.exec();
}
