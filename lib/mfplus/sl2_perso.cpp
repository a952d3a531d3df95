// Level 0 personalization on both paths, and the Level 2 commands: AES
// authentication bound to CRYPTO1, multi-block read and write.
#include <cstring>

#include "link/trace.h"
#include "mfplus/card_io.h"
#include "mfplus/session.h"

namespace ostrel::mfplus {
namespace {

constexpr std::uint8_t kOrdinaryOptions = 3;
constexpr std::uint8_t kMaxMultiBlocks = 3;

std::uint8_t RawAcknowledged(const std::uint8_t* data, std::size_t bytes) {
  RawAnswer answer;
  std::uint8_t status =
      RawExchange(kOrdinaryOptions, data, static_cast<std::uint16_t>(bytes * 8), &answer);
  return CheckAckNibble(status, answer.bytes[0], answer.bits);
}

std::uint8_t TclStatusOnly(const std::uint8_t* data, std::size_t bytes) {
  CardAnswer answer;
  return TclCommand(data, bytes, &answer);
}

// Keys written in personalization: AES keys, and the CRYPTO1 keys of sector trailers.
void MarkPersoKeys(link::trace::SecretBytes& keys, std::uint16_t address,
                   const std::uint8_t data[16]) {
  keys.AddIfKeyAddress(address, data);
  keys.AddIfSectorTrailer(address, data);
}

void PersoFrame(std::uint8_t out[19], std::uint16_t address, const std::uint8_t data[16]) {
  out[0] = 0xA8;
  out[1] = static_cast<std::uint8_t>(address);
  out[2] = static_cast<std::uint8_t>(address >> 8);
  std::memcpy(out + 3, data, 16);
}

}  // namespace
}  // namespace ostrel::mfplus

using namespace ostrel::mfplus;

extern "C" {

unsigned char PLUSWritePersoClassic(unsigned short address, const unsigned char data[16]) {
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  ostrel::link::trace::SecretBytes keys;
  MarkPersoKeys(keys, address, data);
  std::uint8_t frame[19];
  PersoFrame(frame, address, data);
  return RawAcknowledged(frame, sizeof frame);
}

unsigned char PLUSWritePersoTCL(unsigned short address, const unsigned char data[16]) {
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  ostrel::link::trace::SecretBytes keys;
  MarkPersoKeys(keys, address, data);
  std::uint8_t frame[19];
  PersoFrame(frame, address, data);
  return TclStatusOnly(frame, sizeof frame);
}

unsigned char PLUSCommitPersoClassic(void) {
  const std::uint8_t frame[1] = {0xAA};
  return RawAcknowledged(frame, sizeof frame);
}

unsigned char PLUSCommitPersoTCL(void) {
  const std::uint8_t frame[1] = {0xAA};
  return TclStatusOnly(frame, sizeof frame);
}

unsigned char PLUSSL2AESAuth(unsigned short keyAddress, const unsigned char key[16]) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  PlusSession& s = Session();
  std::memset(s.ivCommand, 0, sizeof s.ivCommand);
  std::memset(s.ivResponse, 0, sizeof s.ivResponse);
  std::uint8_t status = AesAuthenticate(Path::Classic, keyAddress, key);
  if (status == 0) DeriveSessionKeys(0x33, key);
  return status;
}

unsigned char PLUSSL2CryptoAuth(unsigned char mode, unsigned char sector,
                                const unsigned char key[6]) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  // The card binds the sector's CRYPTO1 key to the preceding AES authentication.
  std::uint8_t bound[6];
  for (int i = 0; i < 6; ++i) bound[i] = static_cast<std::uint8_t>(Session().kEnc[i] ^ key[i]);
  std::uint8_t status = PiccAuthKey(mode, bound, sector);
  explicit_bzero(bound, sizeof bound);
  return status;
}

unsigned char PLUSSL2MultiBlockRead(unsigned char block, unsigned char count, unsigned char* data) {
  if (count == 0 || count > kMaxMultiBlocks) return OSTREL_BAD_COUNT;
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  const std::uint8_t command[3] = {0x38, block, count};
  RawAnswer answer;
  std::uint8_t status = RawExchange(kOrdinaryOptions, command, 24, &answer);
  if (status != 0) return status;
  const std::size_t wanted = 16u * count;
  // Like every other short answer, a partial one hands over nothing.
  if (answer.bits != wanted * 8) return OSTREL_BAD_LENGTH;
  std::memcpy(data, answer.bytes, wanted);
  return 0;
}

unsigned char PLUSSL2MultiBlockWrite(unsigned char block, unsigned char count,
                                     const unsigned char* data) {
  if (count == 0 || count > kMaxMultiBlocks) return OSTREL_BAD_COUNT;
  if (data == nullptr) return OSTREL_BAD_ARGUMENT;
  ostrel::link::trace::SecretBytes keys;
  for (unsigned i = 0; i < count; ++i) keys.AddIfSectorTrailer(block + i, data + 16 * i);
  const std::uint8_t command[3] = {0xA8, block, count};
  std::uint8_t status = RawAcknowledged(command, sizeof command);
  if (status != 0) return status;
  return RawAcknowledged(data, 16u * count);
}

}  // extern "C"
