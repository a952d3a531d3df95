// MIFARE Classic memory layout and access conditions, as the simulated card
// applies them at Levels 1 to 3.
#pragma once

#include <cstdint>

namespace pelkin {

// 2K cards have 32 sectors of 4 blocks; 4K cards add 8 sectors of 16 blocks.
int SectorCount(bool fourK);
int BlockCount(bool fourK);
int SectorOfBlock(int block);
int FirstBlockOfSector(int sector);
int BlocksInSector(int sector);
int TrailerOfSector(int sector);
// Access group of a block: 0 to 2 for data blocks, 3 for the sector trailer.
int GroupOfBlock(int block);

// Access conditions of the four groups, each C1 C2 C3 as a 3-bit number
// (C1 the most significant). False when bytes 6 to 8 of a trailer are not a
// consistent encoding (a card would lock the sector for good).
bool DecodeAccessBits(const std::uint8_t bits[3], std::uint8_t conditions[4]);
void EncodeAccessBits(const std::uint8_t conditions[4], std::uint8_t bits[3]);

enum class DataOp { kRead, kWrite, kIncrement, kDecrement /* also transfer and restore */ };
bool DataAllowed(std::uint8_t condition, DataOp op, bool keyB);

enum class TrailerPart { kKeyA, kAccessBits, kKeyB };
bool TrailerReadAllowed(std::uint8_t condition, TrailerPart part, bool keyB);
bool TrailerWriteAllowed(std::uint8_t condition, TrailerPart part, bool keyB);
// Where key B is readable it is data, not a key: it grants no access.
bool KeyBReadable(std::uint8_t trailerCondition);

}  // namespace pelkin
