// The per-level card operations. Each security level of a MIFARE Plus card has
// one page; the page is both the tab content the main window shows for that
// level and the only way the application reaches the card for block, value
// and key work, so the choice of library export, command code and address form
// lives in one place per level.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "core/card_activator.h"

class CardLevelPage;
class TipRenderer;
class QWidget;

// What a page needs of the window that owns it. The main window implements it;
// tests and later dialogs may reach the window through it as well.
// Card activation comes from CardActivator.
class PageOwner : public CardActivator {
 public:
  virtual void AppendLog(const QString& text, bool highlight) = 0;
  virtual bool IsConnected() const = 0;
  virtual CardLevelPage* CurrentPage() const = 0;
  virtual int SelectedSector() const = 0;
  virtual int SelectedKeyType() const = 0;
  virtual int SelectedReaderType() const = 0;
  virtual int SelectedCardType() const = 0;
  // The operator commands' recovery: activate the card again and authenticate
  // with the sector key on screen (through the Level 2 AES authentication when
  // the page asks for it). 1 on success; 0 with a code through errorOut, or
  // with errorOut untouched when a message box already told the operator.
  virtual int Recover(int* errorOut) = 0;
  // The Level 2 AES authentication with the address and key on screen; logs
  // its outcome. 1 on success, 0 with the code through errorOut.
  virtual int AesAuthenticate(int* errorOut) = 0;
  // The hover-tip renderer while tips are switched on, else nullptr.
  virtual TipRenderer* TipWindow() const = 0;
  // The window that dialogs and message boxes are opened over.
  virtual QWidget* DialogParent() = 0;
};

// The remembered Level 2 AES authentication: one for the whole program. It
// survives tab switches and is cleared only by a failed AES authentication.
struct AesAuthMemory {
  bool valid = false;
  std::uint16_t keyAddress = 0;
  std::array<unsigned char, 16> key{};
};
AesAuthMemory& TheAesAuthMemory();

// Result codes the pages produce themselves (string-table numbers).
inline constexpr int kMsgBufferTooSmallNl = 2180;  // travels as a registry code
inline constexpr int kMsgNotImplemented = 2210;
inline constexpr int kMsgAesAuthFirst = 2290;
inline constexpr int kMsgBlockBufferBelow16 = 2295;
inline constexpr int kMsgBufferTooSmall = 2300;
inline constexpr int kMsgAesAddressRange = 2305;

// What Recover and AesAuthenticate leave in errorOut when they showed a message
// box for malformed input: the box is the report, no log entry follows.
// Callers set errorOut to it before the call.
inline constexpr int kReportedInBox = -1;

// Key-type item values, as the main window fills its key-type box per level.
inline constexpr int kKeyTypeL1A = 0;
inline constexpr int kKeyTypeL1B = 1;
inline constexpr int kKeyTypeL2A = 2;
inline constexpr int kKeyTypeL2B = 3;
inline constexpr int kKeyTypeL2Aes = 4;
inline constexpr int kKeyTypeL3A = 5;
inline constexpr int kKeyTypeL3B = 6;
// AES key types take 16 key bytes, CRYPTO1 types 6.
inline constexpr bool IsAesKeyType(int keyType) {
  return keyType >= kKeyTypeL2Aes && keyType <= 7;
}

// Opens the card-setting dialog of one dialog template. Dialogs register
// themselves here; a command whose dialog is not registered is reported in the
// information window instead of silently doing nothing.
using SettingDialogRunner = std::function<void(CardLevelPage& page, int commandId)>;
void RegisterSettingDialog(int templateId, SettingDialogRunner runner);
void UnregisterSettingDialog(int templateId);

class CardLevelPage : public QWidget {
  Q_OBJECT

 public:
  CardLevelPage(int level, QWidget* parent = nullptr);
  ~CardLevelPage() override;

  int level() const { return level_; }
  PageOwner* owner() const { return owner_; }
  void setOwner(PageOwner* owner) { owner_ = owner; }

  // 1 when the owner activated a card, 0 otherwise (also without an owner).
  virtual int Activate(int force, int* errorOut, QString* cardInfoOut, int* cardVariant = nullptr);
  // Attaches the hover-tip renderer to the page's own controls; nullptr detaches.
  virtual void SetTips(TipRenderer* renderer);
  // Opens the dialog that belongs to a card-setting menu command of this level.
  virtual void RunSettingCommand(int commandId);

  virtual int Backup(int sourceBlock, int destinationBlock);
  virtual int Increment(int sourceBlock, int value, int destinationBlock);
  virtual int Decrement(int sourceBlock, int value, int destinationBlock);
  virtual int ReadValue(int block, int* valueOut, int length, int* doneOut);
  virtual int WriteValue(int block, const int* valueIn, int length);
  virtual int ReadBlocks(int startBlock, unsigned char* buffer, int bufferLength,
                         int* bytesReadOut);
  virtual int WriteBlocks(int startBlock, const unsigned char* data, int length);
  // 1 on success, 0 on failure with the result code through errorOut. key holds
  // 16 bytes; CRYPTO1 uses the first 6.
  virtual int Authenticate(int sector, int keyType, int aesKeyAddress, const unsigned char* key,
                           int* errorOut, int reserved);

  // The dialog template opened by a card-setting command on this page, or 0
  // when the page does not handle the command.
  virtual int SettingDialogFor(int commandId) const;

 protected:
  // Tells the operator, through the owner's information window, that a
  // function of this page is not available in this build.
  void LogNotAvailable(const QString& what) const;

 private:
  const int level_;
  PageOwner* owner_ = nullptr;
};

// The registry code of a string-table message: how Level 1 reports message 2180.
int RegisteredMessageCode(int messageNumber);

// The caption of a menu command, without its '&' accelerator marks.
QString MenuCommandText(int commandId);
// One log entry saying that `what` is not available in this build.
QString NotAvailableText(const QString& what);
