// ISO 14443-3 Type A selection and the CRYPTO1 block and value commands:
// one reader frame per card command, plus the host-side activation sequence
// and value block coding.
#include "iso14443/type_a.h"

#include <cstring>

#include "link/frame.h"
#include "link/trace.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace ostrel::iso {
namespace {

constexpr std::uint8_t kRequest = 0x41;
constexpr std::uint8_t kAnticollision = 0x42;
constexpr std::uint8_t kSelect = 0x43;
constexpr std::uint8_t kAuth = 0x44;
constexpr std::uint8_t kHalt = 0x45;
constexpr std::uint8_t kReadBlock = 0x46;
constexpr std::uint8_t kWriteBlock = 0x47;
constexpr std::uint8_t kValue = 0x70;
constexpr std::uint8_t kAnticoll2 = 0x71;
constexpr std::uint8_t kAuth2 = 0x72;
constexpr std::uint8_t kAuthKey = 0x73;
constexpr std::uint8_t kCascadeAnticollision = 0x74;
constexpr std::uint8_t kCascadeSelect = 0x75;
constexpr std::uint8_t kValueDebit = 0x77;

constexpr std::uint8_t kWakeUpAll = 0x52;
constexpr std::uint8_t kFirstSelectCode = 0x93;  // cascade level 1; +2 per level
constexpr std::uint8_t kLastSelectCode = 0x97;   // cascade level 3
constexpr std::uint8_t kSakUidIncomplete = 0x04;

constexpr std::size_t kBlockSize = 16;

void PutLittleEndian(std::int32_t value, std::uint8_t* out) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::int32_t GetLittleEndian(const std::uint8_t* in) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = (bits << 8) | in[i];
  return static_cast<std::int32_t>(bits);
}

std::uint8_t Not(std::uint8_t byte) {
  return static_cast<std::uint8_t>(~byte);
}

// The MIFARE value block: value, its complement, value again, then the
// address byte four times as addr, ~addr, addr, ~addr.
void EncodeValueBlock(std::int32_t value, std::uint8_t address, std::uint8_t* block) {
  PutLittleEndian(value, block);
  for (int i = 0; i < 4; ++i) {
    block[4 + i] = Not(block[i]);
    block[8 + i] = block[i];
  }
  block[12] = address;
  block[13] = Not(address);
  block[14] = address;
  block[15] = Not(address);
}

bool IsValueBlock(const std::uint8_t* block) {
  for (int i = 0; i < 4; ++i) {
    if (block[4 + i] != Not(block[i])) return false;
    if (block[8 + i] != block[i]) return false;
  }
  return block[12] == block[14] && block[13] == block[15] && block[12] == Not(block[13]);
}

}  // namespace

std::uint8_t PiccRequest(std::uint8_t mode, std::uint8_t* atq) {
  if (atq == nullptr) return OSTREL_BAD_ARGUMENT;
  const std::uint8_t all = mode == kWakeUpAll ? 1 : 0;
  return link::Command(kRequest, &all, 1, atq, 2);
}

}  // namespace ostrel::iso

using ostrel::link::Command;

extern "C" {

unsigned char PiccAntion(unsigned char bitCount, unsigned char uidPart[4]) {
  if (uidPart == nullptr) return OSTREL_BAD_ARGUMENT;
  return Command(ostrel::iso::kAnticollision, &bitCount, 1, uidPart, 4);
}

unsigned char PiccSelect(const unsigned char uidPart[4], unsigned char* sak) {
  if (uidPart == nullptr || sak == nullptr) return OSTREL_BAD_ARGUMENT;
  return Command(ostrel::iso::kSelect, uidPart, 4, sak, 1);
}

unsigned char PiccAuth(unsigned char mode, unsigned char block) {
  const std::uint8_t data[2] = {mode, block};
  return Command(ostrel::iso::kAuth, data, sizeof data);
}

unsigned char PiccHalt(void) {
  // A halted card has no session; neither may the host (whatever the reader answers).
  ostrel::mfplus::EndSession();
  return Command(ostrel::iso::kHalt, nullptr, 0);
}

unsigned char PiccReadBlock(unsigned char block, unsigned char data[16]) {
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  return Command(ostrel::iso::kReadBlock, &block, 1, data, ostrel::iso::kBlockSize);
}

unsigned char PiccWriteBlock(unsigned char block, const unsigned char data[16]) {
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  ostrel::link::trace::SecretBytes keys;
  keys.AddIfSectorTrailer(block, data);
  std::uint8_t payload[1 + ostrel::iso::kBlockSize] = {block};
  std::memcpy(payload + 1, data, ostrel::iso::kBlockSize);
  return Command(ostrel::iso::kWriteBlock, payload, sizeof payload);
}

unsigned char PiccValue(unsigned char mode, unsigned char block, int value,
                        unsigned char transferBlock) {
  std::uint8_t data[7] = {mode, block};
  ostrel::iso::PutLittleEndian(value, data + 2);
  data[6] = transferBlock;
  return Command(ostrel::iso::kValue, data, sizeof data);
}

unsigned char PiccAnticoll2(unsigned char option1, unsigned char option2,
                            unsigned char uidPart[4]) {
  if (uidPart == nullptr) return OSTREL_BAD_ARGUMENT;
  const std::uint8_t data[2] = {option1, option2};
  return Command(ostrel::iso::kAnticoll2, data, sizeof data, uidPart, 4);
}

unsigned char PiccAuth2(unsigned char mode, unsigned char block, unsigned char extra) {
  const std::uint8_t data[3] = {mode, block, extra};
  return Command(ostrel::iso::kAuth2, data, sizeof data);
}

unsigned char PiccAuthKey(unsigned char mode, const unsigned char key[6], unsigned char sector) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  // The reader wants the sector before the key, unlike the argument order.
  std::uint8_t data[8] = {mode, sector};
  std::memcpy(data + 2, key, 6);
  return Command(ostrel::iso::kAuthKey, data, sizeof data);
}

