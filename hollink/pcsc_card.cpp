#include "pcsc_card.h"

#include <algorithm>
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
// Manage Session data objects.
constexpr std::uint8_t kVersion = 0x80, kStartSession = 0x81, kEndSession = 0x82, kRfOff = 0x83,
                       kRfOn = 0x84;
// PN532 commands.
constexpr std::uint8_t kGetFirmwareVersion = 0x02, kReadRegister = 0x06, kWriteRegister = 0x08,
                       kRfConfiguration = 0x32, kInDataExchange = 0x40, kInCommunicateThru = 0x42,
                       kInDeselect = 0x44, kInListPassiveTarget = 0x4A;
// Frame sizes by FSCI (ISO/IEC 14443-4).
constexpr std::size_t kFrameSizes[] = {16, 24, 32, 40, 48, 64, 96, 128, 256};
// Transceive data objects carry at most this much in a short APDU.
constexpr std::size_t kMaxRawFrame = 240;

std::uint8_t U8(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// What a reader answers to a command class or instruction it does not have.
bool Unknown(std::uint16_t sw) {
  return sw == 0x6D00 || sw == 0x6E00 || sw == 0x6A81 || sw == 0x6800 || sw == 0x6B00;
}

}  // namespace

bool PcscCard::Supports(pelkin::CardFeature feature) const {
  const bool raw = paths_.raw != ReaderPaths::Raw::kNone;
  switch (feature) {
    case pelkin::CardFeature::kLayer4:
      return cardLayer4_ || !chipAts_.empty() || raw;
    case pelkin::CardFeature::kValue:
      return paths_.valueApdus || paths_.raw == ReaderPaths::Raw::kPn532;
    case pelkin::CardFeature::kRawExchange:
      // Frames inside the reader's CRYPTO1 channel cannot be carried.
      return raw && !crypto1_;
  }
  return false;
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

void PcscCard::Probe() {
  probed_ = true;
  generation_ = link_->Generation();
  paths_ = {};
  Bytes data, answer;
  std::uint16_t sw = 0;
  if (link_->Transmit(SessionApdu(0x00, {kVersion, 0x00}), &answer) == 0 &&
      ParseSessionAnswer(answer).ok) {
    paths_.raw = ReaderPaths::Raw::kSession;
  } else {
    // The firmware string is a hint for the operator; the chip's own answer decides.
    // Some readers answer the string without a status word.
    if (link_->Transmit({0xFF, 0x00, 0x48, 0x00, 0x00}, &answer) == 0 && answer.size() > 2) {
      if (answer[answer.size() - 2] == 0x90 && answer.back() == 0x00)
        answer.resize(answer.size() - 2);
      for (std::uint8_t c : answer)
        if (c >= 0x20 && c < 0x7F) paths_.firmware.push_back(static_cast<char>(c));
    }
    if (Chip({kGetFirmwareVersion})) paths_.raw = ReaderPaths::Raw::kPn532;
  }
  // Read value of block 0 unauthenticated: a reader that has the command refuses
  // the block, one that has not refuses the instruction.
  if (Command({0xFF, 0xB1, 0x00, 0x00, 0x04}, &data, &sw)) paths_.valueApdus = !Unknown(sw);
}

std::optional<Bytes> PcscCard::Chip(const Bytes& command) {
  Bytes answer;
  if (link_->Transmit(Pn532Apdu(command), &answer) != 0) return std::nullopt;
  return ParsePn532Answer(command, answer);
}

void PcscCard::SessionControl(std::uint8_t tag) {
  Bytes answer;
  link_->Transmit(SessionApdu(0x00, {tag, 0x00}), &answer);
}

void PcscCard::EndRaw() {
  if (sessionOpen_) {
    SessionControl(kRfOff);
    SessionControl(kRfOn);
    SessionControl(kEndSession);
    sessionOpen_ = false;
  } else if (paths_.raw == ReaderPaths::Raw::kPn532 && state_ != State::kIdle) {
    Chip({kRfConfiguration, 0x01, 0x00});
    Chip({kRfConfiguration, 0x01, 0x01});
  }
  crypto1_ = false;
  hostTcl_ = false;
  chipAts_.clear();
  cid_.reset();
}

std::optional<pelkin::RawAnswer> PcscCard::Transceive(const Bytes& data, int bits, bool txCrc,
                                                      bool rxCrc) {
  if (data.size() > kMaxRawFrame) return std::nullopt;
  if (paths_.raw == ReaderPaths::Raw::kPn532) return ChipTransceive(data, bits, txCrc, rxCrc);
  if (!sessionOpen_) return std::nullopt;
  Bytes answer;
  if (link_->Transmit(SessionApdu(0x01, TransceiveObjects(data, bits, txCrc, rxCrc)), &answer) != 0)
    return std::nullopt;
  const SessionAnswer parsed = ParseSessionAnswer(answer);
  if (!parsed.ok || parsed.errors != 0 || parsed.card.empty()) return std::nullopt;
  pelkin::RawAnswer raw{parsed.card, static_cast<int>(parsed.card.size()) * 8};
  if (parsed.lastBits && *parsed.lastBits != 0) raw.bits -= 8 - *parsed.lastBits;
  return raw;
}

// The chip adds and checks the CRC and sends whole bytes by default; anything
// else is a register setting for this one frame, put back afterwards.
std::optional<pelkin::RawAnswer> PcscCard::ChipTransceive(const Bytes& data, int bits, bool txCrc,
                                                          bool rxCrc) {
  const bool plain = txCrc && rxCrc && bits % 8 == 0;
  Bytes saved;
  if (!plain) {
    auto read = Chip({kReadRegister, U8(kRegTxMode >> 8), U8(kRegTxMode), U8(kRegRxMode >> 8),
                      U8(kRegRxMode), U8(kRegBitFraming >> 8), U8(kRegBitFraming)});
    if (!read || read->size() != 3) return std::nullopt;
    saved = *read;
    const Bytes set{kWriteRegister,
                    U8(kRegTxMode >> 8),
                    U8(kRegTxMode),
                    U8((saved[0] & 0x7F) | (txCrc ? 0x80 : 0)),
                    U8(kRegRxMode >> 8),
                    U8(kRegRxMode),
                    U8((saved[1] & 0x7F) | (rxCrc ? 0x80 : 0)),
                    U8(kRegBitFraming >> 8),
                    U8(kRegBitFraming),
                    U8((saved[2] & 0xF8) | (bits % 8))};
    if (!Chip(set)) return std::nullopt;
  }
  Bytes command{kInCommunicateThru};
  command.insert(command.end(), data.begin(), data.end());
  auto answer = Chip(command);
  std::optional<Bytes> control;
  if (!plain) {
    control = Chip({kReadRegister, U8(kRegControl >> 8), U8(kRegControl)});
    Chip({kWriteRegister, U8(kRegTxMode >> 8), U8(kRegTxMode), saved[0], U8(kRegRxMode >> 8),
          U8(kRegRxMode), saved[1], U8(kRegBitFraming >> 8), U8(kRegBitFraming), saved[2]});
  }
  // The status byte's low six bits: 0 or an error (time-out, CRC, parity, ...).
  if (!answer || answer->size() < 2 || ((*answer)[0] & 0x3F) != 0) return std::nullopt;
  pelkin::RawAnswer raw{Bytes(answer->begin() + 1, answer->end()), 0};
  raw.bits = static_cast<int>(raw.bytes.size()) * 8;
  if (control && control->size() == 1 && ((*control)[0] & 0x07) != 0)
    raw.bits -= 8 - ((*control)[0] & 0x07);
  return raw;
}

std::optional<Bytes> PcscCard::Frame(const Bytes& data) {
  auto answer = Transceive(data, static_cast<int>(data.size()) * 8, true, true);
  if (!answer || answer->bits % 8 != 0) return std::nullopt;
  return answer->bytes;
}

bool PcscCard::ActivateInSession(bool wakeUp) {
  Bytes answer;
  if (link_->Transmit(SessionApdu(0x00, {kStartSession, 0x00}), &answer) != 0 ||
      !ParseSessionAnswer(answer).ok)
    return false;
  sessionOpen_ = true;
  // Layer 3 only, so RATS is the host's; the reader selects the card once...
  if (link_->Transmit(SessionApdu(0x02, {0x8F, 0x02, 0x00, 0x03}), &answer) != 0 ||
      !ParseSessionAnswer(answer).ok)
    return false;
  // ...and the card answers its ATQ to a wake-up after a halt.
  Bytes halt{0x50, 0x00};
  Transceive(halt, 16, true, true);
  auto atq = Transceive({U8(wakeUp ? 0x52 : 0x26)}, 7, false, false);
  if (!atq || atq->bits != 16) return false;
  atq_ = atq->bytes[0];
  // Select with the known UID, each cascade level with its BCC.
  for (int level = 0; level < CascadeLevels(); ++level) {
    const bool last = level + 1 == CascadeLevels();
    const std::size_t at = static_cast<std::size_t>(3 * level);
    Bytes select{U8(0x93 + 2 * level), 0x70};
    if (last)
      select.insert(select.end(), uid_.begin() + static_cast<std::ptrdiff_t>(at),
                    uid_.begin() + static_cast<std::ptrdiff_t>(at + 4));
    else
      select.insert(select.end(), {kCascadeTag, uid_[at], uid_[at + 1], uid_[at + 2]});
    select.push_back(U8(select[2] ^ select[3] ^ select[4] ^ select[5]));
    auto sak = Frame(select);
    if (!sak || sak->size() != 1) return false;
    sak_ = (*sak)[0];
  }
  return true;
}

bool PcscCard::ActivateThroughChip() {
  // The reader's own activation holds the card: the field goes off and on so
  // the chip lists it afresh (a reader without the command just lists it).
  Chip({kRfConfiguration, 0x01, 0x00});
  Chip({kRfConfiguration, 0x01, 0x01});
  auto listed = Chip({kInListPassiveTarget, 0x01, 0x00});
  auto target = listed ? ParseListedTarget(*listed) : std::nullopt;
  if (!target) return false;
  uid_ = target->uid;
  atq_ = target->atq[0];
  sak_ = target->sak;
  chipAts_ = target->ats;
  return true;
}

std::optional<std::array<std::uint8_t, 2>> PcscCard::Request(bool wakeUp) {
  if (state_ == State::kHalted && !wakeUp) return std::nullopt;
  const State before = state_;
  EndRaw();
  state_ = State::kIdle;
  layer4_ = false;
  cardLayer4_ = false;
  cascade_ = 0;
  Bytes atr;
  if (link_->ResetCard(&atr) != 0) {
    state_ = before == State::kHalted ? State::kHalted : State::kIdle;
    return std::nullopt;
  }
  if (!probed_ || generation_ != link_->Generation()) {
    Probe();
    // A refused probe can leave a card unselected: start again from the reset.
    if (link_->ResetCard(&atr) != 0) return std::nullopt;
  }
  auto parsed = pelkin::ParseContactlessAtr(atr);
  Bytes uid;
  std::uint16_t sw = 0;
  if (!parsed || !Command({0xFF, 0xCA, 0x00, 0x00, 0x00}, &uid, &sw) || sw != kSwOk ||
      (uid.size() != 4 && uid.size() != 7 && uid.size() != 10)) {
    state_ = before == State::kHalted ? State::kHalted : State::kIdle;
    return std::nullopt;
  }
  uid_ = uid;
  historical_ = parsed->historical;
  bool activated = false;
  if (paths_.raw == ReaderPaths::Raw::kSession) {
    activated = ActivateInSession(true);
  } else if (paths_.raw == ReaderPaths::Raw::kPn532) {
    activated = ActivateThroughChip();
  } else {
    activated = true;
    cardLayer4_ = parsed->layer4;
    if (cardLayer4_) {
      sak_ = 0x20;
      atq_ = U8((uid_.size() == 7 ? 0x40 : uid_.size() == 10 ? 0x80 : 0x00) | 0x04);
    } else {
      sak_ = pelkin::SakForCardName(parsed->cardName);
      atq_ = pelkin::AtqForCardName(parsed->cardName, uid_.size());
    }
  }
  if (!activated) {
    state_ = State::kReady;  // so that EndRaw puts the field back
    EndRaw();
    state_ = before == State::kHalted ? State::kHalted : State::kIdle;
    return std::nullopt;
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
  if (state_ == State::kActive && sessionOpen_) Transceive({0x50, 0x00}, 16, true, true);
  // The next request resets the card, which ends whatever session it had.
  EndRaw();
  if (state_ == State::kActive || state_ == State::kReady) state_ = State::kHalted;
  layer4_ = false;
}

void PcscCard::PowerCycle() {
  EndRaw();
  state_ = State::kIdle;
  layer4_ = false;
}

std::uint8_t PcscCard::ChipCrypto1(const Bytes& command, Bytes* answer) {
  Bytes exchange{kInDataExchange, 0x01};
  exchange.insert(exchange.end(), command.begin(), command.end());
  auto chip = Chip(exchange);
  if (!chip || chip->empty()) return pelkin::kStNoCard;
  answer->assign(chip->begin() + 1, chip->end());
  return (*chip)[0] & 0x3F;
}

std::uint8_t PcscCard::AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  if (sector < 0 || sector >= pelkin::SectorCount(true)) return pelkin::kStAuthFailed;
  const int block = pelkin::FirstBlockOfSector(sector);
  Bytes data;
  std::uint16_t sw = 0;
  bool ok = false;
  if (paths_.raw == ReaderPaths::Raw::kPn532) {
    // The chip authenticates with the last four UID bytes.
    Bytes auth{U8(keyB ? 0x61 : 0x60), U8(block)};
    auth.insert(auth.end(), key, key + 6);
    auth.insert(auth.end(), uid_.end() - 4, uid_.end());
    ok = ChipCrypto1(auth, &data) == 0;
  } else {
    // The reader's CRYPTO1 unit and a transparent session do not mix.
    if (sessionOpen_) {
      SessionControl(kEndSession);
      sessionOpen_ = false;
    }
    // The key goes into a volatile slot just before its use, never into the
    // reader's non-volatile memory.
    Bytes load{0xFF, 0x82, 0x00, kVolatileSlot, 0x06};
    load.insert(load.end(), key, key + 6);
    ok = Command(load, &data, &sw) && sw == kSwOk &&
         Command({0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, U8(block >> 8), U8(block),
                  U8(keyB ? 0x61 : 0x60), kVolatileSlot},
                 &data, &sw) &&
         sw == kSwOk;
  }
  crypto1_ = true;
  if (ok) return pelkin::kStOk;
  // As on the air, a failed authentication leaves the card unselected.
  state_ = State::kIdle;
  return pelkin::kStAuthFailed;
}

std::uint8_t PcscCard::ReadBlock(int block, std::uint8_t out[16]) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  Bytes data;
  std::uint16_t sw = 0;
  if (paths_.raw == ReaderPaths::Raw::kPn532) {
    const std::uint8_t status = ChipCrypto1({0x30, U8(block)}, &data);
    if (status == pelkin::kStNoCard) return status;
    if (status != 0 || data.size() != 16) return pelkin::kStReadError;
    std::memcpy(out, data.data(), 16);
    return pelkin::kStOk;
  }
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
  Bytes answer;
  if (paths_.raw == ReaderPaths::Raw::kPn532) {
    Bytes write{0xA0, U8(block)};
    write.insert(write.end(), data, data + 16);
    const std::uint8_t status = ChipCrypto1(write, &answer);
    if (status == pelkin::kStNoCard) return status;
    return status == 0 ? pelkin::kStOk : pelkin::kStWriteError;
  }
  Bytes apdu{0xFF, 0xD6, U8(block >> 8), U8(block), 0x10};
  apdu.insert(apdu.end(), data, data + 16);
  std::uint16_t sw = 0;
  if (!Command(apdu, &answer, &sw)) return pelkin::kStNoCard;
  if (sw == kSwSecurity) return pelkin::kStNotAuthenticated;
  return sw == kSwOk ? pelkin::kStOk : pelkin::kStWriteError;
}

