// Level 3 secure messaging of the simulated card: the exact mirror of the host's
// authentication, counters, IVs, command and answer MACs and encryption.
#include <cstring>

#include "access.h"
#include "card.h"
#include "mfplus/crypto.h"
#include "mfplus/protocol.h"

namespace pelkin {

namespace crypto = ostrel::crypto;

namespace {

std::uint8_t U8(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
void PutLe16(Bytes* out, std::uint16_t value) {
  out->push_back(U8(value));
  out->push_back(U8(value >> 8));
}

Block RotateLeft(const Block& in) {
  Block out;
  for (std::size_t i = 0; i < 16; ++i) out[i] = in[(i + 1) % 16];
  return out;
}

// Session key from the two random numbers: AES(key, SV), SV as the host builds it.
Block DeriveKey(const Block& key, const Block& rndA, const Block& rndB, bool mac,
                std::uint8_t last) {
  Block sv;
  ostrel::mfplus::SessionKeyInput(sv.data(), rndA.data(), rndB.data(), mac, last);
  Block out;
  crypto::AesEncryptBlock(key.data(), sv.data(), out.data());
  return out;
}

constexpr Block kZero{};

}  // namespace

void Card::SessionIvs(Block* command, Block* response) const {
  ostrel::mfplus::BuildSessionIvs(session_.ti, session_.readCounter, session_.writeCounter,
                                  command->data(), response->data());
}

bool Card::CommandMacValid(const Bytes& c, std::uint16_t counter) const {
  if (c.size() < 9) return false;
  Bytes input{c[0]};
  PutLe16(&input, counter);
  input.insert(input.end(), session_.ti, session_.ti + 4);
  input.insert(input.end(), c.begin() + 1, c.end() - 8);
  std::uint8_t mac[8];
  crypto::CmacTruncated(mac, input.data(), input.size(), session_.kMac.data());
  return std::memcmp(mac, c.data() + c.size() - 8, 8) == 0;
}

Bytes Card::WriteAnswer(bool withMac) const {
  Bytes answer{kCardOk};
  if (withMac) {
    Bytes input{kCardOk};
    PutLe16(&input, session_.writeCounter);
    input.insert(input.end(), session_.ti, session_.ti + 4);
    std::uint8_t mac[8];
    crypto::CmacTruncated(mac, input.data(), input.size(), session_.kMac.data());
    answer.insert(answer.end(), mac, mac + 8);
  }
  return answer;
}

Bytes Card::Sl3Dispatch(const Bytes& c) {
  const std::uint8_t code = c[0];
  if (code == 0x70 || code == 0x76) return AuthStep1(c, code == 0x70, false);
  if (code == 0x72) {
    if (!pending_.active || pending_.raw) return {kCardAuthError};
    return AuthStep2(c);
  }
  pending_ = {};
  if (code == 0x78) {
    if (c.size() != 1) return {kCardLengthError};
    session_ = {};
    transfer_ = {};
    return {kCardOk};
  }
  if (code >= 0x30 && code <= 0x37) return Sl3Read(c);
  if (code >= 0xA0 && code <= 0xA3) return Sl3Write(c);
  if ((code >= 0xB0 && code <= 0xB9) || code == 0xC2 || code == 0xC3) return Sl3Value(c);
  if (code == 0x42 || code == 0x4B) return VcSupport(c, code == 0x4B);
  if (code == 0x40) return VcSelect(c);
  if (code == 0x48) {
    if (c.size() != 1) return {kCardLengthError};
    if (image_.variant.s) return {kCardVcUnsupported};
    vcSelected_ = false;
    return {kCardOk};
  }
  return {kCardNotAllowed};
}

std::uint8_t Card::AuthAddressCheck(std::uint16_t address, bool first) const {
  if (image_.Key(address) == nullptr || address >= 0xB000) {
    return image_.Key(address) == nullptr ? AddressClassError(address) : kCardNotAllowed;
  }
  const int level = activeLevel_;
  if (address >= kSectorKeyBase && address < kMasterKey) {
    return level >= 2 ? kCardOk : kCardNotAllowed;
  }
  switch (address) {
    case kMasterKey:
    case kConfigKey:
      return level >= 2 ? kCardOk : kCardNotAllowed;
    case kLevel2SwitchKey:  // an S card has no Level 2
      return first && level == 1 && !image_.variant.s ? kCardOk : kCardNotAllowed;
    case kLevel3SwitchKey:
      return first && (level == 1 || level == 2) ? kCardOk : kCardNotAllowed;
    default:
      return kCardNotAllowed;  // virtual card keys serve no authentication
  }
}

Bytes Card::AuthStep1(const Bytes& c, bool first, bool raw) {
  pending_ = {};
  if (first ? (c.size() < 4 || c[3] > 6 || c.size() != 4u + c[3]) : c.size() != 3) {
    return {kCardLengthError};
  }
  if (!first && !raw && !session_.authenticated) return {kCardAuthError};
  const std::uint16_t address = Le16(c.data() + 1);
  if (raw) {
    // Level 2 AES authentication: sector keys only.
    if (image_.Key(address) == nullptr) return {AddressClassError(address)};
    if (address < kSectorKeyBase || address >= kMasterKey) return {kCardNotAllowed};
  } else if (const std::uint8_t check = AuthAddressCheck(address, first); check != kCardOk) {
    return {check};
  }
  pending_.active = true;
  pending_.first = first;
  pending_.raw = raw;
  pending_.address = address;
  pending_.key = *image_.Key(address);
  rng_->Fill(pending_.rndB.data(), 16);
  if (!first && !raw) SessionIvs(&pending_.ivCommand, &pending_.ivResponse);
  Bytes answer(17);
  answer[0] = kCardOk;
  crypto::CbcEncrypt(answer.data() + 1, pending_.rndB.data(), 16, pending_.key.data(),
                     pending_.ivResponse.data());
  return answer;
}

Bytes Card::AuthStep2(const Bytes& c) {
  const PendingAuth auth = pending_;
  pending_ = {};
  if (c.size() != 33) return {kCardLengthError};
  std::uint8_t plain[32];
  crypto::CbcDecrypt(plain, c.data() + 1, 32, auth.key.data(), auth.ivCommand.data());
  const Block expected = RotateLeft(auth.rndB);
  if (std::memcmp(plain + 16, expected.data(), 16) != 0) {
    session_.authenticated = false;
    return {kCardAuthError};
  }
  Block rndA;
  std::memcpy(rndA.data(), plain, 16);
  const Block rndA1 = RotateLeft(rndA);

  if (auth.raw) {
    level2Key_ = DeriveKey(auth.key, rndA, auth.rndB, false, 0x33);
    level2Aes_ = true;
    crypto1_ = {};
    Bytes answer(17);
    answer[0] = kCardOk;
    crypto::CbcEncrypt(answer.data() + 1, rndA1.data(), 16, auth.key.data(), kZero.data());
    return answer;
  }
  if (!auth.first) {
    Bytes answer(17);
    answer[0] = kCardOk;
    crypto::CbcEncrypt(answer.data() + 1, rndA1.data(), 16, auth.key.data(),
                       auth.ivResponse.data());
    session_.kMac = DeriveKey(auth.key, rndA, auth.rndB, true, 0x22);
    session_.kEnc = DeriveKey(auth.key, rndA, auth.rndB, false, 0x11);
    session_.keyAddress = auth.address;
    return answer;
  }
  // First Authenticate: TI, RndA', PDcap2 and PCDcap2 under the key, zero IV.
  std::uint8_t reply[32] = {};
  rng_->Fill(reply, 4);
  std::memcpy(reply + 4, rndA1.data(), 16);
  Bytes answer(33);
  answer[0] = kCardOk;
  crypto::CbcEncrypt(answer.data() + 1, reply, 32, auth.key.data(), kZero.data());

  session_ = {};
  transfer_ = {};
  std::memcpy(session_.ti, reply, 4);
  session_.kMac = DeriveKey(auth.key, rndA, auth.rndB, true, 0x22);
  session_.kEnc = DeriveKey(auth.key, rndA, auth.rndB, false, 0x11);
  session_.keyAddress = auth.address;
  session_.authenticated = true;
  if (auth.address == kLevel2SwitchKey || auth.address == kLevel3SwitchKey) {
    // The switch takes effect at the next activation; no session at the new level yet.
    image_.level = auth.address == kLevel2SwitchKey ? 2 : 3;
    changed_ = true;
    session_.authenticated = false;
  }
  return answer;
}

std::uint8_t Card::DataBlockCheck(std::uint16_t block, int count, int op, bool plainRead) const {
  const int blocks = BlockCount(image_.variant.fourK);
  if (count < 1) return kCardLengthError;
  if (block + count > blocks) return block < blocks ? kCardNoBlock : AddressClassError(block);
  const std::uint16_t key = session_.keyAddress;
  if (key < kSectorKeyBase || key >= kSectorKeyBase + 2 * SectorCount(image_.variant.fourK)) {
    return kCardNotAllowed;  // card keys grant no data access
  }
  const int sector = (key - kSectorKeyBase) / 2;
  const bool keyB = (key & 1) != 0;
  if (FieldConfigSet(2) && !pcDone_) return kCardNotAllowed;  // proximity check demanded first
  for (int b = block; b < block + count; ++b) {
    if (SectorOfBlock(b) != sector) return kCardNotAllowed;
    const Block& trailer = image_.blocks[static_cast<std::size_t>(TrailerOfSector(sector))];
    std::uint8_t conditions[4];
    if (!DecodeAccessBits(trailer.data() + 6, conditions)) return kCardNotAllowed;
    const int group = GroupOfBlock(b);
    const auto dataOp = static_cast<DataOp>(op);
    bool allowed = false;
    if (group == 3) {
      if (dataOp == DataOp::kRead) {
        allowed = TrailerReadAllowed(conditions[3], TrailerPart::kAccessBits, keyB);
      } else if (dataOp == DataOp::kWrite) {
        allowed = TrailerWriteAllowed(conditions[3], TrailerPart::kAccessBits, keyB);
      }
    } else {
      allowed = DataAllowed(conditions[group], dataOp, keyB);
      if (b == 0 && dataOp != DataOp::kRead) allowed = false;  // manufacturer block
    }
    if (!allowed) return kCardNotAllowed;
    if (plainRead && !image_.variant.s) {
      // Trailer byte 5: plain-read flags of the four groups, complemented in the high nibble.
      const std::uint8_t flags = trailer[5];
      const bool wellFormed = (flags >> 4) == (~flags & 0x0F);
      if (wellFormed && ((flags >> group) & 1) == 0) return kCardNotAllowed;
    }
  }
  return kCardOk;
}

std::uint8_t Card::KeyWriteCheck(std::uint16_t address) const {
  if (image_.Key(address) == nullptr) return AddressClassError(address);
  std::uint16_t needed = kMasterKey;
  if (address >= kSectorKeyBase && address < kMasterKey) {
    needed = address;  // a sector key changes under itself
  } else if (address == kConfigKey || address == kFieldConfig || (address & 0xFF00) == 0xA000) {
    needed = kConfigKey;
  }
  return session_.keyAddress == needed ? kCardOk : kCardNotAllowed;
}

Bytes Card::Sl3Read(const Bytes& c) {
  const std::uint8_t code = c[0];
  const bool commandMac = (code & 0x04) == 0, plain = (code & 0x02) != 0;
  if (c.size() != (commandMac ? 12u : 4u)) return {kCardLengthError};
  if (activeLevel_ != 3) return {kCardNotAllowed};
  if (!session_.authenticated) return {kCardAuthError};
  if (session_.readCounter == 0xFFFF) return {kCardCommandOverflow};
  if (commandMac && !CommandMacValid(c, session_.readCounter)) return {kCardMacError};
  const std::uint16_t block = Le16(c.data() + 1);
  const int count = c[3];
  Bytes data;
  if (block >= kMfpConfig && block <= kFieldConfig) {
    if (count != 1) return {kCardLengthError};
    if (const std::uint8_t check = KeyWriteCheck(block); check != kCardOk) return {check};
    const Block* config = image_.Key(block);
    data.assign(config->begin(), config->end());
  } else if (block >= 0x100) {
    return {image_.Key(block) != nullptr ? kCardNotAllowed : AddressClassError(block)};
  } else {
    const std::uint8_t check = DataBlockCheck(block, count, static_cast<int>(DataOp::kRead), plain);
    if (check != kCardOk) return {check};
    for (int b = block; b < block + count; ++b) {
      const Block& source = image_.blocks[static_cast<std::size_t>(b)];
      data.insert(data.end(), source.begin(), source.end());
    }
  }
  ++session_.readCounter;
  Block ivCommand, ivResponse;
  SessionIvs(&ivCommand, &ivResponse);
  if (!plain) {
    crypto::CbcEncrypt(data.data(), data.data(), data.size(), session_.kEnc.data(),
                       ivResponse.data());
  }
  // Answers without a MAC are folded into the MAC of the next answer that has one.
  Bytes& mac = session_.readMac;
  if (mac.empty()) {
    mac.assign(7, 0);
    mac[0] = kCardOk;
    std::memcpy(mac.data() + 3, session_.ti, 4);
  }
  mac[1] = U8(session_.readCounter);
  mac[2] = U8(session_.readCounter >> 8);
  mac.insert(mac.end(), c.begin() + 1, c.begin() + 4);
  mac.insert(mac.end(), data.begin(), data.end());
  Bytes answer{kCardOk};
  answer.insert(answer.end(), data.begin(), data.end());
  if (code & 0x01) {
    std::uint8_t tag[8];
    crypto::CmacTruncated(tag, mac.data(), mac.size(), session_.kMac.data());
    answer.insert(answer.end(), tag, tag + 8);
    mac.clear();
  }
  return answer;
}

Bytes Card::Sl3Write(const Bytes& c) {
  session_.readMac.clear();  // every write empties the read MAC input, as on the host
  const std::uint8_t code = c[0];
  const bool plain = (code & 0x02) != 0;
  if (activeLevel_ < 2) return {kCardNotAllowed};
  if (c.size() < 11 || (c.size() - 11) % 16 != 0) return {kCardLengthError};
  if (!session_.authenticated) return {kCardAuthError};
  if (session_.writeCounter == 0xFFFF) return {kCardCommandOverflow};
  if (!CommandMacValid(c, session_.writeCounter)) return {kCardMacError};
  const int count = static_cast<int>((c.size() - 11) / 16);
  if (count < 1 || count > 3) return {kCardLengthError};
  const std::uint16_t block = Le16(c.data() + 1);
  Bytes data(c.begin() + 3, c.begin() + 3 + 16 * count);
  if (!plain) {
    Block ivCommand, ivResponse;
    SessionIvs(&ivCommand, &ivResponse);
    crypto::CbcDecrypt(data.data(), data.data(), data.size(), session_.kEnc.data(),
                       ivCommand.data());
  }
  if (block < 0x100) {
    if (activeLevel_ != 3) return {kCardNotAllowed};
    const std::uint8_t check =
        DataBlockCheck(block, count, static_cast<int>(DataOp::kWrite), false);
    if (check != kCardOk) return {check};
    for (int i = 0; i < count; ++i) {
      const int b = block + i;
      std::uint8_t conditions[4];
      if (GroupOfBlock(b) == 3 && !DecodeAccessBits(data.data() + 16 * i + 6, conditions)) {
        return {kCardGeneralError};  // would lock the sector for good
      }
    }
    for (int i = 0; i < count; ++i) {
      std::memcpy(image_.blocks[static_cast<std::size_t>(block + i)].data(), data.data() + 16 * i,
                  16);
    }
  } else {
    if (count != 1) return {kCardLengthError};
    if (const std::uint8_t check = KeyWriteCheck(block); check != kCardOk) return {check};
    if (plain) return {kCardNotAllowed};  // keys and configuration travel encrypted only
    std::memcpy(image_.keys[block].data(), data.data(), 16);
  }
  changed_ = true;
  ++session_.writeCounter;
  return WriteAnswer(code & 0x01);
}

Bytes Card::Sl3Value(const Bytes& c) {
  const std::uint8_t code = c[0];
  const bool operand =
      code <= 0xB3 || (code >= 0xB6 && code <= 0xB9);  // an encrypted value follows
  const bool twoBlocks = code >= 0xB6 && code <= 0xB9;
  const std::size_t length = twoBlocks ? 29 : (operand ? 27 : 11);
  if (activeLevel_ != 3) return {kCardNotAllowed};
  if (c.size() != length) return {kCardLengthError};
  if (!session_.authenticated) return {kCardAuthError};
  if (session_.writeCounter == 0xFFFF) return {kCardCommandOverflow};
  if (!CommandMacValid(c, session_.writeCounter)) return {kCardMacError};

  const std::uint16_t source = Le16(c.data() + 1);
  const std::uint16_t destination = twoBlocks ? Le16(c.data() + 3) : source;
  std::int32_t amount = 0;
  if (operand) {
    Block ivCommand, ivResponse;
    SessionIvs(&ivCommand, &ivResponse);
    std::uint8_t plainOperand[16];
    crypto::CbcDecrypt(plainOperand, c.data() + (twoBlocks ? 5 : 3), 16, session_.kEnc.data(),
                       ivCommand.data());
    amount = static_cast<std::int32_t>(static_cast<std::uint32_t>(plainOperand[0]) |
                                       (static_cast<std::uint32_t>(plainOperand[1]) << 8) |
                                       (static_cast<std::uint32_t>(plainOperand[2]) << 16) |
                                       (static_cast<std::uint32_t>(plainOperand[3]) << 24));
  }
  const bool increment = code == 0xB0 || code == 0xB1 || code == 0xB6 || code == 0xB7;
  auto valueCheck = [&](std::uint16_t block, DataOp op) -> std::uint8_t {
    if (block >= 0x100) return AddressClassError(block);
    const std::uint8_t check = DataBlockCheck(block, 1, static_cast<int>(op), false);
    if (check != kCardOk) return check;
    return GroupOfBlock(block) == 3 || block == 0 ? kCardNotAllowed : kCardOk;
  };

  TransferBuffer result = transfer_;
  if (code != 0xB4 && code != 0xB5) {  // everything but Transfer reads the source
    const DataOp op = increment ? DataOp::kIncrement : DataOp::kDecrement;
    if (const std::uint8_t check = valueCheck(source, op); check != kCardOk) return {check};
    std::int32_t current = 0;
    std::uint8_t address = 0;
    if (!ReadValueBlock(source, &current, &address)) return {kCardGeneralError};
    std::int64_t sum = current;
    if (operand)
      sum += increment ? static_cast<std::int64_t>(amount) : -static_cast<std::int64_t>(amount);
    if (sum > INT32_MAX || sum < INT32_MIN) return {kCardGeneralError};
    result = {true, static_cast<std::int32_t>(sum), address};
  } else if (!transfer_.valid) {
    return {kCardGeneralError};  // nothing to transfer
  }
  const bool transfers = code == 0xB4 || code == 0xB5 || twoBlocks;
  if (transfers) {
    if (const std::uint8_t check = valueCheck(destination, DataOp::kDecrement); check != kCardOk) {
      return {check};
    }
    StoreValueBlock(destination, result.value, result.address);
  }
  transfer_ = result;
  ++session_.writeCounter;
  return WriteAnswer(code & 0x01);
}

Bytes Card::VcSupport(const Bytes& c, bool last) {
  if (image_.variant.s) return {kCardVcUnsupported};
  if (c.size() != (last ? 33u : 17u)) return {kCardLengthError};
  Block iid;
  std::memcpy(iid.data(), c.data() + 1, 16);
  const Block* own = image_.Key(kVcIid);
  const bool configured = own != nullptr && *own != Block{};
  bool match = configured && iid == *own;
  for (const Block& announced : vcIids_) match = match || (configured && announced == *own);
  if (!match) return {kCardVcUnsupported};
  if (!last) {
    vcIids_.push_back(iid);
    return {kCardOk};
  }
  // Cryptogram: UID format byte, two filler bytes, the UID, filler; under the ENC key.
  std::uint8_t plainText[16];
  rng_->Fill(plainText, 16);
  plainText[0] = image_.uid.size() == 7 ? 0x03 : 0x83;
  std::memcpy(plainText + 3, image_.uid.data(), image_.uid.size());
  Block ivCommand{}, ivResponse{};
  if (session_.authenticated) SessionIvs(&ivCommand, &ivResponse);
  Block cryptogram;
  crypto::CbcEncrypt(cryptogram.data(), plainText, 16, image_.Key(kVcEncKey)->data(),
                     ivResponse.data());
  vcCryptogram_ = cryptogram;
  // Answer MAC over 0x90, the PCD capabilities, the cryptogram and RndQ.
  Bytes input{kCardOk};
  input.insert(input.end(), c.begin() + 30, c.begin() + 33);
  input.insert(input.end(), cryptogram.begin(), cryptogram.end());
  input.insert(input.end(), c.begin() + 17, c.begin() + 29);
  std::uint8_t mac[8];
  crypto::CmacTruncated(mac, input.data(), input.size(), image_.Key(kVcMacKey)->data());
  Bytes answer{kCardOk};
  answer.insert(answer.end(), cryptogram.begin(), cryptogram.end());
  answer.insert(answer.end(), mac, mac + 8);
  return answer;
}

Bytes Card::VcSelect(const Bytes& c) {
  if (image_.variant.s) return {kCardVcUnsupported};
  if (c.size() != 9) return {kCardLengthError};
  if (!vcCryptogram_) return {kCardNotAllowed};
  std::uint8_t message[16];
  message[0] = 0x40;
  std::memcpy(message + 1, vcCryptogram_->data() + 1, 15);
  Block ivCommand{}, ivResponse{};
  if (session_.authenticated) SessionIvs(&ivCommand, &ivResponse);
  std::uint8_t mac[8];
  crypto::CmacTruncatedIv(mac, message, 16, image_.Key(kVcMacKey)->data(), ivResponse.data());
  if (std::memcmp(mac, c.data() + 1, 8) != 0) return {kCardMacError};
  vcSelected_ = true;
  return {kCardOk};
}

std::optional<RawAnswer> Card::ProximityRaw(const Bytes& data) {
  const std::uint8_t pcb = data[0];
  if (data[1] != cid_) return std::nullopt;  // addressed to another card
  auto answer = [&](Bytes tail) {
    Bytes bytes{pcb, cid_};
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return RawAnswer{bytes, static_cast<int>(bytes.size() * 8)};
  };
  if (image_.variant.s) return answer({kCardNotAllowed});
  const std::uint8_t command = data[2];
  if (command == 0xF0 && data.size() == 3) {
    pcPrepared_ = true;
    pcChecked_ = pcDone_ = false;
    return answer({kCardOk});
  }
  if (command == 0xF2 && data.size() == 11 && data[3] == 0x07) {
    if (!pcPrepared_) return answer({kCardNotAllowed});
    std::memcpy(rndC_, data.data() + 4, 7);
    Bytes rndR(7);
    rng_->Fill(rndR.data(), rndR.size());
    RawAnswer reply = answer(rndR);
    pcAnswer_ = reply.bytes;
    pcChecked_ = true;
    return reply;
  }
  if (command == 0xFD && data.size() == 11) {
    if (!pcChecked_) return answer({kCardNotAllowed});
    pcPrepared_ = pcChecked_ = false;
    // MAC input: 0xFD, the bit-rate byte (106 kbit/s both ways: 0), the first
    // seven bytes of the card's answer, RndC.
    std::uint8_t input[16];
    input[0] = 0xFD;
    input[1] = 0x00;
    std::memcpy(input + 2, pcAnswer_.data(), 7);
    std::memcpy(input + 9, rndC_, 7);
    const Block* key = session_.authenticated ? &session_.kMac : image_.Key(kVcProximityKey);
    std::uint8_t mac[8];
    crypto::CmacTruncated(mac, input, 16, key->data());
    if (std::memcmp(mac, data.data() + 3, 8) != 0) return answer({kCardMacError});
    pcDone_ = true;
    input[0] = kCardOk;
    crypto::CmacTruncated(mac, input, 16, key->data());
    Bytes tail{kCardOk};
    tail.insert(tail.end(), mac, mac + 8);
    return answer(tail);
  }
  return answer({kCardLengthError});
}

}  // namespace pelkin
