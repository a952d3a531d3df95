// Level 3 authentication and the session state it establishes.
#include "mfplus/session.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "mfplus/card_io.h"
#include "mfplus/crypto.h"

namespace ostrel::mfplus {
namespace {

PlusSession g_session{};

bool SystemRandom(std::uint8_t* out, std::size_t length) {
  std::size_t filled = 0;
  while (filled < length) {
    ssize_t got = getrandom(out + filled, length - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

RandomSource g_random = &SystemRandom;

// Session keys must not outlive the library in memory.
__attribute__((destructor)) void WipeSessionAtUnload() {
  explicit_bzero(&g_session, sizeof g_session);
}

void RotateLeft(std::uint8_t out[16], const std::uint8_t in[16]) {
  for (int i = 0; i < 16; ++i) out[i] = in[(i + 1) % 16];
}

void RotateRight(std::uint8_t out[16], const std::uint8_t in[16]) {
  for (int i = 0; i < 16; ++i) out[i] = in[(i + 15) % 16];
}

// The host's second step: E(K, RndA || RndB') with the given IV.
void BuildSecondStep(std::uint8_t out[33], const std::uint8_t key[16], const std::uint8_t rndA[16],
                     const std::uint8_t rndB[16], const std::uint8_t iv[16]) {
  out[0] = 0x72;
  std::memcpy(out + 1, rndA, 16);
  RotateLeft(out + 17, rndB);
  crypto::Aes128CbcEncrypt(out + 1, out + 1, 32, key, iv);
}

// True when the card's RndA', rotated back, is the RndA that was sent.
bool RndAMatches(const std::uint8_t rndAPrime[16], const std::uint8_t rndA[16]) {
  std::uint8_t rotated[16];
  RotateRight(rotated, rndAPrime);
  return SameBytes(rotated, rndA, 16);
}

void AddressCommand(std::uint8_t out[3], std::uint8_t code, std::uint16_t address) {
  out[0] = code;
  out[1] = static_cast<std::uint8_t>(address);
  out[2] = static_cast<std::uint8_t>(address >> 8);
}

// One step of the raw-path authentication: a 136-bit answer goes on, a 4-bit
// one is a refusal, anything else (including a failed link) is 0xFC. A reader
// without raw exchanges says so, and that is passed on as it is.
std::uint8_t ClassicStep(const std::uint8_t* data, std::uint16_t bits, RawAnswer* answer) {
  std::uint8_t status = RawExchange(3, data, bits, answer);
  if (status == OSTREL_NOT_SUPPORTED) return status;
  if (answer->bits == 4) return CheckAckNibble(status, answer->bytes[0], answer->bits);
  if (answer->bits != 136) return OSTREL_BAD_LENGTH;
  return CheckPlusStatus(status, answer->bytes[0]);
}

// Runs one authentication step on `path` and leaves the 16 bytes after the
// status byte in `payload`.
std::uint8_t AuthStep(Path path, const std::uint8_t* command, std::uint16_t length,
                      std::uint8_t payload[16]) {
  if (path == Path::Classic) {
    RawAnswer answer;
    std::uint8_t status = ClassicStep(command, static_cast<std::uint16_t>(length * 8), &answer);
    if (status == 0) std::memcpy(payload, answer.bytes + 1, 16);
    return status;
  }
  CardAnswer answer;
  std::uint8_t status = TclCommand(command, length, &answer, 17);
  if (status == 0) std::memcpy(payload, answer.bytes + 1, 16);
  return status;
}

}  // namespace

PlusSession& Session() {
  return g_session;
}

void ResetSession() {
  explicit_bzero(&g_session, sizeof g_session);
}

void EndSession() {
  std::uint8_t pcdCap2[6], pdCap2[6];
  std::memcpy(pcdCap2, g_session.pcdCap2, 6);
  std::memcpy(pdCap2, g_session.pdCap2, 6);
  explicit_bzero(&g_session, sizeof g_session);
  std::memcpy(g_session.pcdCap2, pcdCap2, 6);
  std::memcpy(g_session.pdCap2, pdCap2, 6);
}

void SetRandomSource(RandomSource source) {
  g_random = source != nullptr ? source : &SystemRandom;
}

bool FillRandom(std::uint8_t* out, std::size_t length) {
  return g_random(out, length);
}

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < length; ++i)
    difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
  return difference == 0;
}

std::uint8_t CheckPlusStatus(std::uint8_t transportStatus, std::uint8_t firstByte) {
  if (transportStatus != 0) return transportStatus;
  if (firstByte == 0x90) return 0;
  return static_cast<std::uint8_t>(0xB0 | (firstByte & 0x0F));
}

std::uint8_t CheckAckNibble(std::uint8_t transportStatus, std::uint8_t firstByte,
                            std::uint16_t receivedBits) {
  if (transportStatus != 0) return transportStatus;
  if (receivedBits != 4) return OSTREL_BAD_LENGTH;
  switch (firstByte & 0x0F) {
    case 0xA:
      return 0;
    case 0x0:
      return OSTREL_AUTH_MISMATCH;
    case 0x1:
    case 0x5:
      return OSTREL_NAK_CRC;
    case 0x4:
      return OSTREL_BAD_ARGUMENT;
    default:
      return OSTREL_OTHER_ERROR;
  }
}

void DeriveSessionKeys(std::uint8_t lastByte, const std::uint8_t key[16]) {
  PlusSession& s = g_session;
  std::uint8_t input[16];
  if (lastByte != 0x33) {
    SessionKeyInput(input, s.rndA, s.rndB, true, 0x22);
    crypto::AesEncryptBlock(key, input, s.kMac);
    lastByte = 0x11;
  }
  SessionKeyInput(input, s.rndA, s.rndB, false, lastByte);
  crypto::AesEncryptBlock(key, input, s.kEnc);
  explicit_bzero(input, sizeof input);
}

void UpdateSessionIvs() {
  PlusSession& s = g_session;
  BuildSessionIvs(s.ti, s.readCounter, s.writeCounter, s.ivCommand, s.ivResponse);
}

std::uint8_t AesAuthenticate(Path path, std::uint16_t address, const std::uint8_t key[16]) {
  PlusSession& s = g_session;
  std::uint8_t rndA[16];
  if (!FillRandom(rndA, sizeof rndA)) return OSTREL_OTHER_ERROR;

  std::uint8_t command[33];
  AddressCommand(command, 0x76, address);
  std::uint8_t payload[16];
  std::uint8_t status = AuthStep(path, command, 3, payload);
  if (status != 0) return status;
  crypto::Aes128CbcDecrypt(s.rndB, payload, 16, key, s.ivResponse);
  std::memcpy(s.rndA, rndA, 16);

  BuildSecondStep(command, key, s.rndA, s.rndB, s.ivCommand);
  status = AuthStep(path, command, 33, payload);
  if (status != 0) return status;
  crypto::Aes128CbcDecrypt(payload, payload, 16, key, s.ivResponse);
  return RndAMatches(payload, s.rndA) ? 0 : OSTREL_AUTH_MISMATCH;
}

}  // namespace ostrel::mfplus

using namespace ostrel::mfplus;

extern "C" {

unsigned char PLUSSL3FirstAuth(unsigned short keyAddress, const unsigned char key[16]) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  PlusSession& s = Session();
  std::uint8_t rndA[16];
  if (!FillRandom(rndA, sizeof rndA)) return OSTREL_OTHER_ERROR;

  std::uint8_t command[33] = {0x70, static_cast<std::uint8_t>(keyAddress),
                              static_cast<std::uint8_t>(keyAddress >> 8), 0x06};
  std::memcpy(command + 4, s.pcdCap2, 6);
  CardAnswer answer;
  std::uint8_t status = TclCommand(command, 10, &answer, 17);
  if (status != 0) return status;
  const std::uint8_t zeroIv[16] = {};
  ostrel::crypto::Aes128CbcDecrypt(s.rndB, answer.bytes + 1, 16, key, zeroIv);
  std::memcpy(s.rndA, rndA, 16);

  BuildSecondStep(command, key, s.rndA, s.rndB, zeroIv);
  status = TclCommand(command, 33, &answer, 33);
  if (status != 0) return status;
  std::uint8_t plain[32];
  ostrel::crypto::Aes128CbcDecrypt(plain, answer.bytes + 1, 32, key, zeroIv);

  // TI, RndA', PDcap2: the card's capabilities become ours for the next session.
  std::memcpy(s.ti, plain, 4);
  std::memcpy(s.pdCap2, plain + 20, 6);
  std::memcpy(s.pcdCap2, plain + 20, 6);
  bool matches = RndAMatches(plain + 4, s.rndA);
  if (matches) DeriveSessionKeys(0x11, key);
  s.readCounter = 0;
  s.writeCounter = 0;
  s.readMacLength = 0;
  UpdateSessionIvs();
  explicit_bzero(plain, sizeof plain);
  return matches ? 0 : OSTREL_AUTH_MISMATCH;
}

unsigned char PLUSSL3FollowingAuth(unsigned short keyAddress, const unsigned char key[16]) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t status = AesAuthenticate(Path::Tcl, keyAddress, key);
  if (status == 0) DeriveSessionKeys(0x11, key);
  return status;
}

unsigned char PLUSSL3RestAuth(void) {
  const std::uint8_t command[1] = {0x78};
  CardAnswer answer;
  std::uint8_t status = TclCommand(command, 1, &answer);
  if (status == 0) {
    Session().readCounter = 0;
    Session().writeCounter = 0;
  }
  return status;
}

}  // extern "C"
