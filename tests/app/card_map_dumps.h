// Card dumps for the card map tests: whole cards of either size at Level 1 or 3,
// and a dump that a refused, partial and cancelled read leaves behind.
#pragma once

#include <QString>

#include "cardtools/files.h"
#include "core/access_bits.h"

namespace testdumps {

inline constexpr std::int32_t kValue = 1234;

inline cardtools::Block ValueBlock(std::int32_t value, std::uint8_t address) {
  cardtools::Block b{};
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint8_t>(v >> (8 * i));
    b[static_cast<std::size_t>(i)] = byte;
    b[static_cast<std::size_t>(i + 4)] = static_cast<std::uint8_t>(~byte);
    b[static_cast<std::size_t>(i + 8)] = byte;
  }
  b[12] = b[14] = address;
  b[13] = b[15] = static_cast<std::uint8_t>(~address);
  return b;
}

// Trailer bytes: key A, the access bytes of `rows`, the general purpose byte, key B.
inline cardtools::Block Trailer(const accessbits::Rows& rows) {
  cardtools::Block t{};
  t.fill(0xFF);
  accessbits::Compose(rows, t.data() + 6);
  t[9] = accessbits::kGeneralPurposeByte;
  return t;
}

// Every sector read with the transport key; sector 1 holds a value block (block
// 5) under value-block conditions and a trailer that only key B may change.
inline cardtools::Dump Card(int level, cardtools::CardSize size) {
  cardtools::Dump dump;
  dump.card.uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  dump.card.atqa = {0x44, 0x00};
  dump.card.sak = level == 3 ? 0x20 : 0x18;
  dump.level = level;
  dump.size = size;
  const std::string key(level == 3 ? 32 : 12, 'F');
  for (int sector = 0; sector < cardtools::SectorCount(size); ++sector) {
    cardtools::SectorRecord record;
    record.keyA = key;
    if (level != 3) record.keyB = key;
    const int first = cardtools::FirstBlockOfSector(sector);
    const int count = cardtools::BlocksInSector(sector);
    for (int block = first; block < first + count - 1; ++block) {
      cardtools::Block data{};
      for (int i = 0; i < 16; ++i) {
        data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(block * 7 + i);
      }
      dump.blocks[block] = data;
    }
    const accessbits::Rows rows =
        sector == 1 ? accessbits::Rows{0, accessbits::ValueRow(6), 0, accessbits::ValueRow(3)}
                    : accessbits::Rows{0, 0, 0, accessbits::ValueRow(1)};
    dump.blocks[first + count - 1] = Trailer(rows);
    record.access = cardtools::AccessBytes{};
    std::copy(dump.blocks[first + count - 1].begin() + 6,
              dump.blocks[first + count - 1].begin() + 10, record.access->begin());
    dump.sectors[sector] = record;
  }
  dump.blocks[5] = ValueBlock(kValue, 5);
  return dump;
}

// A 4K Level 1 read that opened sectors 0 and 1, had no key for sectors 2 and
// 4..31, could read only blocks 0 and 3 of sector 3, and was cancelled before
// sector 32.
inline cardtools::Dump Partial() {
  cardtools::Dump dump = Card(1, cardtools::CardSize::k4K);
  for (int sector = 2; sector < 40; ++sector) {
    const int first = cardtools::FirstBlockOfSector(sector);
    for (int i = 0; i < cardtools::BlocksInSector(sector); ++i) {
      if (sector == 3 && (i == 0 || i == 3)) continue;
      dump.blocks.erase(first + i);
    }
    if (sector >= 32) {
      dump.sectors.erase(sector);
    } else if (sector == 3) {
      dump.sectors[sector].status = "partial";
    } else {
      dump.sectors[sector] = cardtools::SectorRecord{};
      dump.sectors[sector].status = "key missing";
    }
  }
  return dump;
}

inline bool Write(const cardtools::Dump& dump, const QString& path) {
  std::string error;
  return cardtools::WriteFileAtomically(path.toStdString(), cardtools::SerializeDump(dump), &error);
}

}  // namespace testdumps
