// Byte strings, hexadecimal text and the MIFARE memory layout that the whole-card
// tools share: sectors and blocks of 2K and 4K cards and the access bits of a
// sector trailer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cardtools {

using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::uint8_t, 16>;
using AesKey = std::array<std::uint8_t, 16>;
using Crypto1Key = std::array<std::uint8_t, 6>;

// Hex digits, optionally separated by blanks, colons or dashes ("0A 1B", "0a1b").
// nullopt for anything else or an odd digit count.
std::optional<Bytes> ParseHex(std::string_view text);
// Exactly `size` bytes of hex text, else nullopt.
std::optional<Bytes> ParseHexSized(std::string_view text, std::size_t size);
// Upper-case digits, no separators ("0A1B"), or with `separator` between bytes.
std::string ToHex(const std::uint8_t* data, std::size_t size, const char* separator = "");
inline std::string ToHex(const Bytes& data, const char* separator = "") {
  return ToHex(data.data(), data.size(), separator);
}
template <std::size_t N>
std::string ToHex(const std::array<std::uint8_t, N>& data, const char* separator = "") {
  return ToHex(data.data(), N, separator);
}
// A number in decimal or 0x-hex, within [0, max]; nullopt otherwise.
std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max);

// 16 bytes as upper-case pairs, two extra blanks after every fourth byte.
std::string BlockDataText(const std::uint8_t* data);

enum class CardSize { k2K, k4K };
int SectorCount(CardSize size);
int BlockCount(CardSize size);
int SectorOfBlock(int block);
int FirstBlockOfSector(int sector);
int BlocksInSector(int sector);
int TrailerOfSector(int sector);
inline bool IsTrailer(int block) {
  return TrailerOfSector(SectorOfBlock(block)) == block;
}
const char* SizeName(CardSize size);
std::optional<CardSize> ParseSize(std::string_view text);

// Level 3 AES sector key addresses: key A even, key B odd.
inline std::uint16_t SectorKeyAddress(int sector, bool keyB) {
  return static_cast<std::uint16_t>(0x4000 + 2 * sector + (keyB ? 1 : 0));
}

// Bytes 6 to 8 of a trailer hold C1..C3 of the four access groups with their
// complements; a trailer whose complements do not match locks its sector for good.
bool AccessBitsConsistent(const std::uint8_t bits[3]);
// The four conditions (C1C2C3 as a 3-bit number) of consistent access bits.
std::array<std::uint8_t, 4> DecodeAccess(const std::uint8_t bits[3]);
// Trailer conditions (C1C2C3 of group 3) under which no key may ever write the
// access bits again: 000, 010, 100, 110 and 111. Whatever the trailer then says
// about the sector stays so for good.
bool TrailerFreezesSector(std::uint8_t trailerCondition);
// Where key B is readable it is data, not a key: it opens nothing (000, 010, 001).
bool KeyBReadable(std::uint8_t trailerCondition);

// What a key may do under a data group's condition (the MIFARE Classic table).
// Neither checks whether key B is usable at all: see KeyBReadable.
bool DataReadAllowed(std::uint8_t condition, bool keyB);
bool DataWriteAllowed(std::uint8_t condition, bool keyB);
enum class TrailerPart { kKeyA, kAccessBits, kKeyB };
bool TrailerWriteAllowed(std::uint8_t trailerCondition, TrailerPart part, bool keyB);
// Access group of a block in its sector: 0 to 2 for data, 3 for the trailer. The
// 16-block sectors of 4K cards have five data blocks per group.
int GroupOfBlock(int block);

// What becomes permanent when `access` (trailer bytes 6 to 8) goes onto a card:
// one phrase per lasting effect ("the access bits of sector 5", "blocks 4 to 6
// cannot be read or written by any key"); empty when the sector stays changeable.
std::vector<std::string> PermanentEffects(int sector, const std::uint8_t access[3]);

}  // namespace cardtools
