#include "virtual_pcsc_card.h"

#include <cstring>

#include "access.h"
#include "card.h"
#include "contactless_atr.h"
#include "mfplus/protocol.h"

namespace pelkin {

namespace {

constexpr std::uint8_t kCascadeTag = 0x88;

Bytes Sw(std::uint8_t sw1, std::uint8_t sw2, Bytes data = {}) {
  data.push_back(sw1);
  data.push_back(sw2);
  return data;
}

}  // namespace

bool ParsePcscReaderKind(const std::string& text, PcscReaderKind* kind) {
  for (PcscReaderKind k :
       {PcscReaderKind::kGeneric, PcscReaderKind::kPart3, PcscReaderKind::kPn532}) {
    if (text == PcscReaderKindName(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

const char* PcscReaderKindName(PcscReaderKind kind) {
  switch (kind) {
    case PcscReaderKind::kPart3:
      return "part3";
    case PcscReaderKind::kPn532:
      return "pn532";
    default:
      return "generic";
  }
}

void VirtualPcscCard::PowerOff() {
  card_->PowerCycle();
  air_.Reset();
  atr_.clear();
  uid_.clear();
  historical_.clear();
  layer4_ = false;
  keyLoaded_ = {};
  session_ = false;
  fieldOn_ = true;
  exchangeFlags_ = 0;
  received_.reset();
  registers_.clear();
  targetListed_ = targetLayer4_ = false;
  pendingValue_.reset();
}

void VirtualPcscCard::PowerOn() {
  PowerOff();
  Activate(true);
}

std::optional<std::uint8_t> VirtualPcscCard::Activate(bool layer4) {
  atr_.clear();
  uid_.clear();
  historical_.clear();
  ats_.clear();
  layer4_ = false;
  air_.Reset();
  if (!fieldOn_) return std::nullopt;
  // A card still selected drops back at the first request; the second finds it.
  auto atq = card_->Request(true);
  if (!atq) atq = card_->Request(true);
  if (!atq) return std::nullopt;
  atq_ = *atq;
  std::uint8_t sak = 0x04;
  for (std::uint8_t code = 0x93; code <= 0x97 && (sak & 0x04) != 0; code += 2) {
    auto part = card_->Anticollision(code);
    if (!part) return std::nullopt;
    auto answer = card_->Select(code, part->data());
    if (!answer) return std::nullopt;
    sak = *answer;
    const bool more = (sak & 0x04) != 0;
    // A cascade tag in front of an unfinished UID is not part of it.
    const std::size_t from = more && (*part)[0] == kCascadeTag ? 1 : 0;
    uid_.insert(uid_.end(), part->begin() + static_cast<std::ptrdiff_t>(from), part->end());
  }
  if ((sak & 0x04) != 0) return std::nullopt;
  if (layer4 && (sak & 0x20) != 0) {
    // The reader runs the ISO 14443-4 activation itself, without a CID.
    auto ats = card_->Rats(0);
    auto historical = ats ? AtsHistoricalBytes(*ats) : std::nullopt;
    if (!historical) return std::nullopt;
    ats_ = *ats;
    layer4_ = true;
    historical_ = *historical;
    atr_ = Iso14443_4Atr(historical_);
    air_.Activated(uid_, sak, true);
    return sak;
  }
  const std::uint16_t name = CardNameForSak(sak);
  atr_ = StorageCardAtr(name != 0 ? name : kCardNameClassic1K);
  air_.Activated(uid_, sak, false);
  return sak;
}

Bytes VirtualPcscCard::Transmit(const Bytes& apdu) {
  // The reader's front end answers these with or without a card in the field.
  if (apdu.size() >= 2 && apdu[0] == 0xFF) {
    if (kind_ == PcscReaderKind::kPart3 && apdu[1] == 0xC2) return TransparentCommand(apdu);
    if (kind_ == PcscReaderKind::kPn532 && apdu[1] == 0x00) return Pn532Escape(apdu);
  }
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
    case 0xD7:  // value block operation, restore
    case 0xB1:  // read value block
      if (kind_ == PcscReaderKind::kGeneric) return Sw(0x6D, 0x00);
      return ValueCommand(apdu);
    default:
      return Sw(0x6D, 0x00);
  }
}

// The value commands of storage-card readers: FF D7 00 block 05 op value
// (00 store, 01 increment, 02 decrement; value MSB first), FF D7 00 source 02 03
// target (restore into the target), FF B1 00 block 04 (read, MSB first). The
// readers answer 63 00 to anything the card refuses.
Bytes VirtualPcscCard::ValueCommand(const Bytes& apdu) {
  const std::uint8_t p1 = apdu[2], block = apdu[3];
  if (p1 != 0x00) return Sw(0x6A, 0x81);
  auto done = [](std::uint8_t status) { return status == kStOk ? Sw(0x90, 0x00) : Sw(0x63, 0x00); };
  if (apdu[1] == 0xB1) {
    if (apdu.size() != 5 || apdu[4] != 0x04) return Sw(0x67, 0x00);
    std::uint8_t out[16];
    std::int32_t value = 0;
    if (card_->ReadBlock(block, out) != kStOk || !ostrel::mfplus::ParseValueBlock(out, &value)) {
      return Sw(0x63, 0x00);
    }
    const auto v = static_cast<std::uint32_t>(value);
    return Sw(0x90, 0x00,
              Bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                    static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
  }
  if (apdu.size() == 7 && apdu[4] == 0x02 && apdu[5] == 0x03) {
    return done(card_->Value(0xC2, block, 0, apdu[6]));  // restore source into target
  }
  if (apdu.size() != 10 || apdu[4] != 0x05) return Sw(0x67, 0x00);
  const std::int32_t value =
      static_cast<std::int32_t>((std::uint32_t{apdu[6]} << 24) | (std::uint32_t{apdu[7]} << 16) |
                                (std::uint32_t{apdu[8]} << 8) | std::uint32_t{apdu[9]});
  switch (apdu[5]) {
    case 0x00: {  // store: a value block whose address byte is the block itself
      std::uint8_t data[16];
      ostrel::mfplus::BuildValueBlock(data, block, value);
      return done(card_->WriteBlock(block, data));
    }
    case 0x01:
      return done(card_->Value(0xC1, block, value, block));
    case 0x02:
      return done(card_->Value(0xC0, block, value, block));
    default:
      return Sw(0x6A, 0x81);
  }
}

}  // namespace pelkin
