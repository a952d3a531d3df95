#include "card_model.h"

#include <algorithm>
#include <cstring>

#include "mfplus/crypto.h"

namespace ostrel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ostrel::crypto::CbcDecrypt;
using ostrel::crypto::CbcEncrypt;

constexpr std::uint8_t kOk = 0x90;
constexpr std::uint8_t kAuthError = 0x06;
constexpr std::uint8_t kMacError = 0x08;
constexpr std::uint8_t kLengthError = 0x0C;
constexpr std::uint8_t kNoBlock = 0x0A;

std::uint16_t U16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void PutU16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

Bytes RotateLeft(const Bytes& in) {
  Bytes out(in.begin() + 1, in.end());
  out.push_back(in[0]);
  return out;
}

// The card's key derivation, written out from the protocol's byte layout.
Key Derive(const Key& key, const Bytes& a, const Bytes& b, bool mac) {
  std::uint8_t sv[16];
  for (int i = 0; i < 5; ++i) {
    sv[i] = a[static_cast<std::size_t>((mac ? 7 : 11) + i)];
    sv[5 + i] = b[static_cast<std::size_t>((mac ? 7 : 11) + i)];
    sv[10 + i] = static_cast<std::uint8_t>(a[static_cast<std::size_t>((mac ? 0 : 4) + i)] ^
                                           b[static_cast<std::size_t>((mac ? 0 : 4) + i)]);
  }
  sv[15] = mac ? 0x22 : 0x11;
  Key out{};
  ostrel::crypto::AesEncryptBlock(key.data(), sv, out.data());
  return out;
}

// Value bytes of a value block; the address bytes stay as they were.
void SetValue(Block& block, std::int32_t value) {
  std::memcpy(block.data(), &value, 4);
  for (std::size_t i = 0; i < 4; ++i) block[4 + i] = static_cast<std::uint8_t>(~block[i]);
  std::memcpy(block.data() + 8, &value, 4);
}

}  // namespace

CardModel::CardModel() {
  for (std::size_t i = 0; i < 16; ++i) rndB[i] = static_cast<std::uint8_t>(0xB0 + i);
}

std::array<std::uint8_t, 8> CardModel::Mac8(const std::uint8_t* data, std::size_t length) const {
  std::array<std::uint8_t, 8> mac{};
  ostrel::crypto::CmacTruncated(mac.data(), data, length, kMac.data());
  if (wrongAnswerMac) mac[0] ^= 0xFF;
  return mac;
}

void CardModel::Ivs(std::uint8_t command[16], std::uint8_t response[16]) const {
  if (zeroIvs) {
    std::memset(command, 0, 16);
    std::memset(response, 0, 16);
    return;
  }
  const std::uint8_t c[4] = {
      static_cast<std::uint8_t>(readCounter), static_cast<std::uint8_t>(readCounter >> 8),
      static_cast<std::uint8_t>(writeCounter), static_cast<std::uint8_t>(writeCounter >> 8)};
  for (int i = 0; i < 4; ++i) {
    command[i] = ti[static_cast<std::size_t>(i)];
    response[12 + i] = ti[static_cast<std::size_t>(i)];
    for (int r = 0; r < 3; ++r) {
      command[4 + 4 * r + i] = c[i];
      response[4 * r + i] = c[i];
    }
  }
}

Bytes CardModel::Handle(const Bytes& command) {
  if (command.empty()) return {kLengthError};
  switch (command[0]) {
    case 0x70:
      return StartAuth(command, true);
    case 0x76:
      return StartAuth(command, false);
    case 0x72:
      return FinishAuth(command);
    case 0x78:
      authenticated = false;
      readCounter = writeCounter = 0;
      return {kOk};
    default:
      break;
  }
  if (!authenticated) return {kAuthError};
  const std::uint8_t code = command[0];
  if (code >= 0x30 && code <= 0x37) return Read(command);
  if (code >= 0xA0 && code <= 0xA3) return Write(command);
  if ((code >= 0xB0 && code <= 0xB3) || (code >= 0xB6 && code <= 0xB9)) return Value(command);
  if (code == 0xB4 || code == 0xB5) return Transfer(command);
  if (code == 0xC2 || code == 0xC3) return Restore(command);
  return {0x0B};
}

