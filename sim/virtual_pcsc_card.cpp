#include "virtual_pcsc_card.h"

#include <cstring>

#include "access.h"
#include "card.h"
#include "contactless_atr.h"

namespace pelkin {

namespace {

constexpr std::uint8_t kCascadeTag = 0x88;

Bytes Sw(std::uint8_t sw1, std::uint8_t sw2, Bytes data = {}) {
  data.push_back(sw1);
  data.push_back(sw2);
  return data;
}

}  // namespace

void VirtualPcscCard::PowerOff() {
  card_->PowerCycle();
  atr_.clear();
  uid_.clear();
  historical_.clear();
  layer4_ = false;
  keyLoaded_ = {};
}

void VirtualPcscCard::PowerOn() {
  PowerOff();
  if (!card_->Request(true)) return;
  std::uint8_t sak = 0x04;
  for (std::uint8_t code = 0x93; code <= 0x97 && (sak & 0x04) != 0; code += 2) {
    auto part = card_->Anticollision(code);
    if (!part) return;
    auto answer = card_->Select(code, part->data());
    if (!answer) return;
    sak = *answer;
    const bool more = (sak & 0x04) != 0;
    // A cascade tag in front of an unfinished UID is not part of it.
    const std::size_t from = more && (*part)[0] == kCascadeTag ? 1 : 0;
    uid_.insert(uid_.end(), part->begin() + static_cast<std::ptrdiff_t>(from), part->end());
  }
  if ((sak & 0x04) != 0) return;
  if ((sak & 0x20) != 0) {
    // The reader runs the ISO 14443-4 activation itself, without a CID.
    auto ats = card_->Rats(0);
    auto historical = ats ? AtsHistoricalBytes(*ats) : std::nullopt;
    if (!historical) return;
    layer4_ = true;
    historical_ = *historical;
    atr_ = Iso14443_4Atr(historical_);
    return;
  }
  const std::uint16_t name = CardNameForSak(sak);
  atr_ = StorageCardAtr(name != 0 ? name : kCardNameClassic1K);
}

Bytes VirtualPcscCard::Transmit(const Bytes& apdu) {
  if (atr_.empty()) return Sw(0x64, 0x00);  // no card: execution error
  if (!apdu.empty() && apdu[0] == 0xFF) return ReaderCommand(apdu);
  if (!layer4_) return Sw(0x6A, 0x81);  // a storage card takes no native commands
  auto answer = card_->Exchange(apdu);
  if (!answer || answer->empty()) return Sw(0x64, 0x01);
  return *answer;
}

Bytes VirtualPcscCard::ReaderCommand(const Bytes& apdu) {
  if (apdu.size() < 4) return Sw(0x67, 0x00);
  const std::uint8_t ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
  const std::size_t lc = apdu.size() > 5 ? apdu[4] : 0;
  const Bytes body = apdu.size() > 5 ? Bytes(apdu.begin() + 5, apdu.end()) : Bytes{};
  if (apdu.size() > 5 && body.size() != lc) return Sw(0x67, 0x00);
  const std::size_t le = apdu.size() == 5 ? (apdu[4] == 0 ? 256 : apdu[4]) : 256;

  switch (ins) {
    case 0xCA: {  // get data: 00 UID, 01 historical bytes of the ATS
      if (p2 != 0 || p1 > 1 || apdu.size() > 5) return Sw(0x6B, 0x00);
      if (p1 == 1 && !layer4_) return Sw(0x6A, 0x81);
      const Bytes& data = p1 == 0 ? uid_ : historical_;
      if (le < data.size()) return Sw(0x6C, static_cast<std::uint8_t>(data.size()));
      return Sw(0x90, 0x00, data);
    }
    case 0x82: {  // load keys: P1 bit 5 non-volatile (not offered), P2 the slot
      if (lc != 6) return Sw(0x67, 0x00);
      if ((p1 & 0x20) != 0) return Sw(0x69, 0x86);
      if (p2 >= keys_.size()) return Sw(0x6B, 0x00);
      std::memcpy(keys_[p2].data(), body.data(), 6);
      keyLoaded_[p2] = true;
      return Sw(0x90, 0x00);
    }
    case 0x86:    // general authenticate: 01, block MSB, block LSB, key type, slot
    case 0x88: {  // the older form: block in P2, key type and slot in the body
      int block = 0;
      std::uint8_t keyType = 0, slot = 0;
      if (ins == 0x86) {
        if (lc != 5 || body[0] != 0x01) return Sw(0x6B, 0x00);
        block = (body[1] << 8) | body[2];
        keyType = body[3];
        slot = body[4];
      } else {
        if (apdu.size() != 6) return Sw(0x67, 0x00);
        block = p2;
        keyType = apdu[4];
        slot = apdu[5];
      }
      if ((keyType != 0x60 && keyType != 0x61) || slot >= keys_.size() || !keyLoaded_[slot]) {
        return Sw(0x69, 0x86);
      }
      const std::uint8_t status =
          card_->AuthenticateCrypto1(keyType == 0x61, SectorOfBlock(block), keys_[slot].data());
      return status == kStOk ? Sw(0x90, 0x00) : Sw(0x63, 0x00);
    }
    case 0xB0: {  // read binary: block in P1 P2, 16 bytes
      if (apdu.size() != 5 || (le != 16 && le != 256)) return Sw(0x67, 0x00);
      std::uint8_t out[16];
      const std::uint8_t status = card_->ReadBlock((p1 << 8) | p2, out);
      if (status == kStOk) return Sw(0x90, 0x00, Bytes(out, out + 16));
      return status == kStNotAuthenticated ? Sw(0x69, 0x82) : Sw(0x69, 0x81);
    }
    case 0xD6: {  // update binary: block in P1 P2, 16 bytes
      if (lc != 16) return Sw(0x67, 0x00);
      const std::uint8_t status = card_->WriteBlock((p1 << 8) | p2, body.data());
      if (status == kStOk) return Sw(0x90, 0x00);
      return status == kStNotAuthenticated ? Sw(0x69, 0x82) : Sw(0x69, 0x81);
    }
    default:
      return Sw(0x6D, 0x00);
  }
}

}  // namespace pelkin
