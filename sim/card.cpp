#include "card.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "access.h"
#include "mfplus/protocol.h"

namespace pelkin {

namespace {

std::uint8_t U8(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

constexpr std::uint8_t kTransportTrailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                                                0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kCascadeTag = 0x88;

RawAnswer Nibble(std::uint8_t value) {
  return RawAnswer{{value}, 4};
}

// Card status of the Level 0 commands as the 4-bit answer of the raw path.
RawAnswer AckFor(std::uint8_t status) {
  if (status == kCardOk) return Nibble(kAck);
  if (status == kCardBadBlock || status == kCardNoBlock || status == kCardLengthError) {
    return Nibble(kNakArgument);
  }
  return Nibble(kNakNotAllowed);
}

}  // namespace

bool ParseVariant(const std::string& text, Variant* variant) {
  if (text.size() != 4) return false;
  Variant v;
  const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (kind != 'X' && kind != 'S') return false;
  v.s = kind == 'S';
  const std::string size = text.substr(1, 2);
  if (size == "2K" || size == "2k") {
    v.fourK = false;
  } else if (size == "4K" || size == "4k") {
    v.fourK = true;
  } else {
    return false;
  }
  if (text[3] != '4' && text[3] != '7') return false;
  v.uid7 = text[3] == '7';
  *variant = v;
  return true;
}

std::string VariantName(const Variant& variant) {
  std::string name;
  name += variant.s ? 'S' : 'X';
  name += variant.fourK ? "4K" : "2K";
  name += variant.uid7 ? '7' : '4';
  return name;
}

CardImage CardImage::Fresh(const Variant& variant, Rng& rng) {
  CardImage image;
  image.variant = variant;
  image.level = 0;
  image.uid.resize(variant.uid7 ? 7 : 4);
  rng.Fill(image.uid.data(), image.uid.size());
  if (variant.uid7) {
    image.uid[0] = 0x04;  // NXP
  } else {
    // Neither the cascade tag nor the random-ID prefix may open a single-size UID.
    while (image.uid[0] == kCascadeTag || image.uid[0] == 0x08)
      image.uid[0] = static_cast<std::uint8_t>(rng.Next() >> 8);
  }
  image.blocks.assign(static_cast<std::size_t>(BlockCount(variant.fourK)), Block{});
  for (int s = 0; s < SectorCount(variant.fourK); ++s) {
    std::memcpy(image.blocks[static_cast<std::size_t>(TrailerOfSector(s))].data(),
                kTransportTrailer, 16);
  }
  // Manufacturer block: UID (with BCC for a 4-byte UID), SAK, ATQA, manufacturer data.
  Block& b0 = image.blocks[0];
  rng.Fill(b0.data(), b0.size());
  std::size_t at = 0;
  for (std::uint8_t byte : image.uid) b0[at++] = byte;
  if (!variant.uid7) {
    b0[at++] = U8(image.uid[0] ^ image.uid[1] ^ image.uid[2] ^ image.uid[3]);
  }
  b0[at++] = variant.fourK ? 0x18 : 0x08;
  b0[at++] = variant.uid7 ? 0x44 : 0x04;
  b0[at++] = 0x00;

  Block ff;
  ff.fill(0xFF);
  for (int k = 0; k < 2 * SectorCount(variant.fourK); ++k) {
    image.keys[static_cast<std::uint16_t>(kSectorKeyBase + k)] = ff;
  }
  for (std::uint16_t a = kMasterKey; a <= kLevel3SwitchKey; ++a) image.keys[a] = ff;
  for (std::uint16_t a : {std::uint16_t{0xA000}, std::uint16_t{0xA001}, kVcEncKey, kVcMacKey}) {
    image.keys[a] = ff;
  }
  for (std::uint16_t a = kMfpConfig; a <= kFieldConfig; ++a) image.keys[a] = Block{};
  return image;
}

const Block* CardImage::Key(std::uint16_t address) const {
  auto it = keys.find(address);
  return it == keys.end() ? nullptr : &it->second;
}

Card::Card(CardImage image, Rng* rng) : image_(std::move(image)), rng_(rng) {}

bool Card::TakeChanged() {
  const bool changed = changed_;
  changed_ = false;
  return changed;
}

void Card::ResetVolatile() {
  layer4_ = false;
  crypto1_ = {};
  level2Aes_ = false;
  level2Key_ = {};
  pendingMultiWrite_.reset();
  session_ = {};
  pending_ = {};
  transfer_ = {};
  pcPrepared_ = pcChecked_ = pcDone_ = false;
  pcAnswer_.clear();
  vcIids_.clear();
  vcCryptogram_.reset();
  vcSelected_ = false;
}

bool Card::FieldConfigSet(int byte) const {
  const Block* fcb = image_.Key(kFieldConfig);
  return fcb != nullptr && (*fcb)[static_cast<std::size_t>(byte)] == 0xAA;
}

Bytes Card::CurrentUid() {
  // A Level 3 X card with the random-ID option shows a fresh 4-byte ID per activation.
  if (image_.level == 3 && !image_.variant.s && FieldConfigSet(1)) {
    Bytes rid(4);
    rng_->Fill(rid.data(), rid.size());
    rid[0] = 0x08;
    return rid;
  }
  return image_.uid;
}

std::array<std::uint8_t, 2> Card::Atq() const {
  const bool doubleSize = uid_.size() == 7;
  if (activeLevel_ == 1 && image_.variant.fourK) {
    return {doubleSize ? std::uint8_t{0x42} : std::uint8_t{0x02}, 0x00};
  }
  return {doubleSize ? std::uint8_t{0x44} : std::uint8_t{0x04}, 0x00};
}

std::uint8_t Card::FinalSak() const {
  switch (activeLevel_) {
    case 1:
      return image_.variant.fourK ? 0x18 : 0x08;
    case 2:
      return image_.variant.fourK ? 0x11 : 0x10;
    default:
      return 0x20;  // Levels 0 and 3 speak ISO 14443-4
  }
}

std::optional<std::array<std::uint8_t, 2>> Card::Request(bool wakeUp) {
  if (state_ == State::kIdle || (state_ == State::kHalted && wakeUp)) {
    fromHalt_ = state_ == State::kHalted;
    state_ = State::kReady;
    cascade_ = 0;
    ResetVolatile();
    activeLevel_ = image_.level;
    uid_ = CurrentUid();
    return Atq();
  }
  if (state_ == State::kReady || state_ == State::kActive) {
    // Unexpected in these states: the card drops back and stays silent.
    state_ = fromHalt_ ? State::kHalted : State::kIdle;
    ResetVolatile();
  }
  return std::nullopt;
}

std::optional<std::array<std::uint8_t, 4>> Card::Anticollision(std::uint8_t selectCode) {
  if (state_ != State::kReady || selectCode != 0x93 + 2 * cascade_) return std::nullopt;
  std::array<std::uint8_t, 4> part{};
  if (uid_.size() == 7) {
    if (cascade_ == 0) {
      part = {kCascadeTag, uid_[0], uid_[1], uid_[2]};
    } else {
      part = {uid_[3], uid_[4], uid_[5], uid_[6]};
    }
  } else {
    part = {uid_[0], uid_[1], uid_[2], uid_[3]};
  }
  return part;
}

std::optional<std::uint8_t> Card::Select(std::uint8_t selectCode, const std::uint8_t part[4]) {
  auto expected = Anticollision(selectCode);
  if (!expected) return std::nullopt;
  if (std::memcmp(expected->data(), part, 4) != 0) {
    state_ = fromHalt_ ? State::kHalted : State::kIdle;
    return std::nullopt;
  }
  const int levels = uid_.size() == 7 ? 2 : 1;
  if (++cascade_ < levels) return std::uint8_t{0x04};  // UID not complete
  state_ = State::kActive;
  return FinalSak();
}

void Card::Halt() {
  if (state_ == State::kActive || state_ == State::kReady) {
    state_ = State::kHalted;
    ResetVolatile();
  }
}

void Card::PowerCycle() {
  state_ = State::kIdle;
  fromHalt_ = false;
  ResetVolatile();
}

// ---- CRYPTO1 sector access (Levels 1 and 2) -------------------------------------

std::uint8_t Card::AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) {
  if (state_ != State::kActive) return kStNoCard;
  crypto1_ = {};
  if ((activeLevel_ != 1 && activeLevel_ != 2) || sector < 0 ||
      sector >= SectorCount(image_.variant.fourK)) {
    return kStAuthFailed;
  }
  const Block& trailer = image_.blocks[static_cast<std::size_t>(TrailerOfSector(sector))];
  std::uint8_t expected[6];
  std::memcpy(expected, trailer.data() + (keyB ? 10 : 0), 6);
  if (activeLevel_ == 2) {
    // Level 2 binds the CRYPTO1 key to an AES authentication of this activation.
    if (!level2Aes_) return kStAuthFailed;
    for (int i = 0; i < 6; ++i)
      expected[i] = U8(expected[i] ^ level2Key_[static_cast<std::size_t>(i)]);
  }
  if (std::memcmp(expected, key, 6) != 0) {
    // A failed CRYPTO1 authentication leaves the card unselected.
    state_ = fromHalt_ ? State::kHalted : State::kIdle;
    ResetVolatile();
    return kStAuthFailed;
  }
  crypto1_ = {true, sector, keyB};
  return kStOk;
}

std::uint8_t Card::Crypto1Condition(int block, bool* keyBUsable) const {
  const Block& trailer =
      image_.blocks[static_cast<std::size_t>(TrailerOfSector(SectorOfBlock(block)))];
  std::uint8_t conditions[4];
  if (!DecodeAccessBits(trailer.data() + 6, conditions)) {
    *keyBUsable = false;
    return 0xFF;  // inconsistent access bits: nothing is allowed
  }
  *keyBUsable = !KeyBReadable(conditions[3]);
  return GroupOfBlock(block) == 3 ? conditions[3] : conditions[GroupOfBlock(block)];
}

bool Card::Crypto1DataAllowed(int block, int op) const {
  if (!crypto1_.valid || block < 0 || block >= BlockCount(image_.variant.fourK) ||
      SectorOfBlock(block) != crypto1_.sector) {
    return false;
  }
  bool keyBUsable = true;
  const std::uint8_t condition = Crypto1Condition(block, &keyBUsable);
  if (condition == 0xFF || (crypto1_.keyB && !keyBUsable)) return false;
  return DataAllowed(condition, static_cast<DataOp>(op), crypto1_.keyB);
}

void Card::MaskTrailer(int block, std::uint8_t out[16]) const {
  bool keyBUsable = true;
  const std::uint8_t condition = Crypto1Condition(block, &keyBUsable);
  std::memset(out, 0, 6);  // key A never reads back
  if (condition == 0xFF ||
      !TrailerReadAllowed(condition, TrailerPart::kAccessBits, crypto1_.keyB)) {
    std::memset(out + 6, 0, 4);
  }
  if (condition == 0xFF || !TrailerReadAllowed(condition, TrailerPart::kKeyB, crypto1_.keyB)) {
    std::memset(out + 10, 0, 6);
  }
}

bool Card::MergeTrailer(int block, const std::uint8_t data[16], Block* merged) const {
  bool keyBUsable = true;
  const std::uint8_t condition = Crypto1Condition(block, &keyBUsable);
  if (condition == 0xFF) return false;
  *merged = image_.blocks[static_cast<std::size_t>(block)];
  bool any = false;
  const bool keyB = crypto1_.keyB;
  if (TrailerWriteAllowed(condition, TrailerPart::kKeyA, keyB)) {
    std::memcpy(merged->data(), data, 6);
    any = true;
  }
  if (TrailerWriteAllowed(condition, TrailerPart::kAccessBits, keyB)) {
    // Refuse access bits that would lock the sector for good.
    std::uint8_t conditions[4];
    if (!DecodeAccessBits(data + 6, conditions)) return false;
    std::memcpy(merged->data() + 6, data + 6, 4);
    any = true;
  }
  if (TrailerWriteAllowed(condition, TrailerPart::kKeyB, keyB)) {
    std::memcpy(merged->data() + 10, data + 10, 6);
    any = true;
  }
  return any;
}

std::uint8_t Card::ReadBlock(int block, std::uint8_t out[16]) {
  if (state_ != State::kActive) return kStNoCard;
  if (!crypto1_.valid || block < 0 || block >= BlockCount(image_.variant.fourK) ||
      SectorOfBlock(block) != crypto1_.sector) {
    return kStNotAuthenticated;
  }
  std::uint8_t data[16];
  std::memcpy(data, image_.blocks[static_cast<std::size_t>(block)].data(), 16);
  if (GroupOfBlock(block) == 3) {
    MaskTrailer(block, data);
  } else if (!Crypto1DataAllowed(block, static_cast<int>(DataOp::kRead))) {
    return kStReadError;
  }
  std::memcpy(out, data, 16);
  return kStOk;
}

std::uint8_t Card::WriteBlock(int block, const std::uint8_t data[16]) {
  if (state_ != State::kActive) return kStNoCard;
  if (!crypto1_.valid || block < 0 || block >= BlockCount(image_.variant.fourK) ||
      SectorOfBlock(block) != crypto1_.sector) {
    return kStNotAuthenticated;
  }
  if (block == 0) return kStWriteError;  // manufacturer block
  Block merged;
  if (GroupOfBlock(block) == 3) {
    if (!MergeTrailer(block, data, &merged)) return kStWriteError;
  } else {
    if (!Crypto1DataAllowed(block, static_cast<int>(DataOp::kWrite))) return kStWriteError;
    std::memcpy(merged.data(), data, 16);
  }
  image_.blocks[static_cast<std::size_t>(block)] = merged;
  changed_ = true;
  return kStOk;
}

bool Card::ReadValueBlock(int block, std::int32_t* value, std::uint8_t* address) const {
  const Block& b = image_.blocks[static_cast<std::size_t>(block)];
  // The card also insists on the address byte's own redundancy.
  if (b[12] != b[14] || b[13] != b[15] || b[12] != U8(~b[13])) return false;
  if (!ostrel::mfplus::ParseValueBlock(b.data(), value)) return false;
  *address = b[12];
  return true;
}

void Card::StoreValueBlock(int block, std::int32_t value, std::uint8_t address) {
  ostrel::mfplus::BuildValueBlock(image_.blocks[static_cast<std::size_t>(block)].data(), address,
                                  value);
  changed_ = true;
}

std::uint8_t Card::Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) {
  if (state_ != State::kActive) return kStNoCard;
  const int blocks = BlockCount(image_.variant.fourK);
  if (!crypto1_.valid || block < 0 || block >= blocks || transferBlock < 0 ||
      transferBlock >= blocks || SectorOfBlock(block) != crypto1_.sector ||
      SectorOfBlock(transferBlock) != crypto1_.sector) {
    return kStNotAuthenticated;
  }
  std::uint8_t failure = kStIncrementError;
  DataOp op = DataOp::kIncrement;
  if (mode == 0xC0 || mode == 0xC2) {
    failure = kStDecrementError;
    op = DataOp::kDecrement;
  } else if (mode != 0xC1) {
    return kStIncrementError;
  }
  if (block == 0 || GroupOfBlock(block) == 3 || !Crypto1DataAllowed(block, static_cast<int>(op))) {
    return failure;
  }
  std::int32_t current = 0;
  std::uint8_t address = 0;
  if (!ReadValueBlock(block, &current, &address)) return failure;
  std::int64_t result = current;
  if (mode == 0xC1) result += value;
  if (mode == 0xC0) result -= value;
  if (result > INT32_MAX || result < INT32_MIN) return kStValueOverflow;
  if (transferBlock == 0 || GroupOfBlock(transferBlock) == 3 ||
      !Crypto1DataAllowed(transferBlock, static_cast<int>(DataOp::kDecrement))) {
    return kStTransferError;
  }
  StoreValueBlock(transferBlock, static_cast<std::int32_t>(result), address);
  return kStOk;
}