Bytes CardModel::StartAuth(const Bytes& command, bool first) {
  if (command.size() != (first ? 10u : 3u)) return {kLengthError};
  auto key = keys.find(U16(command, 1));
  if (key == keys.end()) return {kAuthError};
  if (first) pcdCap2Seen.assign(command.begin() + 4, command.end());
  pendingKey_ = key->second;
  pending_ = first ? Pending::First : Pending::Following;
  std::uint8_t ivc[16] = {}, ivr[16] = {};
  if (!first) Ivs(ivc, ivr);
  Bytes answer(17, kOk);
  CbcEncrypt(answer.data() + 1, rndB.data(), 16, pendingKey_.data(), ivr);
  return answer;
}

Bytes CardModel::FinishAuth(const Bytes& command) {
  if (pending_ == Pending::None || command.size() != 33) return {kAuthError};
  const bool first = pending_ == Pending::First;
  pending_ = Pending::None;
  std::uint8_t ivc[16] = {}, ivr[16] = {};
  if (!first) Ivs(ivc, ivr);
  Bytes plain(32);
  CbcDecrypt(plain.data(), command.data() + 1, 32, pendingKey_.data(), ivc);
  const Bytes rndA(plain.begin(), plain.begin() + 16);
  const Bytes rndBPrime(plain.begin() + 16, plain.end());
  const Bytes b(rndB.begin(), rndB.end());
  if (rndBPrime != RotateLeft(b)) return {kAuthError};
  rndASeen = rndA;

  Bytes rndAPrime = RotateLeft(rndA);
  if (wrongRndAPrime) rndAPrime[5] ^= 0x01;
  Bytes answer{kOk};
  if (first) {
    Bytes body(ti.begin(), ti.end());
    body.insert(body.end(), rndAPrime.begin(), rndAPrime.end());
    body.insert(body.end(), pdCap2.begin(), pdCap2.end());
    body.resize(32, 0x00);
    answer.resize(33);
    CbcEncrypt(answer.data() + 1, body.data(), 32, pendingKey_.data(), ivr);
    readCounter = writeCounter = 0;
    readMacInput_.clear();
  } else {
    answer.resize(17);
    CbcEncrypt(answer.data() + 1, rndAPrime.data(), 16, pendingKey_.data(), ivr);
  }
  kMac = Derive(pendingKey_, rndA, b, true);
  kEnc = Derive(pendingKey_, rndA, b, false);
  authenticated = true;
  for (auto& byte : rndB) byte = static_cast<std::uint8_t>(byte + 0x11);
  return answer;
}

bool CardModel::CommandMacOk(const Bytes& command, std::uint16_t counter) {
  // MAC input: code, counter, TI, then everything after the code but the MAC.
  Bytes input{command[0]};
  PutU16(input, counter);
  input.insert(input.end(), ti.begin(), ti.end());
  input.insert(input.end(), command.begin() + 1, command.end() - 8);
  std::array<std::uint8_t, 8> expected{};
  ostrel::crypto::CmacTruncated(expected.data(), input.data(), input.size(), kMac.data());
  return std::equal(expected.begin(), expected.end(), command.end() - 8);
}

Bytes CardModel::Read(const Bytes& command) {
  const std::uint8_t code = command[0];
  const bool macOnCommand = (code & 0x04) == 0;
  if (command.size() != (macOnCommand ? 12u : 4u)) return {kLengthError};
  if (macOnCommand && !CommandMacOk(command, readCounter)) return {kMacError};
  const std::uint16_t first = U16(command, 1);
  const std::uint8_t count = command[3];
  Bytes data;
  for (std::uint16_t i = 0; i < count; ++i) {
    auto block = blocks.find(static_cast<std::uint16_t>(first + i));
    if (block == blocks.end()) return {kNoBlock};
    data.insert(data.end(), block->second.begin(), block->second.end());
  }
  ++readCounter;
  if ((code & 0x02) == 0) {
    std::uint8_t ivc[16], ivr[16];
    Ivs(ivc, ivr);
    CbcEncrypt(data.data(), data.data(), data.size(), kEnc.data(), ivr);
  }
  if (readMacInput_.empty()) {
    readMacInput_ = {kOk, 0, 0};
    readMacInput_.insert(readMacInput_.end(), ti.begin(), ti.end());
  }
  readMacInput_[1] = static_cast<std::uint8_t>(readCounter);
  readMacInput_[2] = static_cast<std::uint8_t>(readCounter >> 8);
  readMacInput_.insert(readMacInput_.end(), command.begin() + 1, command.begin() + 4);
  readMacInput_.insert(readMacInput_.end(), data.begin(), data.end());

  Bytes answer{kOk};
  answer.insert(answer.end(), data.begin(), data.end());
  if (code & 0x01) {
    auto mac = Mac8(readMacInput_.data(), readMacInput_.size());
    lastReadMacLength = readMacInput_.size();
    answer.insert(answer.end(), mac.begin(), mac.end());
    readMacInput_.clear();
  }
  return answer;
}

