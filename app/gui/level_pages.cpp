#include "gui/level_pages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "core/access_bits.h"
#include "core/card_text.h"
#include "core/messages.h"
#include "gui/hex_controls.h"
#include "gui/lock_questions.h"
#include "gui/prompts.h"
#include "ostrel.h"
#include "tips/tip_renderer.h"

namespace {

unsigned char Byte(int value) {
  return static_cast<unsigned char>(value & 0xFF);
}
unsigned short Word(int value) {
  return static_cast<unsigned short>(value & 0xFFFF);
}

// Level 3 reads and writes move at most three blocks per call: the count is
// length / 16 taken as an unsigned byte, 0 becoming 1 and above 3 becoming 3.
unsigned char Sl3BlockCount(int length) {
  const unsigned char n = Byte(length / 16);
  return std::clamp<unsigned char>(n, 1, 3);
}

VirtualCardDialogFactory& TheVirtualCardDialogFactory() {
  static VirtualCardDialogFactory factory;
  return factory;
}

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

}  // namespace

// ---------------------------------------------------------------- Level 0 --

Level0Page::Level0Page(QWidget* parent) : CardLevelPage(0, parent) {
  setObjectName(QStringLiteral("level0Page"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* group = new QGroupBox(UiText(QStringLiteral("102.group")), this);
  group->setObjectName(QStringLiteral("level0Group"));
  outer->addWidget(group);
  outer->addStretch(1);

  auto* grid = new QGridLayout(group);
  grid->addWidget(WrappedLabel(UiText(QStringLiteral("102.intro1")), group), 0, 0, 1, 5);
  grid->addWidget(WrappedLabel(UiText(QStringLiteral("102.intro2")), group), 1, 0, 1, 5);

  struct RowSpec {
    int addressId, dataId, buttonId;
    const char* address;
    const char* stepName;
    const char* keyName;
  };
  static constexpr RowSpec kRows[4] = {
      {1025, 1100, 1010, "0x9000", "102.step1", "102.step1.what"},
      {1040, 1120, 1075, "0x9001", "102.step2", "102.step2.what"},
      {1055, 1135, 1089, "0x9002", "102.step3", "102.step3.what"},
      {1058, 1136, 1090, "0x9003", "102.step4", "102.step4.what"},
  };
  const QString defaultData = QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C");
  for (int i = 0; i < 4; ++i) {
    const RowSpec& spec = kRows[i];
    const int line = 2 + i;
    grid->addWidget(new QLabel(UiText(QString::fromLatin1(spec.stepName)), group), line, 0);
    auto* keyLabel = new QLabel(UiText(QString::fromLatin1(spec.keyName)), group);
    grid->addWidget(keyLabel, line, 1);
    Row& row = rows_[i];
    row.address = new TipAddressCombo(group);
    row.address->setObjectName(QStringLiteral("level0Address%1").arg(i + 1));
    row.address->setProperty("controlId", spec.addressId);
    row.address->addItem(QString::fromLatin1(spec.address));
    row.address->setCurrentIndex(0);
    row.data = new TipHexBytesCombo(group);
    row.data->setObjectName(QStringLiteral("level0Data%1").arg(i + 1));
    row.data->setProperty("controlId", spec.dataId);
    row.data->SetByteCount(16);
    row.data->addItem(defaultData);
    row.data->setCurrentIndex(0);
    row.write = new TipButton(ControlText(102, spec.buttonId), group);
    row.write->setObjectName(QStringLiteral("level0Write%1").arg(i + 1));
    row.write->setProperty("controlId", spec.buttonId);
    // The row's caption names the address; data and button carry it too.
    keyLabel->setBuddy(row.address);
    row.data->setAccessibleName(keyLabel->text());
    row.write->setAccessibleName(row.write->text() + u' ' + keyLabel->text());
    grid->addWidget(row.address, line, 2);
    grid->addWidget(row.data, line, 3);
    grid->addWidget(row.write, line, 4);
    connect(row.write, &QPushButton::clicked, this, [this, i] { WriteRow(i); });
  }
  grid->addWidget(new QLabel(UiText(QStringLiteral("102.step5")), group), 6, 0);
  commit_ = new TipButton(ControlText(102, 1200), group);
  commit_->setObjectName(QStringLiteral("level0Commit"));
  commit_->setProperty("controlId", 1200);
  grid->addWidget(commit_, 6, 1);
  connect(commit_, &QPushButton::clicked, this, [this] { Commit(); });
  writeDefaults_ = new TipButton(ControlText(102, 1074), group);
  writeDefaults_->setObjectName(QStringLiteral("level0WriteDefaults"));
  writeDefaults_->setProperty("controlId", 1074);
  writeDefaults_->setEnabled(false);
  grid->addWidget(writeDefaults_, 6, 4);
  grid->addWidget(WrappedLabel(UiText(QStringLiteral("102.note")), group), 7, 0, 1, 5);
  grid->setColumnStretch(3, 1);
}

void Level0Page::SetTips(TipRenderer* renderer) {
  commit_->Tip().SetText(LoadMessage(2315));
  writeDefaults_->Tip().SetText(LoadMessage(2320));
  commit_->Tip().SetWindow(renderer);
  writeDefaults_->Tip().SetWindow(renderer);
}

namespace {

bool IsSectorTrailer(int block) {
  return block < 128 ? block % 4 == 3 : (block - 128) % 16 == 15;
}

// Trailer bytes 6..8 hold the access bits with their complements.
bool AccessBitsConsistent(const std::uint8_t* trailer) {
  accessbits::Rows rows{};
  return accessbits::Decode(trailer + 6, &rows);
}

bool Zero(const std::uint8_t* data, int from, int to) {
  for (int i = from; i <= to; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

// The factory contents (all zero) stay writable, so a block can be put back.
bool MfpConfigReadable(const std::uint8_t* data) {
  if (Zero(data, 0, 15)) return true;
  return (data[1] >> 4) == (~data[1] & 0x0F) && Zero(data, 2, 15);
}

bool FieldConfigReadable(const std::uint8_t* data) {
  if (Zero(data, 0, 15)) return true;
  auto flag = [](std::uint8_t b) { return b == 0xAA || b == 0x55; };
  return data[0] == 0 && flag(data[1]) && flag(data[2]) && data[3] == 0 && Zero(data, 5, 8) &&
         Zero(data, 11, 15);
}

}  // namespace

QString PersoWriteRefusal(int address, const std::uint8_t* data) {
  if (address == 0) return UiText(QStringLiteral("102.refuseBlock0"));
  if (address > 0 && address < 0x100 && IsSectorTrailer(address) && !AccessBitsConsistent(data)) {
    return UiText(QStringLiteral("102.refuseTrailer")).arg(QString::asprintf("0x%02X", address));
  }
  if (address == 0xB000 && !MfpConfigReadable(data)) {
    return UiText(QStringLiteral("102.refuseMfpConfig"));
  }
  if (address == 0xB003 && !FieldConfigReadable(data)) {
    return UiText(QStringLiteral("102.refuseFieldConfig"));
  }
  return {};
}

void Level0Page::WriteRow(int index) {
  PageOwner* o = owner();
  if (o == nullptr || index < 0 || index > 3) return;
  if (!o->IsConnected()) {
    o->AppendLog(LoadMessage(1950), true);
    return;
  }
  const Row& row = rows_[index];
  const int address = row.address->GetValue();
  std::uint8_t block[16] = {};
  if (address < 0 || !row.data->GetExactBytes(block, 16)) {
    ShowWrongLength(this);
    return;
  }
  const QString refusal = PersoWriteRefusal(address, block);
  if (!refusal.isEmpty()) {
    CurrentPrompts().Message(this, refusal, LoadMessage(2379), Prompts::Icon::Warning);
    return;
  }
  if (!ConfirmPersoWrite(this, address, block)) return;
  const int status = PLUSWritePersoClassic(Word(address), block);
  if (status != 0) {
    o->AppendLog(FormatMessage(2070, 0, address, qUtf8Printable(MessageText(status))), false);
    return;
  }
  o->AppendLog(FormatMessage(2115, 0, address, 1, qUtf8Printable(BlockDataText(block, 1))), false);
}

void Level0Page::Commit() {
  PageOwner* o = owner();
  if (o == nullptr) return;
  if (!o->IsConnected()) {
    o->AppendLog(LoadMessage(1950), true);
    return;
  }
  // The commit cannot be undone: No is the default answer.
  if (!CurrentPrompts().AskYesNo(this, UiText(QStringLiteral("102.commitConfirm")),
                                 UiText(QStringLiteral("102.commitCaption")))) {
    return;
  }
  const int status = PLUSCommitPersoClassic();
  if (status != 0) {
    o->AppendLog(FormatMessage(2310, qUtf8Printable(MessageText(status))), false);
    return;
  }
  o->AppendLog(LoadMessage(2380) + u'\n', false);
}

// ---------------------------------------------------------------- Level 1 --

Level1Page::Level1Page(QWidget* parent) : Level1Page(1, parent) {}

Level1Page::Level1Page(int level, QWidget* parent) : CardLevelPage(level, parent) {
  setObjectName(QStringLiteral("level%1Page").arg(level));
}

int Level1Page::Backup(int sourceBlock, int destinationBlock) {
  return PiccValue(0xC2, Byte(sourceBlock), 0, Byte(destinationBlock));
}

int Level1Page::Increment(int sourceBlock, int value, int destinationBlock) {
  return PiccValue(0xC1, Byte(sourceBlock), value, Byte(destinationBlock));
}

int Level1Page::Decrement(int sourceBlock, int value, int destinationBlock) {
  return PiccValue(0xC0, Byte(sourceBlock), value, Byte(destinationBlock));
}

int Level1Page::ReadValue(int block, int* valueOut, int, int* doneOut) {
  int value = 0;
  const int status = PiccReadValue(Byte(block), &value);
  if (status != 0) return status;
  if (valueOut != nullptr) *valueOut = value;
  if (doneOut != nullptr) *doneOut = 1;
  return 0;
}

int Level1Page::WriteValue(int block, const int* valueIn, int length) {
  if (length <= 0 || valueIn == nullptr) return RegisteredMessageCode(kMsgBufferTooSmallNl);
  return PiccWriteValue(Byte(block), *valueIn);
}

int Level1Page::ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                           int* bytesReadOut) {
  if (bufferLength < 16 || buffer == nullptr) return RegisteredMessageCode(kMsgBufferTooSmallNl);
  const int status = PiccReadBlock(Byte(startBlock), buffer);
  if (status == 0 && bytesReadOut != nullptr) *bytesReadOut = 16;
  return status;
}

int Level1Page::WriteBlocks(int startBlock, const unsigned char* blocks, int length) {
  if (length < 16 || blocks == nullptr) return RegisteredMessageCode(kMsgBufferTooSmallNl);
  return PiccWriteBlock(Byte(startBlock), blocks);
}

int Level1Page::Authenticate(int sector, int keyType, int, const unsigned char* key, int* errorOut,
                             int) {
  unsigned char crypto1Key[6] = {};
  if (key != nullptr) std::memcpy(crypto1Key, key, sizeof crypto1Key);
  const unsigned char mode = keyType == kKeyTypeL1B ? 4 : 0;
  const int status = PiccAuthKey(mode, crypto1Key, Byte(sector));
  if (status == 0) return 1;
  if (errorOut != nullptr) *errorOut = status;
  return 0;
}

// ---------------------------------------------------------------- Level 2 --

Level2Page::Level2Page(QWidget* parent) : Level1Page(2, parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  hint_ = WrappedLabel(UiText(QStringLiteral("107.text")), this);
  hint_->setObjectName(QStringLiteral("level2Hint"));
  layout->addWidget(hint_);
  layout->addStretch(1);
}

int Level2Page::WriteValue(int block, const int* valueIn, int length) {
  if (length <= 0 || valueIn == nullptr) return kMsgBufferTooSmall;
  return PiccWriteValue(Byte(block), *valueIn);
}

int Level2Page::ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                           int* bytesReadOut) {
  if (bufferLength < 16 || buffer == nullptr) return kMsgBlockBufferBelow16;
  // A count beyond one byte would wrap; the card never reads that many anyway.
  const int n = std::min(bufferLength / 16, 255);
  const int status = PLUSSL2MultiBlockRead(Byte(startBlock), Byte(n), buffer);
  if (status == 0 && bytesReadOut != nullptr) *bytesReadOut = 16 * n;
  return status;
}

int Level2Page::WriteBlocks(int startBlock, const unsigned char* blocks, int length) {
  if (length < 16 || blocks == nullptr) return kMsgBlockBufferBelow16;
  const int n = std::min(length / 16, 255);
  return PLUSSL2MultiBlockWrite(Byte(startBlock), Byte(n), blocks);
}

int Level2Page::Authenticate(int sector, int keyType, int aesKeyAddress, const unsigned char* key,
                             int* errorOut, int) {
  auto fail = [errorOut](int code) {
    if (errorOut != nullptr) *errorOut = code;
    return 0;
  };
  AesAuthMemory& memory = TheAesAuthMemory();
  unsigned char keyBytes[16] = {};
  if (key != nullptr) std::memcpy(keyBytes, key, sizeof keyBytes);

  if (keyType == kKeyTypeL2Aes) {
    if (aesKeyAddress < 0x4000 || aesKeyAddress > 0x403F) return fail(kMsgAesAddressRange);
    const int status = PLUSSL2AESAuth(Word(aesKeyAddress), keyBytes);
    if (status != 0) {
      memory.valid = false;
      return fail(status);
    }
    memory.valid = true;
    memory.keyAddress = Word(aesKeyAddress);
    std::memcpy(memory.key.data(), keyBytes, memory.key.size());
    return 1;
  }

  // CRYPTO1 at Level 2 rides on an AES authentication: repeat the remembered
  // one first (it stays remembered even when the repeat fails).
  if (!memory.valid) return fail(kMsgAesAuthFirst);
  const int aesStatus = PLUSSL2AESAuth(memory.keyAddress, memory.key.data());
  if (aesStatus != 0) return fail(aesStatus);
  const unsigned char mode = keyType == kKeyTypeL2B ? 4 : 0;
  const int status = PLUSSL2CryptoAuth(mode, Byte(sector), keyBytes);
  if (status != 0) return fail(status);
  return 1;
}

// ---------------------------------------------------------------- Level 3 --

void SetVirtualCardDialogFactory(VirtualCardDialogFactory factory) {
  TheVirtualCardDialogFactory() = std::move(factory);
}

Level3Page::Level3Page(QWidget* parent) : CardLevelPage(3, parent) {
  setObjectName(QStringLiteral("level3Page"));
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(4, 4, 4, 4);
  auto makeBox = [this](const char* name, const char* textName, int id, bool checked) {
    auto* box = new TipCheckBox(UiText(QString::fromLatin1(textName)), this);
    box->setObjectName(QString::fromLatin1(name));
    box->setProperty("controlId", id);
    box->setChecked(checked);
    return box;
  };
  commandMacBox_ = makeBox("commandMacBox", "106.1610", 1610, commandMac_ != 0);
  responseMacBox_ = makeBox("responseMacBox", "106.1620", 1620, responseMac_ != 0);
  encryptedBox_ = makeBox("encryptedBox", "106.1615", 1615, encrypted_ != 0);
  virtualCardBox_ = makeBox("virtualCardBox", "106.1095", 1095, virtualCard_ != 0);
  relayCheck_ = new QPushButton(ControlText(106, 1000), this);
  relayCheck_->setObjectName(QStringLiteral("relayCheckButton"));
  relayCheck_->setProperty("controlId", 1000);
  relayCheck_->setEnabled(false);  // no relay-attack check is offered
  grid->addWidget(commandMacBox_, 0, 0);
  grid->addWidget(responseMacBox_, 0, 1);
  grid->addWidget(encryptedBox_, 1, 0);
  grid->addWidget(virtualCardBox_, 1, 1);
  grid->addWidget(relayCheck_, 2, 0, 1, 2, Qt::AlignLeft);
  grid->setRowStretch(3, 1);

  // The state change, not the click: assistive technology toggles without clicking.
  connect(virtualCardBox_, &QCheckBox::toggled, this, &Level3Page::VirtualCardToggled);
  if (TheVirtualCardDialogFactory()) {
    virtualCardDialog_ = TheVirtualCardDialogFactory()(*this);
    if (virtualCardDialog_ != nullptr) virtualCardDialog_->hide();
  }
}

Level3Page::~Level3Page() {
  // The dialog is a top-level window, so it is not deleted with the page's children.
  delete virtualCardDialog_;
}

void Level3Page::VirtualCardToggled(bool checked) {
  if (virtualCardDialog_ == nullptr) {
    // Without the dialog the flag would claim something that is not shown.
    virtualCard_ = 0;
    virtualCardBox_->setChecked(false);
    if (checked) LogNotAvailable(virtualCardBox_->text());
    return;
  }
  virtualCard_ = checked ? 1 : 0;
  virtualCardDialog_->setVisible(checked);
}

void Level3Page::VirtualCardDialogClosed() {
  virtualCard_ = 0;
  virtualCardBox_->setChecked(false);
  if (virtualCardDialog_ != nullptr) virtualCardDialog_->hide();
}

void Level3Page::ReadFlags() {
  responseMac_ = responseMacBox_->isChecked() ? 1 : 0;
  encrypted_ = encryptedBox_->isChecked() ? 1 : 0;
  commandMac_ = commandMacBox_->isChecked() ? 1 : 0;
  virtualCard_ = virtualCardBox_->isChecked() ? 1 : 0;
}

void Level3Page::SetTips(TipRenderer* renderer) {
  struct Tip {
    TipCheckBox* box;
    int message;
  };
  const Tip tips[] = {
      {encryptedBox_, 2325},
      {commandMacBox_, 2330},
      {responseMacBox_, 2335},
      {virtualCardBox_, 2377},
  };
  for (const Tip& tip : tips) {
    if (renderer != nullptr) tip.box->Tip().SetText(LoadMessage(tip.message));
    tip.box->Tip().SetWindow(renderer);
  }
}

int Level3Page::Backup(int sourceBlock, int destinationBlock) {
  ReadFlags();
  const int status = PLUSSL3Restore(Byte(0xC2 + ResponseMacBit()), Word(sourceBlock));
  if (status != 0) return status;
  return PLUSSL3Transfer(Byte(0xB4 + ResponseMacBit()), Word(destinationBlock));
}

int Level3Page::Increment(int sourceBlock, int value, int destinationBlock) {
  ReadFlags();
  return PLUSSL3ValueOperTran(Byte(0xB6 + ResponseMacBit()), Word(sourceBlock),
                              Word(destinationBlock), value);
}

int Level3Page::Decrement(int sourceBlock, int value, int destinationBlock) {
  ReadFlags();
  return PLUSSL3ValueOperTran(Byte(0xB8 + ResponseMacBit()), Word(sourceBlock),
                              Word(destinationBlock), value);
}

int Level3Page::ReadValue(int block, int* valueOut, int, int* doneOut) {
  ReadFlags();
  int value = 0;
  const int status =
      PLUSSL3ReadValue(Byte(0x30 + ResponseMacBit() + PlainBit()), Word(block), &value);
  if (status != 0) return status;
  if (valueOut != nullptr) *valueOut = value;
  if (doneOut != nullptr) *doneOut = 1;
  return 0;
}

int Level3Page::WriteValue(int block, const int* valueIn, int) {
  ReadFlags();
  const int value = valueIn != nullptr ? *valueIn : 0;
  return PLUSSL3WriteValue(Byte(0xA0 + ResponseMacBit() + PlainBit()), Word(block), value);
}

int Level3Page::ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                           int* bytesReadOut) {
  ReadFlags();
  if (bufferLength < 16 || buffer == nullptr) return kMsgBlockBufferBelow16;
  const unsigned char n = Sl3BlockCount(bufferLength);
  const unsigned char code = Byte(0x30 + ResponseMacBit() + PlainBit() + NoCommandMacBit());
  const int status = PLUSSL3Read(code, Word(startBlock), n, buffer);
  if (status == 0 && bytesReadOut != nullptr) *bytesReadOut = 16 * n;
  return status;
}

int Level3Page::WriteBlocks(int startBlock, const unsigned char* blocks, int length) {
  ReadFlags();
  if (length < 16 || blocks == nullptr) return kMsgBlockBufferBelow16;
  const unsigned char n = Sl3BlockCount(length);
  return PLUSSL3Write(Byte(0xA0 + ResponseMacBit() + PlainBit()), Word(startBlock), n, blocks);
}

int Level3Page::Authenticate(int sector, int keyType, int, const unsigned char* key, int* errorOut,
                             int) {
  unsigned char keyBytes[16] = {};
  if (key != nullptr) std::memcpy(keyBytes, key, sizeof keyBytes);
  const int address = 0x4000 + 2 * sector + (keyType == kKeyTypeL3A ? 0 : 1);
  const int status = PLUSSL3FirstAuth(Word(address), keyBytes);
  if (status == 0) return 1;
  if (errorOut != nullptr) *errorOut = status;
  return 0;
}