// ---- Level 0 personalization --------------------------------------------------

bool Card::PersoAddressValid(std::uint16_t address) const {
  if (address < BlockCount(image_.variant.fourK)) return address != 0;
  return image_.Key(address) != nullptr;
}

std::uint8_t Card::WritePerso(std::uint16_t address, const std::uint8_t data[16]) {
  if (!PersoAddressValid(address)) return AddressClassError(address);
  Block block;
  std::memcpy(block.data(), data, 16);
  if (address < BlockCount(image_.variant.fourK)) {
    image_.blocks[address] = block;
  } else {
    image_.keys[address] = block;
    if (address >= kMasterKey && address <= kLevel3SwitchKey) image_.persoWritten.insert(address);
  }
  changed_ = true;
  return kCardOk;
}

std::uint8_t Card::CommitPerso() {
  for (std::uint16_t a = kMasterKey; a <= kLevel3SwitchKey; ++a) {
    if (image_.persoWritten.count(a) == 0) return kCardLengthError;
  }
  image_.level = 1;
  image_.persoWritten.clear();
  changed_ = true;
  return kCardOk;
}

std::uint8_t Card::AddressClassError(std::uint16_t address) const {
  // Addresses of blocks and sector keys that a larger card would have.
  if (address < 0x100) return kCardNoBlock;
  if (address >= kSectorKeyBase && address < kSectorKeyBase + 2 * 40) return kCardNoBlock;
  return kCardBadBlock;
}

