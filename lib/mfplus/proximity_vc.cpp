// The proximity check and the virtual card commands.
#include <chrono>
#include <cstring>

#include "mfplus/card_io.h"
#include "mfplus/crypto.h"
#include "mfplus/session.h"
#include "mfplus/sl3_data.h"

namespace ostrel::mfplus {
namespace {

constexpr std::size_t kRndCLength = 7;
constexpr std::size_t kRndQLength = 12;
// Verify answer: block header, CID, status, the card's MAC.
constexpr std::size_t kVerifyAnswerLength = 3 + 8;
constexpr std::uint8_t kCardOk = 0x90;

// Prepare and verify answer with the card's block header and CID in front of
// its status byte. The card answers with the header and CID it was sent: any
// other pair is not the addressed card's answer to this command.
std::uint8_t HeaderedStatus(std::uint8_t transport, const RawAnswer& answer,
                            const std::uint8_t* sent) {
  if (transport != 0) return transport;
  if (answer.bits < 24) return OSTREL_BAD_LENGTH;
  if (answer.bytes[0] != sent[0] || answer.bytes[1] != sent[1]) return OSTREL_OTHER_ERROR;
  return CheckPlusStatus(0, answer.bytes[2]);
}

}  // namespace
}  // namespace ostrel::mfplus

using namespace ostrel::mfplus;

extern "C" {

unsigned char PLUSSL3ProximityCheck(unsigned char cid, unsigned char parameter,
                                    unsigned char keyChoice, const unsigned char key[16]) {
  if (keyChoice != 0 && key == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t rndC[kRndCLength];
  if (!FillRandom(rndC, sizeof rndC)) return OSTREL_OTHER_ERROR;

  RawAnswer answer;
  const std::uint8_t prepare[3] = {0x0A, cid, 0xF0};
  std::uint8_t status = HeaderedStatus(RawExchange(3, prepare, 24, &answer), answer, prepare);
  if (status != 0) return status;

  std::uint8_t check[4 + kRndCLength] = {0x0B, cid, 0xF2, kRndCLength};
  std::memcpy(check + 4, rndC, sizeof rndC);
  int readerTime = 0;
  const auto sent = std::chrono::steady_clock::now();
  status = RawExchange(1, check, sizeof check * 8, &answer, &readerTime);
  const auto hostTime = std::chrono::steady_clock::now() - sent;
  if (status != 0) return status;
  if (answer.bits < 24 || answer.bits % 8 != 0) return OSTREL_BAD_LENGTH;
  // A card that answers late may be answering through a relay: the reader's
  // own timer bounds the air round trip, the host's clock the whole exchange.
  if (readerTime < 0 || readerTime > OSTREL_PC_MAX_READER_TIME_US ||
      hostTime > std::chrono::milliseconds(OSTREL_PC_MAX_HOST_TIME_MS)) {
    return OSTREL_PC_TOO_LATE;
  }
  // The card answers with exactly as many random bytes as it was sent; any
  // other count would leave the 16-byte MAC input short or overrun it.
  const std::size_t n = answer.bits / 8 - 2;
  if (n != kRndCLength) return OSTREL_BAD_LENGTH;

  std::uint8_t input[16] = {0xFD, parameter};
  std::memcpy(input + 2, answer.bytes, n);
  std::memcpy(input + 2 + n, rndC, sizeof rndC);
  const std::uint8_t* macKey = keyChoice != 0 ? key : Session().kMac;
  std::uint8_t verify[3 + 8] = {0x0A, cid, 0xFD};
  ostrel::crypto::CmacTruncated(verify + 3, input, sizeof input, macKey);
  status = HeaderedStatus(RawExchange(3, verify, sizeof verify * 8, &answer), answer, verify);
  if (status != 0) return status;

  // The card proves it saw the same exchange: its MAC over the same input
  // with its status byte in place of 0xFD. Anything else is no proof.
  if (answer.bits != kVerifyAnswerLength * 8) return OSTREL_BAD_LENGTH;
  input[0] = kCardOk;
  std::uint8_t expected[8];
  ostrel::crypto::CmacTruncated(expected, input, sizeof input, macKey);
  return SameBytes(expected, answer.bytes + 3, sizeof expected) ? 0 : OSTREL_PC_BAD_MAC;
}

unsigned char PLUSSL3VCSupport(const unsigned char iid[16]) {
  if (iid == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t command[17] = {0x42};
  std::memcpy(command + 1, iid, 16);
  CardAnswer answer;
  return TclCommand(command, sizeof command, &answer);
}

unsigned char PLUSSL3VCSupportLast(const unsigned char iid[16], const unsigned char encKey[16],
                                   const unsigned char macKey[16], unsigned char uid[7],
                                   unsigned char* uidLength, unsigned char cryptogram[16]) {
  if (iid == nullptr || encKey == nullptr || macKey == nullptr || uid == nullptr ||
      uidLength == nullptr || cryptogram == nullptr) {
    return OSTREL_BAD_ARGUMENT;
  }
  PlusSession& s = Session();
  std::uint8_t rndQ[kRndQLength];
  if (!FillRandom(rndQ, sizeof rndQ)) return OSTREL_OTHER_ERROR;

  std::uint8_t command[33];
  ByteWriter cmd(command, sizeof command);
  cmd.Byte(0x4B).Bytes(iid, 16).Bytes(rndQ, sizeof rndQ).Byte(0x03).Bytes(s.pcdCap2, 3);
  CardAnswer answer;
  std::uint8_t status = TclCommand(command, cmd.length(), &answer, 17);
  if (status != 0) return status;
  const std::uint8_t* received = answer.bytes + 1;

  std::uint8_t input[32];
  ByteWriter mac(input, sizeof input);
  mac.Byte(0x90).Bytes(s.pcdCap2, 3).Bytes(received, 16).Bytes(rndQ, sizeof rndQ);
  std::uint8_t expected[8];
  ostrel::crypto::CmacTruncated(expected, input, sizeof input, macKey);
  // The answer is the cryptogram alone, or the cryptogram and a whole MAC.
  if (answer.length > 1 + 16) {
    if (answer.length < 1 + 16 + 8) return OSTREL_BAD_LENGTH;
    if (!SameBytes(expected, received + 16, 8)) return OSTREL_SUPPORT_LAST_MAC;
  }

  std::uint8_t plain[16];
  ostrel::crypto::Aes128CbcDecrypt(plain, received, 16, encKey, s.ivResponse);
  if (plain[0] == 0x83) {
    std::memcpy(uid, plain + 3, 4);
    *uidLength = 4;
  } else if (plain[0] == 0x03) {
    std::memcpy(uid, plain + 3, 7);
    *uidLength = 7;
  }
  std::memcpy(cryptogram, received, 16);
  explicit_bzero(plain, sizeof plain);
  return 0;
}

unsigned char PLUSSL3VCSelect(const unsigned char data[16], const unsigned char macKey[16]) {
  if (data == nullptr || macKey == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t input[16] = {0x40};
  std::memcpy(input + 1, data + 1, 15);
  std::uint8_t command[9] = {0x40};
  ostrel::crypto::CmacTruncatedIv(command + 1, input, sizeof input, macKey, Session().ivResponse);
  CardAnswer answer;
  return TclCommand(command, sizeof command, &answer);
}

unsigned char PLUSSL3VCDeselect(void) {
  const std::uint8_t command[1] = {0x48};
  CardAnswer answer;
  return TclCommand(command, sizeof command, &answer);
}

}  // extern "C"