std::uint8_t PcscCard::ValueApdu(std::uint8_t mode, int block, std::int32_t value,
                                 int transferBlock) {
  Bytes apdu;
  if (mode == 0xC2) {
    apdu = {0xFF, 0xD7, 0x00, U8(block), 0x02, 0x03, U8(transferBlock)};
  } else {
    // The reader writes the result back into the block it changed: a transfer
    // elsewhere cannot be done without changing the source first.
    if (transferBlock != block) return pelkin::kStUnknownCommand;
    const auto v = static_cast<std::uint32_t>(value);
    apdu = {0xFF,
            0xD7,
            0x00,
            U8(block),
            0x05,
            U8(mode == 0xC1 ? 0x01 : 0x02),
            U8(static_cast<int>(v >> 24)),
            U8(static_cast<int>(v >> 16)),
            U8(static_cast<int>(v >> 8)),
            U8(static_cast<int>(v))};
  }
  Bytes data;
  std::uint16_t sw = 0;
  if (!Command(apdu, &data, &sw)) return pelkin::kStNoCard;
  if (sw == kSwOk) return pelkin::kStOk;
  if (Unknown(sw)) {
    paths_.valueApdus = false;  // asked once, not again
    return pelkin::kStUnknownCommand;
  }
  if (sw == kSwSecurity) return pelkin::kStNotAuthenticated;
  return mode == 0xC1   ? pelkin::kStIncrementError
         : mode == 0xC0 ? pelkin::kStDecrementError
                        : pelkin::kStTransferError;
}