// ---- ISO 14443-4 -----------------------------------------------------------------

std::optional<Bytes> Card::Rats(std::uint8_t cid) {
  if (state_ != State::kActive || layer4_ || cid > 14) return std::nullopt;
  layer4_ = true;
  cid_ = cid;
  const bool s = image_.variant.s;
  return Bytes{0x0C,
               0x75,
               0x77,
               0x80,
               0x02,
               0xC1,
               0x05,
               0x2F,
               0x2F,
               U8(s ? 0x00 : 0x01),
               U8(s ? 0x35 : 0xBC),
               U8(s ? 0xC7 : 0xD6)};
}

bool Card::Pps() {
  return layer4();
}

bool Card::Deselect() {
  if (!layer4()) return false;
  state_ = State::kHalted;
  fromHalt_ = true;
  ResetVolatile();
  return true;
}

std::optional<Bytes> Card::Exchange(const Bytes& command) {
  if (!layer4()) return std::nullopt;
  if (command.empty()) return Bytes{kCardLengthError};
  if (activeLevel_ == 0) {
    if (command[0] == 0xA8) {
      if (command.size() != 19) return Bytes{kCardLengthError};
      return Bytes{WritePerso(static_cast<std::uint16_t>(command[1] | (command[2] << 8)),
                              command.data() + 3)};
    }
    if (command[0] == 0xAA) {
      if (command.size() != 1) return Bytes{kCardLengthError};
      return Bytes{CommitPerso()};
    }
    return Bytes{kCardNotAllowed};
  }
  return Sl3Dispatch(command);
}

