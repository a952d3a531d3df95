// What the operator commands and the dialogs they open read and write of the
// main window: the page owner's card access and log, the values of the
// sector, block, key, data and operand boxes, and the command numbers. They
// reach the window through this interface only, so none of them depends on it.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <functional>

#include "gui/card_level_page.h"

class CommandHost : public PageOwner {
 public:
  // Command numbers of the menu and of the buttons that have no menu item.
  enum Command : int {
    kAbout = 128,
    kSaveLog = 1840,
    kClose = 1850,
    kConnect = 1760,
    kDisconnect = 1765,
    kLevel0 = 1775,
    kLevel1 = 1780,
    kLevel2 = 1790,
    kLevel3 = 1800,
    kIncrement = 1860,
    kDecrement = 1870,
    kReadValue = 1880,
    kWriteValue = 1890,
    kBackup = 1900,
    kReadBlocks = 1910,
    kWriteBlocks = 1920,
    kCardUpgrade = 2165,
    kTraditionalChinese = 2175,
    kSimplifiedChinese = 2185,
    kEnglish = 2195,
    kReadAllSectors = 32821,
    kActivateCard = 1088,     // button only
    kAuthenticate = 1037,     // button only
    kAesAuthenticate = 1049,  // button only
  };

  // Absolute block number of the selection of the block (1115), source (1280)
  // or destination (1270) box.
  enum class BlockBox { Block, Source, Destination };
  virtual int BlockAddress(BlockBox box) const = 0;
  // Sectors 0..31 have 4 blocks, 32..39 have 16; outside 0..39 gives 0.
  static int BlockAddress(int sector, int blockInSector);
  // Blocks the operator may address in a sector (the trailer is never offered).
  static int DataBlocks(int sector);
  // The default key the key boxes are preset with, of 6 or 16 bytes.
  static QByteArray DefaultKey(int length);

  // The block box's block within the sector.
  virtual int SelectedBlockInSector() const = 0;
  virtual int SelectedBlockCount() const = 0;
  // Limits the block count to the data blocks left in the sector (message 2140
  // when it had to change it) and enables the data rows up to the count.
  virtual void BlockCountCheck() = 0;
  virtual int SelectedAesKeyAddress() const = 0;
  // The value operand box's value.
  virtual int Operand() const = 0;
  // The key box, the Level 2 AES key box and data rows 0..2: true when the box
  // holds exactly `count` whole bytes, which land in `out`.
  virtual bool KeyBytes(std::uint8_t* out, int count) const = 0;
  virtual bool AesKeyBytes(std::uint8_t* out, int count) const = 0;
  virtual bool DataRowBytes(int row, std::uint8_t* out, int count) const = 0;
  virtual void ShowDataRow(int row, const std::uint8_t* bytes, int count) = 0;
};

// Operator commands (block, value and key operations, card upgrade) plug in by
// command number. A command without a handler is reported as not available.
using OperatorCommand = std::function<void(CommandHost& host)>;
void RegisterOperatorCommand(int commandId, OperatorCommand command);
void UnregisterOperatorCommand(int commandId);
// The handler registered for a command, or nullptr.
const OperatorCommand* FindOperatorCommand(int commandId);
