#include "pcsc_card.h"

#include <cstring>

#include "access.h"
#include "card.h"
#include "contactless_atr.h"
#include "reader.h"

namespace hollink {

namespace {

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::uint16_t kSwSecurity = 0x6982;  // not authenticated for the block
constexpr std::uint8_t kCascadeTag = 0x88;
constexpr std::uint8_t kVolatileSlot = 0x00;

std::uint8_t U8(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

bool PcscCard::Supports(pelkin::CardFeature feature) const {
  // A generic reader offers no raw frames and no CRYPTO1 value commands; layer 4
  // only when it activated the card that way itself.
  return feature == pelkin::CardFeature::kLayer4 && cardLayer4_;
}

bool PcscCard::Command(const Bytes& apdu, Bytes* data, std::uint16_t* sw) {
  Bytes answer;
  if (link_->Transmit(apdu, &answer) != 0 || answer.size() < 2) return false;
  *sw = static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
  data->assign(answer.begin(), answer.end() - 2);
  return true;
}

int PcscCard::CascadeLevels() const {
  return uid_.size() == 10 ? 3 : uid_.size() == 7 ? 2 : 1;
}

std::optional<std::array<std::uint8_t, 2>> PcscCard::Request(bool wakeUp) {
  if (state_ == State::kHalted && !wakeUp) return std::nullopt;
  const State before = state_;
  state_ = State::kIdle;
  layer4_ = false;
  cascade_ = 0;
  Bytes atr;
  if (link_->ResetCard(&atr) != 0) return std::nullopt;
  auto parsed = pelkin::ParseContactlessAtr(atr);
  Bytes uid;
  std::uint16_t sw = 0;
  if (!parsed || !Command({0xFF, 0xCA, 0x00, 0x00, 0x00}, &uid, &sw) || sw != kSwOk ||
      (uid.size() != 4 && uid.size() != 7 && uid.size() != 10)) {
    state_ = before == State::kHalted ? State::kHalted : State::kIdle;
    return std::nullopt;
  }
  uid_ = uid;
  cardLayer4_ = parsed->layer4;
  historical_ = parsed->historical;
  if (cardLayer4_) {
    sak_ = 0x20;
    atq_ = U8((uid_.size() == 7 ? 0x40 : uid_.size() == 10 ? 0x80 : 0x00) | 0x04);
  } else {
    sak_ = pelkin::SakForCardName(parsed->cardName);
    atq_ = pelkin::AtqForCardName(parsed->cardName, uid_.size());
  }
  state_ = State::kReady;
  return std::array<std::uint8_t, 2>{atq_, 0x00};
}

std::optional<std::array<std::uint8_t, 4>> PcscCard::Anticollision(std::uint8_t selectCode) {
  if (state_ != State::kReady || selectCode != 0x93 + 2 * cascade_) return std::nullopt;
  const bool last = cascade_ + 1 == CascadeLevels();
  const std::size_t at = static_cast<std::size_t>(3 * cascade_);
  if (last) return std::array<std::uint8_t, 4>{uid_[at], uid_[at + 1], uid_[at + 2], uid_[at + 3]};
  return std::array<std::uint8_t, 4>{kCascadeTag, uid_[at], uid_[at + 1], uid_[at + 2]};
}

std::optional<std::uint8_t> PcscCard::Select(std::uint8_t selectCode, const std::uint8_t part[4]) {
  auto expected = Anticollision(selectCode);
  if (!expected) return std::nullopt;
  if (std::memcmp(expected->data(), part, 4) != 0) {
    state_ = State::kIdle;
    return std::nullopt;
  }
  if (++cascade_ < CascadeLevels()) return std::uint8_t{0x04};  // UID not complete
  state_ = State::kActive;
  return sak_;
}

void PcscCard::Halt() {
  // The next request resets the card, which ends whatever session it had.
  if (state_ == State::kActive || state_ == State::kReady) state_ = State::kHalted;
  layer4_ = false;
}

void PcscCard::PowerCycle() {
  state_ = State::kIdle;
  layer4_ = false;
}

std::uint8_t PcscCard::AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  if (sector < 0 || sector >= pelkin::SectorCount(true)) return pelkin::kStAuthFailed;
  // The key goes into a volatile slot just before its use, never into the
  // reader's non-volatile memory.
  Bytes load{0xFF, 0x82, 0x00, kVolatileSlot, 0x06};
  load.insert(load.end(), key, key + 6);
  const int block = pelkin::FirstBlockOfSector(sector);
  Bytes data;
  std::uint16_t sw = 0;
  if (Command(load, &data, &sw) && sw == kSwOk &&
      Command({0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, U8(block >> 8), U8(block),
               U8(keyB ? 0x61 : 0x60), kVolatileSlot},
              &data, &sw) &&
      sw == kSwOk) {
    return pelkin::kStOk;
  }
  // As on the air, a failed authentication leaves the card unselected.
  state_ = State::kIdle;
  return pelkin::kStAuthFailed;
}

std::uint8_t PcscCard::ReadBlock(int block, std::uint8_t out[16]) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  Bytes data;
  std::uint16_t sw = 0;
  if (!Command({0xFF, 0xB0, U8(block >> 8), U8(block), 0x10}, &data, &sw)) {
    return pelkin::kStNoCard;
  }
  if (sw == kSwSecurity) return pelkin::kStNotAuthenticated;
  if (sw != kSwOk || data.size() != 16) return pelkin::kStReadError;
  std::memcpy(out, data.data(), 16);
  return pelkin::kStOk;
}

std::uint8_t PcscCard::WriteBlock(int block, const std::uint8_t data[16]) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  Bytes apdu{0xFF, 0xD6, U8(block >> 8), U8(block), 0x10};
  apdu.insert(apdu.end(), data, data + 16);
  Bytes answer;
  std::uint16_t sw = 0;
  if (!Command(apdu, &answer, &sw)) return pelkin::kStNoCard;
  if (sw == kSwSecurity) return pelkin::kStNotAuthenticated;
  return sw == kSwOk ? pelkin::kStOk : pelkin::kStWriteError;
}

std::uint8_t PcscCard::Value(std::uint8_t, int, std::int32_t, int) {
  return pelkin::kStUnknownCommand;
}

std::optional<Bytes> PcscCard::Rats(std::uint8_t) {
  if (state_ != State::kActive || !cardLayer4_ || layer4_) return std::nullopt;
  layer4_ = true;
  // The reader ran RATS itself and kept only the historical bytes: TL, a format
  // byte without interface bytes (FSCI 8: the reader chains long frames), then those.
  Bytes ats{U8(2 + static_cast<int>(historical_.size())), 0x08};
  ats.insert(ats.end(), historical_.begin(), historical_.end());
  return ats;
}

bool PcscCard::Pps() {
  return state_ == State::kActive && layer4_;
}

bool PcscCard::Deselect() {
  if (state_ != State::kActive || !layer4_) return false;
  state_ = State::kHalted;
  layer4_ = false;
  return true;
}

std::optional<Bytes> PcscCard::Exchange(const Bytes& command) {
  if (state_ != State::kActive || !layer4_) return std::nullopt;
  Bytes answer;
  // An empty answer is no answer: the command may or may not have reached the card.
  if (link_->Transmit(command, &answer) != 0 || answer.empty()) return std::nullopt;
  return answer;
}

std::optional<pelkin::RawAnswer> PcscCard::RawExchange(const Bytes&, int) {
  return std::nullopt;
}

}  // namespace hollink