std::optional<RawAnswer> Card::RawExchange(const Bytes& data, int bits) {
  if (state_ != State::kActive || data.empty() || bits <= 0) return std::nullopt;
  if (layer4_ && data.size() >= 3 && (data[0] == 0x0A || data[0] == 0x0B))
    return ProximityRaw(data);
  if (activeLevel_ == 0) {
    if (data[0] == 0xA8 && data.size() == 19 && bits == 152) {
      return AckFor(
          WritePerso(static_cast<std::uint16_t>(data[1] | (data[2] << 8)), data.data() + 3));
    }
    if (data[0] == 0xAA && data.size() == 1 && bits == 8) {
      return Nibble(CommitPerso() == kCardOk ? kAck : kNakNotAllowed);
    }
    return Nibble(kNakNotAllowed);
  }
  if (activeLevel_ == 2) return Level2Raw(data);
  return Nibble(kNakNotAllowed);
}

std::optional<RawAnswer> Card::Level2Raw(const Bytes& data) {
  const int blocks = BlockCount(image_.variant.fourK);
  if (pendingMultiWrite_) {
    const auto [first, count] = *pendingMultiWrite_;
    pendingMultiWrite_.reset();
    if (data.size() == static_cast<std::size_t>(16 * count)) {
      std::vector<Block> staged;
      for (int i = 0; i < count; ++i) {
        const int block = first + i;
        Block merged;
        if (GroupOfBlock(block) == 3) {
          if (!MergeTrailer(block, data.data() + 16 * i, &merged)) return Nibble(kNakNotAllowed);
        } else {
          std::memcpy(merged.data(), data.data() + 16 * i, 16);
        }
        staged.push_back(merged);
      }
      for (int i = 0; i < count; ++i)
        image_.blocks[static_cast<std::size_t>(first + i)] = staged[static_cast<std::size_t>(i)];
      changed_ = true;
      return Nibble(kAck);
    }
  }
  const std::uint8_t code = data[0];
  if (code == 0x76 && data.size() == 3) {
    Bytes answer = AuthStep1(data, false, true);
    if (answer[0] != kCardOk) return AckFor(answer[0]);
    return RawAnswer{answer, static_cast<int>(answer.size() * 8)};
  }
  if (code == 0x72 && data.size() == 33) {
    if (!pending_.active || !pending_.raw) return Nibble(kNakNotAllowed);
    Bytes answer = AuthStep2(data);
    if (answer[0] != kCardOk) return Nibble(kNakNotAllowed);
    return RawAnswer{answer, static_cast<int>(answer.size() * 8)};
  }
  if ((code == 0x38 || code == 0xA8) && data.size() == 3) {
    const int first = data[1], count = data[2];
    if (count < 1 || count > 3 || first + count > blocks) return Nibble(kNakArgument);
    for (int i = 0; i < count; ++i) {
      const int block = first + i;
      if (!crypto1_.valid || SectorOfBlock(block) != crypto1_.sector) return Nibble(kNakNotAllowed);
      if (GroupOfBlock(block) == 3) continue;  // trailers: masked on read, merged on write
      const DataOp op = code == 0x38 ? DataOp::kRead : DataOp::kWrite;
      if ((op == DataOp::kWrite && block == 0) ||
          !Crypto1DataAllowed(block, static_cast<int>(op))) {
        return Nibble(kNakNotAllowed);
      }
    }
    if (code == 0xA8) {
      pendingMultiWrite_ = std::make_pair(first, count);
      return Nibble(kAck);
    }
    RawAnswer answer;
    for (int i = 0; i < count; ++i) {
      std::uint8_t out[16];
      std::memcpy(out, image_.blocks[static_cast<std::size_t>(first + i)].data(), 16);
      if (GroupOfBlock(first + i) == 3) MaskTrailer(first + i, out);
      answer.bytes.insert(answer.bytes.end(), out, out + 16);
    }
    answer.bits = 128 * count;
    return answer;
  }
  return Nibble(kNakNotAllowed);
}

}  // namespace pelkin