std::uint8_t PcscCard::ChipValue(std::uint8_t mode, int block, std::int32_t value,
                                 int transferBlock) {
  const auto v = static_cast<std::uint32_t>(value);
  Bytes operation{mode,
                  U8(block),
                  U8(static_cast<int>(v)),
                  U8(static_cast<int>(v >> 8)),
                  U8(static_cast<int>(v >> 16)),
                  U8(static_cast<int>(v >> 24))};
  Bytes answer;
  std::uint8_t status = ChipCrypto1(operation, &answer);
  if (status == pelkin::kStNoCard) return status;
  if (status != 0) {
    return mode == 0xC1   ? pelkin::kStIncrementError
           : mode == 0xC0 ? pelkin::kStDecrementError
                          : pelkin::kStTransferError;
  }
  status = ChipCrypto1({0xB0, U8(transferBlock)}, &answer);
  if (status == pelkin::kStNoCard) return status;
  return status == 0 ? pelkin::kStOk : pelkin::kStTransferError;
}

std::uint8_t PcscCard::Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) {
  if (state_ != State::kActive) return pelkin::kStNoCard;
  if (mode != 0xC0 && mode != 0xC1 && mode != 0xC2) return pelkin::kStUnknownCommand;
  if (paths_.valueApdus) {
    const std::uint8_t status = ValueApdu(mode, block, value, transferBlock);
    // A transfer elsewhere, or a refused instruction, may still go through the chip.
    if (status != pelkin::kStUnknownCommand || paths_.raw != ReaderPaths::Raw::kPn532)
      return status;
  }
  if (paths_.raw == ReaderPaths::Raw::kPn532) return ChipValue(mode, block, value, transferBlock);
  return pelkin::kStUnknownCommand;
}

