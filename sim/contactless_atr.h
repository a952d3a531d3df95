// The ATR that a PC/SC contactless reader makes up for a card in its field
// (PC/SC Part 3): the ISO 14443-4 form carries the ATS historical bytes, the
// storage-card form a registered card name.
#pragma once

#include <cstdint>
#include <optional>

#include "card_interface.h"

namespace pelkin {

// Card names of the PC/SC storage-card ATR.
constexpr std::uint16_t kCardNameClassic1K = 0x0001;
constexpr std::uint16_t kCardNameClassic4K = 0x0002;
constexpr std::uint16_t kCardNamePlusSl1_2K = 0x0036;
constexpr std::uint16_t kCardNamePlusSl1_4K = 0x0037;
constexpr std::uint16_t kCardNamePlusSl2_2K = 0x0038;
constexpr std::uint16_t kCardNamePlusSl2_4K = 0x0039;

// 3B 8n 80 01, the n historical bytes, TCK.
Bytes Iso14443_4Atr(const Bytes& historical);
// 3B 8F 80 01 80 4F 0C A0 00 00 03 06, standard 03 (ISO 14443 A part 3), the card name,
// four zero bytes, TCK.
Bytes StorageCardAtr(std::uint16_t cardName);

struct ContactlessAtr {
  bool layer4 = false;         // ISO 14443-4 form
  std::uint16_t cardName = 0;  // storage-card form only
  Bytes historical;            // ISO 14443-4 form only
};
// nullopt: not an ATR of either form, or its TCK is wrong.
std::optional<ContactlessAtr> ParseContactlessAtr(const Bytes& atr);

// The historical bytes of an ATS (TL, T0, the interface bytes T0 announces, then
// the historical bytes); nullopt when the ATS is shorter than its own bytes say.
std::optional<Bytes> AtsHistoricalBytes(const Bytes& ats);

// The storage-card name for the SAK of a MIFARE Plus at Level 1 or 2; 0 for a SAK
// that names no storage card.
std::uint16_t CardNameForSak(std::uint8_t sak);
// The SAK and the ATQ (first byte; the second is 00) that a card of this name
// and UID size answers with. Cards of unknown names are taken for 1K storage cards.
std::uint8_t SakForCardName(std::uint16_t cardName);
std::uint8_t AtqForCardName(std::uint16_t cardName, std::size_t uidSize);

}  // namespace pelkin
