#include "access.h"

namespace pelkin {

namespace {
constexpr int kSmallSectors = 32;
constexpr int kSmallSectorBlocks = 4;
constexpr int kLargeSectorBlocks = 16;
constexpr int kSmallArea = kSmallSectors * kSmallSectorBlocks;  // 128 blocks

// Rights per condition: bit 0 key A, bit 1 key B.
constexpr std::uint8_t kA = 1, kB = 2, kAB = 3, kNone = 0;

// Indexed by condition C1C2C3: read, write, increment, decrement/transfer/restore.
constexpr std::uint8_t kDataRights[8][4] = {
    {kAB, kAB, kAB, kAB},         // 000 transport
    {kAB, kNone, kNone, kAB},     // 001 value block, debit only
    {kAB, kNone, kNone, kNone},   // 010 read only
    {kB, kB, kNone, kNone},       // 011
    {kAB, kB, kNone, kNone},      // 100
    {kB, kNone, kNone, kNone},    // 101
    {kAB, kB, kB, kAB},           // 110 value block
    {kNone, kNone, kNone, kNone}  // 111
};

// Indexed by condition: key A write, access bits read, access bits write, key B read, key B write.
constexpr std::uint8_t kTrailerRights[8][5] = {
    {kA, kA, kNone, kA, kA},            // 000
    {kA, kA, kA, kA, kA},               // 001 transport
    {kNone, kA, kNone, kA, kNone},      // 010
    {kB, kAB, kB, kNone, kB},           // 011
    {kB, kAB, kNone, kNone, kB},        // 100
    {kNone, kAB, kB, kNone, kNone},     // 101
    {kNone, kAB, kNone, kNone, kNone},  // 110
    {kNone, kAB, kNone, kNone, kNone}   // 111
};

bool Has(std::uint8_t rights, bool keyB) {
  return (rights & (keyB ? kB : kA)) != 0;
}
}  // namespace

int SectorCount(bool fourK) {
  return fourK ? 40 : 32;
}
int BlockCount(bool fourK) {
  return fourK ? 256 : kSmallArea;
}

int SectorOfBlock(int block) {
  if (block < kSmallArea) return block / kSmallSectorBlocks;
  return kSmallSectors + (block - kSmallArea) / kLargeSectorBlocks;
}

int FirstBlockOfSector(int sector) {
  if (sector < kSmallSectors) return sector * kSmallSectorBlocks;
  return kSmallArea + (sector - kSmallSectors) * kLargeSectorBlocks;
}

int BlocksInSector(int sector) {
  return sector < kSmallSectors ? kSmallSectorBlocks : kLargeSectorBlocks;
}

int TrailerOfSector(int sector) {
  return FirstBlockOfSector(sector) + BlocksInSector(sector) - 1;
}

int GroupOfBlock(int block) {
  const int sector = SectorOfBlock(block);
  const int index = block - FirstBlockOfSector(sector);
  if (sector < kSmallSectors) return index;
  return index == 15 ? 3 : index / 5;
}

bool DecodeAccessBits(const std::uint8_t bits[3], std::uint8_t conditions[4]) {
  const int c1 = bits[1] >> 4, c2 = bits[2] & 0x0F, c3 = bits[2] >> 4;
  const int notC1 = bits[0] & 0x0F, notC2 = bits[0] >> 4, notC3 = bits[1] & 0x0F;
  if ((c1 ^ notC1) != 0x0F || (c2 ^ notC2) != 0x0F || (c3 ^ notC3) != 0x0F) return false;
  for (int g = 0; g < 4; ++g) {
    conditions[g] = static_cast<std::uint8_t>((((c1 >> g) & 1) << 2) | (((c2 >> g) & 1) << 1) |
                                              ((c3 >> g) & 1));
  }
  return true;
}

void EncodeAccessBits(const std::uint8_t conditions[4], std::uint8_t bits[3]) {
  int c1 = 0, c2 = 0, c3 = 0;
  for (int g = 0; g < 4; ++g) {
    c1 |= ((conditions[g] >> 2) & 1) << g;
    c2 |= ((conditions[g] >> 1) & 1) << g;
    c3 |= (conditions[g] & 1) << g;
  }
  bits[0] = static_cast<std::uint8_t>(((~c2 & 0x0F) << 4) | (~c1 & 0x0F));
  bits[1] = static_cast<std::uint8_t>((c1 << 4) | (~c3 & 0x0F));
  bits[2] = static_cast<std::uint8_t>((c3 << 4) | c2);
}

bool DataAllowed(std::uint8_t condition, DataOp op, bool keyB) {
  return Has(kDataRights[condition & 7][static_cast<int>(op)], keyB);
}

bool TrailerReadAllowed(std::uint8_t condition, TrailerPart part, bool keyB) {
  switch (part) {
    case TrailerPart::kKeyA:
      return false;
    case TrailerPart::kAccessBits:
      return Has(kTrailerRights[condition & 7][1], keyB);
    case TrailerPart::kKeyB:
      return Has(kTrailerRights[condition & 7][3], keyB);
  }
  return false;
}

bool TrailerWriteAllowed(std::uint8_t condition, TrailerPart part, bool keyB) {
  switch (part) {
    case TrailerPart::kKeyA:
      return Has(kTrailerRights[condition & 7][0], keyB);
    case TrailerPart::kAccessBits:
      return Has(kTrailerRights[condition & 7][2], keyB);
    case TrailerPart::kKeyB:
      return Has(kTrailerRights[condition & 7][4], keyB);
  }
  return false;
}

bool KeyBReadable(std::uint8_t trailerCondition) {
  return Has(kTrailerRights[trailerCondition & 7][3], false);
}

}  // namespace pelkin