std::optional<Bytes> PcscCard::Rats(std::uint8_t cid) {
  if (state_ != State::kActive || layer4_) return std::nullopt;
  if (!chipAts_.empty()) {
    layer4_ = true;  // the chip ran RATS at its activation; it keeps the T=CL link
    return chipAts_;
  }
  if (cardLayer4_) {
    layer4_ = true;
    // The reader ran RATS itself and kept only the historical bytes: TL, a format
    // byte without interface bytes (FSCI 8: the reader chains long frames), then those.
    Bytes ats{U8(2 + static_cast<int>(historical_.size())), 0x08};
    ats.insert(ats.end(), historical_.begin(), historical_.end());
    return ats;
  }
  if (paths_.raw == ReaderPaths::Raw::kNone || crypto1_ || cid > 14) return std::nullopt;
  // FSDI 8: the host takes frames of up to 256 bytes.
  auto ats = Frame({0xE0, U8(0x80 | cid)});
  if (!ats || ats->empty() || (*ats)[0] != ats->size()) return std::nullopt;
  const std::size_t fsci = ats->size() > 1 ? ((*ats)[1] & 0x0F) : 2;
  fsc_ = kFrameSizes[std::min<std::size_t>(fsci, 8)];
  cid_ = cid;
  blockNumber_ = 0;
  hostTcl_ = true;
  layer4_ = true;
  return ats;
}

