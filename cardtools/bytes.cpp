#include "bytes.h"

#include <cctype>
#include <charconv>

namespace cardtools {

namespace {
int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<Bytes> ParseHex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return std::nullopt;  // a separator inside a byte
      continue;
    }
    const int d = Digit(c);
    if (d < 0) return std::nullopt;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::optional<Bytes> ParseHexSized(std::string_view text, std::size_t size) {
  auto bytes = ParseHex(text);
  if (!bytes || bytes->size() != size) return std::nullopt;
  return bytes;
}

std::string ToHex(const std::uint8_t* data, std::size_t size, const char* separator) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) out += separator;
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
    return std::nullopt;
  return value;
}

std::string BlockDataText(const std::uint8_t* data) {
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i > 0) out += (i % 4 == 0) ? "   " : " ";
    out += ToHex(data + i, 1);
  }
  return out + "\n";
}

int SectorCount(CardSize size) {
  return size == CardSize::k4K ? 40 : 32;
}
int BlockCount(CardSize size) {
  return size == CardSize::k4K ? 256 : 128;
}
int SectorOfBlock(int block) {
  return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}
int FirstBlockOfSector(int sector) {
  return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
}
int BlocksInSector(int sector) {
  return sector < 32 ? 4 : 16;
}
int TrailerOfSector(int sector) {
  return FirstBlockOfSector(sector) + BlocksInSector(sector) - 1;
}
const char* SizeName(CardSize size) {
  return size == CardSize::k4K ? "4K" : "2K";
}
std::optional<CardSize> ParseSize(std::string_view text) {
  if (text == "2K") return CardSize::k2K;
  if (text == "4K") return CardSize::k4K;
  return std::nullopt;
}

bool AccessBitsConsistent(const std::uint8_t bits[3]) {
  const int c1 = bits[1] >> 4, c2 = bits[2] & 0x0F, c3 = bits[2] >> 4;
  const int notC1 = bits[0] & 0x0F, notC2 = bits[0] >> 4, notC3 = bits[1] & 0x0F;
  return (c1 ^ notC1) == 0x0F && (c2 ^ notC2) == 0x0F && (c3 ^ notC3) == 0x0F;
}

std::array<std::uint8_t, 4> DecodeAccess(const std::uint8_t bits[3]) {
  const int c1 = bits[1] >> 4, c2 = bits[2] & 0x0F, c3 = bits[2] >> 4;
  std::array<std::uint8_t, 4> conditions{};
  for (int g = 0; g < 4; ++g) {
    conditions[static_cast<std::size_t>(g)] = static_cast<std::uint8_t>(
        (((c1 >> g) & 1) << 2) | (((c2 >> g) & 1) << 1) | ((c3 >> g) & 1));
  }
  return conditions;
}

bool TrailerFreezesSector(std::uint8_t trailerCondition) {
  // Access bits are writable only under 001 (key A), 011 and 101 (key B).
  return trailerCondition != 1 && trailerCondition != 3 && trailerCondition != 5;
}

bool KeyBReadable(std::uint8_t trailerCondition) {
  return trailerCondition == 0 || trailerCondition == 2 || trailerCondition == 1;
}

bool DataReadAllowed(std::uint8_t condition, bool keyB) {
  switch (condition & 7) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 6:
      return true;
    case 3:
    case 5:
      return keyB;
    default:
      return false;
  }
}

bool DataWriteAllowed(std::uint8_t condition, bool keyB) {
  switch (condition & 7) {
    case 0:
      return true;
    case 3:
    case 4:
    case 6:
      return keyB;
    default:
      return false;
  }
}

bool TrailerWriteAllowed(std::uint8_t trailerCondition, TrailerPart part, bool keyB) {
  // Columns key A, access bits, key B; 'A' key A, 'B' key B, '-' never.
  static const char kTable[8][4] = {"A-A", "AAA", "---", "BBB", "B-B", "-B-", "---", "---"};
  // Rows are indexed by C1C2C3: 000, 001, 010, 011, 100, 101, 110, 111.
  const char who = kTable[trailerCondition & 7][static_cast<int>(part)];
  return who == (keyB ? 'B' : 'A');
}

int GroupOfBlock(int block) {
  const int offset = block - FirstBlockOfSector(SectorOfBlock(block));
  if (BlocksInSector(SectorOfBlock(block)) == 4) return offset;
  return offset == 15 ? 3 : offset / 5;
}

std::vector<std::string> PermanentEffects(int sector, const std::uint8_t access[3]) {
  std::vector<std::string> effects;
  if (!AccessBitsConsistent(access)) {
    effects.push_back("sector " + std::to_string(sector) + " (access bits that do not match)");
    return effects;
  }
  const auto conditions = DecodeAccess(access);
  if (!TrailerFreezesSector(conditions[3])) return effects;
  effects.push_back("the access bits and keys of sector " + std::to_string(sector));
  const bool keyBUsable = !KeyBReadable(conditions[3]);
  const int first = FirstBlockOfSector(sector), perGroup = BlocksInSector(sector) == 4 ? 1 : 5;
  for (int group = 0; group < 3; ++group) {
    const std::uint8_t c = conditions[static_cast<std::size_t>(group)];
    const bool read = DataReadAllowed(c, false) || (keyBUsable && DataReadAllowed(c, true));
    const bool write = DataWriteAllowed(c, false) || (keyBUsable && DataWriteAllowed(c, true));
    if (read && write) continue;
    const int from = first + group * perGroup, to = from + perGroup - 1;
    std::string blocks = from == to
                             ? "block " + std::to_string(from)
                             : "blocks " + std::to_string(from) + " to " + std::to_string(to);
    effects.push_back(blocks + (read    ? " read-only"
                                : write ? " write-only (never read)"
                                        : " no key can read or write"));
  }
  return effects;
}

}  // namespace cardtools
