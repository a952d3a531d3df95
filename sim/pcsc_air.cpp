#include "pcsc_air.h"

#include <algorithm>

namespace pelkin {

namespace {

constexpr std::uint8_t kReqa = 0x26, kWupa = 0x52;
constexpr std::uint8_t kNvbWholeUid = 0x20, kNvbSelect = 0x70;
constexpr std::uint8_t kHlta = 0x50, kRats = 0xE0, kPps = 0xD0;
constexpr std::uint8_t kCascadeTag = 0x88;
constexpr std::uint8_t kPcbCid = 0x08, kPcbNad = 0x04, kPcbChaining = 0x10;

// Frame sizes an FSDI names (ISO/IEC 14443-4); larger indexes mean 256.
constexpr std::size_t kFsdTable[] = {16, 24, 32, 40, 48, 64, 96, 128, 256};

bool IsSelectCode(std::uint8_t code) {
  return code == 0x93 || code == 0x95 || code == 0x97;
}
bool IsIBlock(std::uint8_t pcb) {
  return (pcb & 0xE2) == 0x02;
}
bool IsRBlock(std::uint8_t pcb) {
  return (pcb & 0xE6) == 0xA2;
}
bool IsSBlock(std::uint8_t pcb) {
  return (pcb & 0xC6) == 0xC2;
}

AirFrame Whole(Bytes bytes) {
  const int bits = static_cast<int>(bytes.size() * 8);
  return AirFrame{std::move(bytes), bits};
}

}  // namespace

std::uint16_t CrcA(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0x6363;
  for (std::size_t i = 0; i < size; ++i) {
    auto b = static_cast<std::uint8_t>(data[i] ^ (crc & 0xFF));
    b = static_cast<std::uint8_t>(b ^ (b << 4));
    crc = static_cast<std::uint16_t>((crc >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4));
  }
  return crc;
}

Bytes WithCrcA(Bytes frame) {
  const std::uint16_t crc = CrcA(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

bool CrcAValid(const Bytes& frame) {
  if (frame.size() < 3) return false;
  const std::uint16_t crc = CrcA(frame.data(), frame.size() - 2);
  return frame[frame.size() - 2] == (crc & 0xFF) && frame.back() == (crc >> 8);
}

void AirInterface::Reset() {
  gathered_.clear();
  uid_.clear();
  sak_.reset();
  layer4_ = false;
  cid_ = 0;
  fsd_ = 256;
  ppsAllowed_ = blocksSeen_ = false;
  command_.clear();
  answer_.clear();
  answerOffset_ = 0;
  lastBlock_ = {};
}

void AirInterface::Activated(const Bytes& uid, std::uint8_t sak, bool layer4) {
  Reset();
  uid_ = uid;
  sak_ = sak;
  layer4_ = layer4;
}

std::optional<AirFrame> AirInterface::Transceive(const Bytes& frame, int bits) {
  if (frame.empty() || bits <= 0) return std::nullopt;
  // Short frame: the requests, 7 bits without CRC.
  if (bits == 7 && frame.size() == 1 && (frame[0] == kReqa || frame[0] == kWupa)) {
    Reset();
    auto atq = card_->Request(frame[0] == kWupa);
    if (!atq) return std::nullopt;
    return Whole(Bytes{(*atq)[0], (*atq)[1]});
  }
  // Anticollision for the whole UID part: no CRC either way.
  if (bits == 16 && frame.size() == 2 && IsSelectCode(frame[0]) && frame[1] == kNvbWholeUid) {
    auto part = card_->Anticollision(frame[0]);
    if (!part) return std::nullopt;
    Bytes answer(part->begin(), part->end());
    answer.push_back(static_cast<std::uint8_t>(answer[0] ^ answer[1] ^ answer[2] ^ answer[3]));
    return Whole(std::move(answer));
  }
  // Every other frame is whole bytes with a CRC_A, or the card does not take it.
  if (bits != static_cast<int>(frame.size() * 8) || !CrcAValid(frame)) return std::nullopt;
  const Bytes payload(frame.begin(), frame.end() - 2);

  if (payload.size() == 7 && IsSelectCode(payload[0]) && payload[1] == kNvbSelect) {
    if ((payload[2] ^ payload[3] ^ payload[4] ^ payload[5]) != payload[6]) return std::nullopt;
    if (payload[0] == 0x93) gathered_.clear();
    auto sak = card_->Select(payload[0], payload.data() + 2);
    if (!sak) return std::nullopt;
    const bool more = (*sak & 0x04) != 0;
    const auto from = payload.begin() + (more && payload[2] == kCascadeTag ? 3 : 2);
    gathered_.insert(gathered_.end(), from, payload.begin() + 6);
    if (!more) {
      uid_ = gathered_;
      sak_ = *sak;
    }
    return Whole(WithCrcA(Bytes{*sak}));
  }
  if (payload.size() == 2 && payload[0] == kHlta && payload[1] == 0x00) {
    card_->Halt();
    Reset();
    return std::nullopt;  // a halted card never answers the halt
  }
  if (payload.size() == 2 && payload[0] == kRats) {
    if (layer4_) return std::nullopt;  // not a block: ignored
    auto ats = card_->Rats(payload[1] & 0x0F);
    if (!ats) return std::nullopt;
    layer4_ = true;
    cid_ = payload[1] & 0x0F;
    fsd_ = kFsdTable[std::min<std::size_t>(payload[1] >> 4, 8)];
    ppsAllowed_ = true;
    blocksSeen_ = false;
    return Whole(WithCrcA(*ats));
  }
  if (layer4_ && ppsAllowed_ && (payload[0] & 0xF0) == kPps && (payload[0] & 0x0F) == cid_ &&
      (payload.size() == 2 || payload.size() == 3)) {
    ppsAllowed_ = false;
    if (!card_->Pps()) return std::nullopt;
    return Whole(WithCrcA(Bytes{payload[0]}));
  }
  if (layer4_) {
    const std::uint8_t pcb = payload[0];
    const bool proximity = IsIBlock(pcb) && (pcb & kPcbCid) != 0 && payload.size() >= 3 &&
                           (payload[2] == 0xF0 || payload[2] == 0xF2 || payload[2] == 0xFD);
    // Level 0 commit (AA) reads like an R-block: it is one only inside a block exchange.
    if (!proximity && (IsIBlock(pcb) || IsSBlock(pcb) || (IsRBlock(pcb) && blocksSeen_))) {
      return Block(payload);
    }
  }
  return CardRaw(payload, bits - 16);
}

std::optional<AirFrame> AirInterface::CardRaw(const Bytes& payload, int bits) {
  auto answer = card_->RawExchange(payload, bits);
  if (!answer) return std::nullopt;
  // Whole-byte answers carry a CRC_A on the air; a 4-bit acknowledgement none.
  if (answer->bits % 8 == 0) return Whole(WithCrcA(answer->bytes));
  return AirFrame{answer->bytes, answer->bits};
}

AirFrame AirInterface::SendBlock(std::uint8_t pcb, const Bytes& inf) {
  Bytes block{pcb};
  if ((pcb & kPcbCid) != 0) block.push_back(cid_);
  block.insert(block.end(), inf.begin(), inf.end());
  lastBlock_ = Whole(WithCrcA(std::move(block)));
  return lastBlock_;
}

AirFrame AirInterface::NextAnswerBlock(std::uint8_t blockNumber) {
  const std::uint8_t cidBit = cid_ != 0 ? kPcbCid : 0;
  // PCB, the CID when used, and the CRC take room from the reader's frame size.
  const std::size_t room = fsd_ - 3 - (cidBit != 0 ? 1 : 0);
  const std::size_t take = std::min(room, answer_.size() - answerOffset_);
  const Bytes inf(answer_.begin() + static_cast<std::ptrdiff_t>(answerOffset_),
                  answer_.begin() + static_cast<std::ptrdiff_t>(answerOffset_ + take));
  answerOffset_ += take;
  const bool more = answerOffset_ < answer_.size();
  if (!more) answer_.clear();
  return SendBlock(
      static_cast<std::uint8_t>(0x02 | cidBit | (more ? kPcbChaining : 0) | (blockNumber & 1)),
      inf);
}

std::optional<AirFrame> AirInterface::Block(const Bytes& payload) {
  const std::uint8_t pcb = payload[0];
  std::size_t at = 1;
  if ((pcb & kPcbCid) != 0) {
    if (payload.size() < 2 || (payload[1] & 0x0F) != cid_) return std::nullopt;
    at = 2;
  } else if (cid_ != 0) {
    return std::nullopt;  // a card given a CID answers only blocks that carry it
  }
  ppsAllowed_ = false;
  const std::uint8_t cidBit = cid_ != 0 ? kPcbCid : 0;
  const std::uint8_t blockNumber = pcb & 1;

  if (IsSBlock(pcb)) {
    if ((pcb & 0x30) != 0x00) return std::nullopt;  // only DESELECT comes from the reader
    card_->Deselect();
    const std::uint8_t answerPcb = static_cast<std::uint8_t>(0xC2 | cidBit);
    Reset();
    return Whole(WithCrcA(cidBit != 0 ? Bytes{answerPcb, payload[1]} : Bytes{answerPcb}));
  }
  if (IsRBlock(pcb)) {
    // An acknowledgement asks for the next part of a chained answer; anything
    // else for the last block again.
    if ((pcb & kPcbChaining) == 0 && !answer_.empty()) return NextAnswerBlock(blockNumber);
    return lastBlock_;
  }
  blocksSeen_ = true;
  if ((pcb & kPcbNad) != 0) ++at;
  if (at > payload.size()) return std::nullopt;
  command_.insert(command_.end(), payload.begin() + static_cast<std::ptrdiff_t>(at), payload.end());
  if ((pcb & kPcbChaining) != 0) {
    return SendBlock(static_cast<std::uint8_t>(0xA2 | cidBit | blockNumber), {});
  }
  auto answer = card_->Exchange(command_);
  command_.clear();
  if (!answer) return std::nullopt;
  answer_ = std::move(*answer);
  answerOffset_ = 0;
  return NextAnswerBlock(blockNumber);
}

}  // namespace pelkin
