// The card map's content: a card dump (as "read all sectors" produces it or as a
// dump file holds it) turned into one row per sector and one cell per block, each
// cell saying what the block is, and a sector's trailer decoded into the words of
// the access tables. No widgets: the window only draws what this computes.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "cardtools/files.h"
#include "core/access_bits.h"

namespace cardmap {

enum class BlockKind {
  Manufacturer,  // block 0: UID and manufacturer data
  Data,
  Value,  // value, its complement and its copy, with the address byte pattern
  Trailer,
  NotRead,  // absent from the dump
};
inline constexpr int kBlockKinds = 5;

struct Cell {
  int block = 0;          // absolute block number
  int blockInSector = 0;  // 0.. as the block box counts
  BlockKind kind = BlockKind::NotRead;
  std::int32_t value = 0;    // for Value
  std::uint8_t address = 0;  // for Value: the address byte stored with it
  cardtools::Block data{};   // what was read (zeros when not read)
};

struct SectorRow {
  int sector = 0;
  std::string status;  // the dump's status of the sector ("read", "key refused" ...)
  std::vector<Cell> cells;
};

// The value a value block holds, when its 16 bytes have the value block layout
// (value, inverted value, value, then address, inverted, address, inverted).
struct ValueContent {
  std::int32_t value = 0;
  std::uint8_t address = 0;
};
std::optional<ValueContent> ParseValueBlock(const cardtools::Block& data);

// Every sector of the dump's card, in order.
std::vector<SectorRow> BuildRows(const cardtools::Dump& dump);

// A sector's trailer as the map explains it.
struct TrailerInfo {
  int sector = 0;
  int block = 0;             // absolute number of the trailer block
  bool read = false;         // the trailer block is in the dump
  bool accessValid = false;  // the access bits match their complements
  accessbits::Rows rows{};   // when accessValid
  std::uint8_t generalPurpose = 0;
  std::array<std::uint8_t, 4> accessBytes{};
  bool keysInTrailer = true;  // CRYPTO1 keys; false at Level 3 (AES keys elsewhere)
  QString keyA, keyB;         // hex of a key known from the dump, else empty
  bool keyBReadable = false;  // the trailer row makes key B data
  bool largeSector = false;   // 16 blocks: the data groups are blocks 0-4, 5-9, 10-14
};
TrailerInfo DecodeTrailer(const cardtools::Dump& dump, int sector);

// The access tables' word for a set of rights (bit 0 key A, bit 1 key B).
QString RightsText(int rights);
// "0 1 0": a row's C1 C2 C3.
QString RowBitsText(int row);
// The trailer explained, one line per fact, in the current language.
QStringList TrailerLines(const TrailerInfo& info);

// Texts of the map, in the current language.
QString KindText(BlockKind kind);
// What a cell is, for assistive technology and tips: sector, block, kind and value.
QString CellDescription(int sector, const Cell& cell);
// What a cell shows: its kind in short, and the value of a value block.
QString CellText(const Cell& cell);
// "UID 04A1B2C3, Level 3, 4K card, <source>" for the window's heading.
QString CardSummary(const cardtools::Dump& dump, const QString& source);
// The text of a sector status of the dump ("read", "key missing" ...).
QString StatusText(const std::string& status);

// A dump file (the card tools' JSON format); false with a message that says why.
bool LoadDump(const QString& path, cardtools::Dump* dump, QString* error);

}  // namespace cardmap