bool PcscCard::Pps() {
  if (state_ != State::kActive || !layer4_) return false;
  if (!hostTcl_) return true;
  const std::uint8_t start = U8(0xD0 | cid_.value_or(0));
  auto answer = Frame({start, 0x11, 0x00});
  return answer && answer->size() == 1 && (*answer)[0] == start;
}

bool PcscCard::Deselect() {
  if (state_ != State::kActive || !layer4_) return false;
  if (hostTcl_) {
    Bytes deselect{U8(cid_ ? 0xCA : 0xC2)};
    if (cid_) deselect.push_back(*cid_);
    Frame(deselect);
  } else if (!chipAts_.empty()) {
    Chip({kInDeselect, 0x01});
  }
  EndRaw();
  state_ = State::kHalted;
  layer4_ = false;
  return true;
}

// The ISO 14443-4 block protocol, for a card the host activated itself: I-blocks
// chained to the card's frame size, waiting-time extensions answered, the
// card's chained answer acknowledged block by block.
std::optional<Bytes> PcscCard::HostTcl(const Bytes& command) {
  const std::size_t overhead = 3 + (cid_ ? 1 : 0);  // PCB, CID, CRC
  const std::size_t room = std::min(fsc_, kMaxRawFrame) - overhead;
  auto header = [&](std::uint8_t pcb) {
    Bytes frame{U8(pcb | (cid_ ? 0x08 : 0))};
    if (cid_) frame.push_back(*cid_);
    return frame;
  };
  auto exchange = [&](const Bytes& frame) -> std::optional<Bytes> {
    auto answer = Frame(frame);
    // Waiting-time extensions: the card asks for more time, the host grants it.
    for (int round = 0; answer && !answer->empty() && ((*answer)[0] & 0xF7) == 0xF2 && round < 64;
         ++round) {
      Bytes reply = header(0xF2);
      reply.push_back(answer->back());
      answer = Frame(reply);
    }
    if (!answer || answer->size() < (cid_ ? 2u : 1u)) return std::nullopt;
    return answer;
  };
  std::size_t sent = 0;
  std::optional<Bytes> answer;
  do {
    const std::size_t take = std::min(room, command.size() - sent);
    const bool more = sent + take < command.size();
    Bytes frame = header(U8(0x02 | blockNumber_ | (more ? 0x10 : 0)));
    frame.insert(frame.end(), command.begin() + static_cast<std::ptrdiff_t>(sent),
                 command.begin() + static_cast<std::ptrdiff_t>(sent + take));
    sent += take;
    answer = exchange(frame);
    if (!answer) return std::nullopt;
    const std::uint8_t pcb = (*answer)[0];
    if (more) {
      if ((pcb & 0xE6) != 0xA2 || (pcb & 0x01) != blockNumber_) return std::nullopt;  // R(ACK)
      blockNumber_ ^= 1;
    }
  } while (sent < command.size());

  Bytes whole;
  for (int frames = 0; frames < 64; ++frames) {
    const std::uint8_t pcb = (*answer)[0];
    if ((pcb & 0xE2) != 0x02) return std::nullopt;  // not an I-block
    blockNumber_ ^= 1;
    whole.insert(whole.end(), answer->begin() + (cid_ ? 2 : 1), answer->end());
    if ((pcb & 0x10) == 0) return whole;
    answer = exchange(header(U8(0xA2 | blockNumber_)));
    if (!answer) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Bytes> PcscCard::Exchange(const Bytes& command) {
  if (state_ != State::kActive || !layer4_) return std::nullopt;
  if (hostTcl_) {
    auto answer = HostTcl(command);
    if (!answer || answer->empty()) return std::nullopt;
    return answer;
  }
  if (!chipAts_.empty()) {
    Bytes exchange{kInDataExchange, 0x01};
    exchange.insert(exchange.end(), command.begin(), command.end());
    auto chip = Chip(exchange);
    if (!chip || chip->size() < 2 || ((*chip)[0] & 0x3F) != 0) return std::nullopt;
    return Bytes(chip->begin() + 1, chip->end());
  }
  Bytes answer;
  // An empty answer is no answer: the command may or may not have reached the card.
  if (link_->Transmit(command, &answer) != 0 || answer.empty()) return std::nullopt;
  // No MIFARE Plus answer starts with 6x: two such bytes are the reader's status
  // word (the card did not answer, or the reader refused the frame), not the card's.
  if (answer.size() == 2 && (answer[0] & 0xF0) == 0x60) return std::nullopt;
  return answer;
}

bool PcscCard::CarriesRaw(const Bytes& frame) const {
  // An I-block (with or without CID) carrying Prepare, Proximity Check or Verify.
  if (frame.empty() || (frame[0] & 0xE2) != 0x02) return true;
  const std::size_t head = (frame[0] & 0x08) != 0 ? 2 : 1;
  if (frame.size() <= head) return true;
  const std::uint8_t code = frame[head];
  return code != 0xF0 && code != 0xF2 && code != 0xFD;
}

std::optional<pelkin::RawAnswer> PcscCard::RawExchange(const Bytes& data, int bits) {
  if (state_ != State::kActive || !Supports(pelkin::CardFeature::kRawExchange) || data.empty())
    return std::nullopt;
  // Whole bytes get their CRC from the reader; the answer's CRC stays for the
  // host to check, since a 4-bit acknowledgement has none.
  auto answer = Transceive(data, bits, bits % 8 == 0, false);
  if (!answer) return std::nullopt;
  if (answer->bits % 8 != 0 || answer->bits < 24) return answer;
  if (!CrcAMatches(answer->bytes)) return std::nullopt;
  answer->bytes.resize(answer->bytes.size() - 2);
  answer->bits -= 16;
  return answer;
}

}  // namespace hollink