Bytes CardModel::WriteAnswer(std::uint8_t code) {
  ++writeCounter;
  Bytes answer{kOk};
  if (code & 0x01) {
    Bytes input{kOk};
    PutU16(input, writeCounter);
    input.insert(input.end(), ti.begin(), ti.end());
    auto mac = Mac8(input.data(), input.size());
    answer.insert(answer.end(), mac.begin(), mac.end());
  }
  return answer;
}

Bytes CardModel::Write(const Bytes& command) {
  readMacInput_.clear();
  if (command.size() < 11 || (command.size() - 11) % 16 != 0) return {kLengthError};
  if (!CommandMacOk(command, writeCounter)) return {kMacError};
  const std::uint8_t code = command[0];
  Bytes data(command.begin() + 3, command.end() - 8);
  if ((code & 0x02) == 0) {
    std::uint8_t ivc[16], ivr[16];
    Ivs(ivc, ivr);
    CbcDecrypt(data.data(), data.data(), data.size(), kEnc.data(), ivc);
  }
  const std::uint16_t first = U16(command, 1);
  for (std::size_t i = 0; i < data.size() / 16; ++i) {
    Block block{};
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(16 * i), 16, block.begin());
    blocks[static_cast<std::uint16_t>(first + i)] = block;
  }
  return WriteAnswer(code);
}

Bytes CardModel::Value(const Bytes& command) {
  const std::uint8_t code = command[0];
  const bool andTransfer = code >= 0xB6;
  if (command.size() != (andTransfer ? 29u : 27u)) return {kLengthError};
  if (!CommandMacOk(command, writeCounter)) return {kMacError};
  std::uint8_t ivc[16], ivr[16];
  Ivs(ivc, ivr);
  std::uint8_t operand[16];
  const std::size_t at = andTransfer ? 5 : 3;
  CbcDecrypt(operand, command.data() + at, 16, kEnc.data(), ivc);
  if (operand[4] != 0x80) return {kLengthError};
  std::int32_t delta = 0;
  std::memcpy(&delta, operand, 4);
  auto source = blocks.find(U16(command, 1));
  if (source == blocks.end()) return {kNoBlock};
  std::int32_t value = 0;
  std::memcpy(&value, source->second.data(), 4);
  const bool increment = code == 0xB0 || code == 0xB1 || code == 0xB6 || code == 0xB7;
  transferValue_ = increment ? value + delta : value - delta;
  if (andTransfer) {
    const std::uint16_t destination = U16(command, 3);
    Block& target = blocks[destination];
    target = source->second;
    SetValue(target, transferValue_);
  }
  return WriteAnswer(code);
}

Bytes CardModel::Transfer(const Bytes& command) {
  if (command.size() != 11) return {kLengthError};
  if (!CommandMacOk(command, writeCounter)) return {kMacError};
  Block& target = blocks[U16(command, 1)];
  SetValue(target, transferValue_);
  return WriteAnswer(command[0]);
}

Bytes CardModel::Restore(const Bytes& command) {
  if (command.size() != 11) return {kLengthError};
  if (!CommandMacOk(command, writeCounter)) return {kMacError};
  auto source = blocks.find(U16(command, 1));
  if (source == blocks.end()) return {kNoBlock};
  std::memcpy(&transferValue_, source->second.data(), 4);
  return WriteAnswer(command[0]);
}

}  // namespace ostrel::test
