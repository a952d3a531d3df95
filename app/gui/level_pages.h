// The four card-level pages: Level 0 (personalization of a fresh card), Level 1
// (MIFARE Classic compatible CRYPTO1 commands), Level 2 (AES-bound CRYPTO1 and
// multi-block commands) and Level 3 (AES secure messaging).
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "gui/card_level_page.h"

class QLabel;
class QPushButton;

class TipAddressCombo;
class TipButton;
class TipCheckBox;
class TipHexBytesCombo;

// Why writing the 16 bytes `data` to personalization address `address` would
// break or lock the card (the manufacturer block, a sector trailer whose access
// bits do not match their complements, configuration blocks 0xB000/0xB003 the
// card cannot interpret); an empty text when the write is safe to send.
QString PersoWriteRefusal(int address, const std::uint8_t* data);

class Level0Page : public CardLevelPage {
  Q_OBJECT

 public:
  explicit Level0Page(QWidget* parent = nullptr);

  // One personalization row: the card address, its 16 bytes and the write button.
  struct Row {
    TipAddressCombo* address = nullptr;
    TipHexBytesCombo* data = nullptr;
    TipButton* write = nullptr;
  };
  const Row& row(int index) const { return rows_[index]; }
  TipButton* commitButton() const { return commit_; }
  TipButton* writeDefaultsButton() const { return writeDefaults_; }

  void SetTips(TipRenderer* renderer) override;

  // Write button of row `index` (0..3): one personalization block.
  void WriteRow(int index);
  // Commit button 1200: ends the personalization after a Yes.
  void Commit();

 private:
  Row rows_[4];
  TipButton* commit_ = nullptr;
  TipButton* writeDefaults_ = nullptr;
};

class Level1Page : public CardLevelPage {
  Q_OBJECT

 public:
  explicit Level1Page(QWidget* parent = nullptr);

  int Backup(int sourceBlock, int destinationBlock) override;
  int Increment(int sourceBlock, int value, int destinationBlock) override;
  int Decrement(int sourceBlock, int value, int destinationBlock) override;
  int ReadValue(int block, int* valueOut, int length, int* doneOut) override;
  int WriteValue(int block, const int* valueIn, int length) override;
  int ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                 int* bytesReadOut) override;
  int WriteBlocks(int startBlock, const unsigned char* data, int length) override;
  int Authenticate(int sector, int keyType, int aesKeyAddress, const unsigned char* key,
                   int* errorOut, int reserved) override;

 protected:
  Level1Page(int level, QWidget* parent);
};

class Level2Page : public Level1Page {
  Q_OBJECT

 public:
  explicit Level2Page(QWidget* parent = nullptr);

  int WriteValue(int block, const int* valueIn, int length) override;
  int ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                 int* bytesReadOut) override;
  int WriteBlocks(int startBlock, const unsigned char* data, int length) override;
  int Authenticate(int sector, int keyType, int aesKeyAddress, const unsigned char* key,
                   int* errorOut, int reserved) override;

  QLabel* hint() const { return hint_; }

 private:
  QLabel* hint_ = nullptr;
};

class Level3Page;
// Builds the modeless virtual card dialog of a Level 3 page. The page owns and
// deletes what the factory returns; the dialog calls VirtualCardDialogClosed()
// when the operator closes it.
using VirtualCardDialogFactory = std::function<QWidget*(Level3Page& page)>;
void SetVirtualCardDialogFactory(VirtualCardDialogFactory factory);

class Level3Page : public CardLevelPage {
  Q_OBJECT

 public:
  explicit Level3Page(QWidget* parent = nullptr);
  ~Level3Page() override;

  // Command-code flags, read back from the check boxes before each operation.
  int responseMac() const { return responseMac_; }
  int encrypted() const { return encrypted_; }
  int commandMac() const { return commandMac_; }
  int virtualCard() const { return virtualCard_; }

  TipCheckBox* commandMacBox() const { return commandMacBox_; }
  TipCheckBox* responseMacBox() const { return responseMacBox_; }
  TipCheckBox* encryptedBox() const { return encryptedBox_; }
  TipCheckBox* virtualCardBox() const { return virtualCardBox_; }
  QPushButton* relayCheckButton() const { return relayCheck_; }
  QWidget* virtualCardDialog() const { return virtualCardDialog_; }

  void SetTips(TipRenderer* renderer) override;
  int Backup(int sourceBlock, int destinationBlock) override;
  int Increment(int sourceBlock, int value, int destinationBlock) override;
  int Decrement(int sourceBlock, int value, int destinationBlock) override;
  int ReadValue(int block, int* valueOut, int length, int* doneOut) override;
  int WriteValue(int block, const int* valueIn, int length) override;
  int ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                 int* bytesReadOut) override;
  int WriteBlocks(int startBlock, const unsigned char* data, int length) override;
  int Authenticate(int sector, int keyType, int aesKeyAddress, const unsigned char* key,
                   int* errorOut, int reserved) override;

  // Called by the virtual card dialog when it closes.
  void VirtualCardDialogClosed();

 private:
  void ReadFlags();
  void VirtualCardToggled(bool checked);
  // Mode-byte parts: response MAC (bit 0), plain data (bit 1), no command MAC (bit 2).
  unsigned char ResponseMacBit() const { return responseMac_ ? 1 : 0; }
  unsigned char PlainBit() const { return encrypted_ ? 0 : 2; }
  unsigned char NoCommandMacBit() const { return commandMac_ ? 0 : 4; }

  int responseMac_ = 1;
  int encrypted_ = 0;
  int commandMac_ = 1;
  int virtualCard_ = 0;
  TipCheckBox* commandMacBox_ = nullptr;
  TipCheckBox* responseMacBox_ = nullptr;
  TipCheckBox* encryptedBox_ = nullptr;
  TipCheckBox* virtualCardBox_ = nullptr;
  QPushButton* relayCheck_ = nullptr;
  QWidget* virtualCardDialog_ = nullptr;
};