unsigned char PiccCaseAntion(unsigned char bitCount, unsigned char selectCode,
                             unsigned char uidPart[4]) {
  if (uidPart == nullptr) return OSTREL_BAD_ARGUMENT;
  // The select code travels first, although it is the second argument.
  const std::uint8_t data[2] = {selectCode, bitCount};
  return Command(ostrel::iso::kCascadeAnticollision, data, sizeof data, uidPart, 4);
}

unsigned char PiccCaseSelect(unsigned char selectCode, const unsigned char uidPart[4],
                             unsigned char* sak) {
  if (uidPart == nullptr || sak == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t data[5] = {selectCode};
  std::memcpy(data + 1, uidPart, 4);
  return Command(ostrel::iso::kCascadeSelect, data, sizeof data, sak, 1);
}

unsigned char PiccValueDebit(unsigned char mode, unsigned char block, int value) {
  std::uint8_t data[6] = {mode, block};
  ostrel::iso::PutLittleEndian(value, data + 2);
  return Command(ostrel::iso::kValueDebit, data, sizeof data);
}

unsigned char PiccActivate(unsigned char mode, unsigned char atq[2], unsigned char uid[10],
                           unsigned char* uidLength, unsigned char* sak) {
  using namespace ostrel::iso;
  if (atq == nullptr || uid == nullptr || uidLength == nullptr || sak == nullptr) {
    return OSTREL_BAD_ARGUMENT;
  }
  // Whatever card answers now starts without a session.
  ostrel::mfplus::EndSession();
  // A card that has just entered the field may miss the first request.
  if (PiccRequest(mode, atq) != 0 && PiccRequest(mode, atq) != 0) return OSTREL_NO_CARD;

  std::size_t length = 0;
  for (unsigned code = kFirstSelectCode; code <= kLastSelectCode; code += 2) {
    const auto selectCode = static_cast<std::uint8_t>(code);
    std::uint8_t part[4];
    if (PiccCaseAntion(0, selectCode, part) != 0) return OSTREL_NO_CARD;
    if (PiccCaseSelect(selectCode, part, sak) != 0) return OSTREL_NO_CARD;
    if ((*sak & kSakUidIncomplete) == 0) {
      std::memcpy(uid + length, part, 4);
      *uidLength = static_cast<std::uint8_t>(length + 4);
      return OSTREL_OK;
    }
    // Byte 0 is the cascade tag: dropped by position, whatever its value.
    std::memcpy(uid + length, part + 1, 3);
    length += 3;
  }
  return OSTREL_NO_CARD;  // still incomplete after three cascade levels
}

unsigned char PiccWriteValue(unsigned char block, int value) {
  std::uint8_t data[ostrel::iso::kBlockSize];
  ostrel::iso::EncodeValueBlock(value, block, data);
  return PiccWriteBlock(block, data);
}

unsigned char PiccReadValue(unsigned char block, int* value) {
  if (value == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t data[ostrel::iso::kBlockSize];
  const std::uint8_t status = PiccReadBlock(block, data);
  if (status != 0) return status;
  // Only the block's own redundancy is checked: a value block copied from
  // another block carries that block's address and still reads.
  if (!ostrel::iso::IsValueBlock(data)) return OSTREL_BAD_VALUE_BLOCK;
  *value = ostrel::iso::GetLittleEndian(data);
  return OSTREL_OK;
}

}  // extern "C"
