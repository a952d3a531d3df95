#include "contactless_atr.h"

namespace pelkin {

namespace {

constexpr std::uint8_t kStorageRid[] = {0xA0, 0x00, 0x00, 0x03, 0x06};

std::uint8_t Tck(const Bytes& atr) {
  std::uint8_t x = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) x = static_cast<std::uint8_t>(x ^ atr[i]);
  return x;
}

// Cards that answer a request with ATQ 02 00 (42 00): 4K cards with Classic memory.
bool ClassicFourK(std::uint16_t cardName) {
  return cardName == kCardNameClassic4K || cardName == kCardNamePlusSl1_4K;
}

}  // namespace

Bytes Iso14443_4Atr(const Bytes& historical) {
  const std::size_t n = historical.size() < 15 ? historical.size() : 15;
  Bytes atr;
  atr.reserve(5 + n);
  for (int byte : {0x3B, 0x80 | static_cast<int>(n), 0x80, 0x01})
    atr.push_back(static_cast<std::uint8_t>(byte));
  for (std::size_t i = 0; i < n; ++i) atr.push_back(historical[i]);
  atr.push_back(Tck(atr));
  return atr;
}

Bytes StorageCardAtr(std::uint16_t cardName) {
  Bytes atr;
  atr.reserve(20);
  for (int byte : {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C})
    atr.push_back(static_cast<std::uint8_t>(byte));
  for (std::uint8_t byte : kStorageRid) atr.push_back(byte);
  atr.push_back(0x03);  // ISO 14443 A, part 3
  atr.push_back(static_cast<std::uint8_t>(cardName >> 8));
  atr.push_back(static_cast<std::uint8_t>(cardName));
  for (int i = 0; i < 4; ++i) atr.push_back(0x00);
  atr.push_back(Tck(atr));
  return atr;
}

std::optional<ContactlessAtr> ParseContactlessAtr(const Bytes& atr) {
  if (atr.size() < 5 || atr[0] != 0x3B || (atr[1] & 0xF0) != 0x80 || atr[2] != 0x80 ||
      atr[3] != 0x01) {
    return std::nullopt;
  }
  const std::size_t n = atr[1] & 0x0F;
  if (atr.size() != 4 + n + 1 || Tck(Bytes(atr.begin(), atr.end() - 1)) != atr.back()) {
    return std::nullopt;
  }
  const Bytes historical(atr.begin() + 4, atr.end() - 1);
  ContactlessAtr parsed;
  if (n == 15 && historical[0] == 0x80 && historical[1] == 0x4F && historical[2] == 0x0C &&
      Bytes(historical.begin() + 3, historical.begin() + 8) ==
          Bytes(std::begin(kStorageRid), std::end(kStorageRid))) {
    parsed.cardName = static_cast<std::uint16_t>((historical[9] << 8) | historical[10]);
    return parsed;
  }
  parsed.layer4 = true;
  parsed.historical = historical;
  return parsed;
}

std::optional<Bytes> AtsHistoricalBytes(const Bytes& ats) {
  if (ats.size() < 2 || ats[0] < 2 || ats[0] > ats.size()) return std::nullopt;
  const std::uint8_t t0 = ats[1];
  std::size_t start = 2;
  for (int bit : {0x10, 0x20, 0x40}) start += (t0 & bit) != 0 ? 1 : 0;
  if (start > ats[0]) return std::nullopt;
  return Bytes(ats.begin() + static_cast<std::ptrdiff_t>(start), ats.begin() + ats[0]);
}

std::uint16_t CardNameForSak(std::uint8_t sak) {
  switch (sak) {
    case 0x08:
      return kCardNamePlusSl1_2K;
    case 0x18:
      return kCardNamePlusSl1_4K;
    case 0x10:
      return kCardNamePlusSl2_2K;
    case 0x11:
      return kCardNamePlusSl2_4K;
    default:
      return 0;
  }
}

std::uint8_t SakForCardName(std::uint16_t cardName) {
  switch (cardName) {
    case kCardNameClassic4K:
    case kCardNamePlusSl1_4K:
      return 0x18;
    case kCardNamePlusSl2_2K:
      return 0x10;
    case kCardNamePlusSl2_4K:
      return 0x11;
    default:
      return 0x08;
  }
}

std::uint8_t AtqForCardName(std::uint16_t cardName, std::size_t uidSize) {
  const std::uint8_t size = uidSize == 7 ? 0x40 : uidSize == 10 ? 0x80 : 0x00;
  return static_cast<std::uint8_t>(size | (ClassicFourK(cardName) ? 0x02 : 0x04));
}

}  // namespace pelkin
