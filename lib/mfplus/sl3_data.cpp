// Level 3 reads, writes and value commands with secure messaging: command
// MAC, optional answer MAC, optional encryption, all keyed by the session.
#include "mfplus/sl3_data.h"

#include <cstring>

#include "link/trace.h"
#include "mfplus/card_io.h"
#include "mfplus/crypto.h"
#include "mfplus/session.h"

namespace ostrel::mfplus {
namespace {

constexpr std::size_t kMacLength = 8;
constexpr std::size_t kBlockLength = 16;
constexpr std::size_t kMaxWriteBlocks = 3;
constexpr std::uint8_t kCardOk = 0x90;

bool AnswerMacWanted(std::uint8_t code) {
  return (code & 0x01) != 0;
}
bool PlainData(std::uint8_t code) {
  return (code & 0x02) != 0;
}

// code, counter, TI: the head of every command MAC input.
ByteWriter& MacHead(ByteWriter& w, std::uint8_t code, std::uint16_t counter) {
  return w.Byte(code).U16(counter).Bytes(Session().ti, 4);
}

void SessionMac(std::uint8_t mac[kMacLength], const std::uint8_t* input, std::size_t length) {
  crypto::CmacTruncated(mac, input, length, Session().kMac);
}

// The value operand before encryption: V little-endian, 0x80, zeros.
void EncryptedOperand(std::uint8_t out[16], std::int32_t value) {
  std::uint8_t operand[16] = {};
  auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) operand[i] = static_cast<std::uint8_t>(v >> (8 * i));
  operand[4] = 0x80;
  crypto::Aes128CbcEncrypt(out, operand, 16, Session().kEnc, Session().ivCommand);
}

// Sends a write-type command and keeps the session in step with the card:
// the write counter advances on every accepted command, and the answer MAC
// is checked when the code asks for one.
std::uint8_t WriteTypeExchange(const std::uint8_t* command, std::size_t length, std::uint8_t code) {
  CardAnswer answer;
  std::uint8_t status = TclCommand(command, length, &answer);
  if (status != 0) return status;
  PlusSession& s = Session();
  ++s.writeCounter;
  UpdateSessionIvs();
  if (!AnswerMacWanted(code)) return 0;
  if (answer.length < 1 + kMacLength) return OSTREL_BAD_LENGTH;
  return VerifyResponseMac(answer.bytes + 1);
}

std::uint8_t ValueCommand(std::uint8_t code, const std::uint16_t* blocks, int blockCount,
                          std::int32_t value) {
  std::uint8_t encrypted[16];
  EncryptedOperand(encrypted, value);
  std::uint8_t input[32];
  ByteWriter mac(input, sizeof input);
  MacHead(mac, code, Session().writeCounter);
  std::uint8_t command[40];
  ByteWriter cmd(command, sizeof command);
  cmd.Byte(code);
  for (int i = 0; i < blockCount; ++i) {
    mac.U16(blocks[i]);
    cmd.U16(blocks[i]);
  }
  mac.Bytes(encrypted, 16);
  cmd.Bytes(encrypted, 16);
  SessionMac(command + cmd.length(), input, mac.length());
  return WriteTypeExchange(command, cmd.length() + kMacLength, code);
}

}  // namespace

std::uint8_t VerifyResponseMac(const std::uint8_t answerMac[8]) {
  std::uint8_t input[7];
  ByteWriter w(input, sizeof input);
  w.Byte(0x90).U16(Session().writeCounter).Bytes(Session().ti, 4);
  std::uint8_t expected[kMacLength];
  SessionMac(expected, input, sizeof input);
  return SameBytes(expected, answerMac, kMacLength) ? 0 : kInvalidMac;
}

void BuildCommandMac(std::uint8_t mac[8], std::uint8_t code, std::uint16_t block) {
  std::uint8_t input[9];
  ByteWriter w(input, sizeof input);
  MacHead(w, code, Session().writeCounter).U16(block);
  SessionMac(mac, input, sizeof input);
}

std::uint8_t ReadBlocks(std::uint8_t code, std::uint16_t block, std::uint8_t count,
                        std::uint8_t* out) {
  if (count > OSTREL_SL3_MAX_READ_BLOCKS || (count != 0 && out == nullptr)) {
    return OSTREL_BAD_ARGUMENT;
  }
  if (code < 0x30 || code > 0x37) code = 0x33;
  PlusSession& s = Session();
  const std::size_t dataLength = kBlockLength * count;
  // Header of a fresh MAC input (0x90, counter, TI), then block, count, data.
  const std::size_t macInputGrowth = (s.readMacLength == 0 ? 7 : 0) + 3 + dataLength;
  if (s.readMacLength + macInputGrowth > sizeof s.readMacBuffer) return OSTREL_BUFFER_OVERFLOW;

  // A card that took a MACed read has emptied its MAC input, whatever came
  // back to us; an input kept here would fail every later MACed read. Only a
  // card that refused the read keeps its input.
  const bool macWanted = AnswerMacWanted(code);
  CardAnswer answer;
  std::uint8_t status = 0;
  // The reader cannot hand over a lost part of a chained answer again. A card
  // whose answer began with success counted the read, and a read changes
  // nothing on the card: once in step with its counter, ask again. Only a
  // read with an answer MAC: after one without, the card's MAC input holds
  // the lost answer, which no repeat gives back.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::uint8_t command[4 + kMacLength];
    ByteWriter cmd(command, sizeof command);
    cmd.Byte(code).U16(block).Byte(count);
    std::size_t commandLength = cmd.length();
    if ((code & 0x04) == 0) {
      std::uint8_t input[10];
      ByteWriter mac(input, sizeof input);
      MacHead(mac, code, s.readCounter).U16(block).Byte(count);
      SessionMac(command + commandLength, input, sizeof input);
      commandLength += kMacLength;
    }
    bool begun = false;
    status = TclCommand(command, commandLength, &answer, 1, &begun);
    if (status == 0) break;
    const bool cardRefused = status >= 0xB0 && status <= 0xBF;
    if (macWanted && !cardRefused) s.readMacLength = 0;
    const bool cardAnswered = begun && answer.length > 0 && answer.bytes[0] == kCardOk &&
                              (status == OSTREL_LINK_SEQUENCE || status == OSTREL_NO_RESPONSE);
    if (!cardAnswered) return status;
    ++s.readCounter;
    UpdateSessionIvs();
    if (!macWanted || attempt == 1) return status;
  }
  // The card answered 0x90, so it counted the read: stay in step with it.
  ++s.readCounter;
  UpdateSessionIvs();
  if (answer.length < 1 + dataLength + (macWanted ? kMacLength : 0)) {
    if (macWanted) s.readMacLength = 0;
    return OSTREL_BAD_LENGTH;
  }
  const std::uint8_t* data = answer.bytes + 1;

  std::uint8_t* buffer = s.readMacBuffer;
  if (s.readMacLength == 0) {
    buffer[0] = 0x90;
    std::memcpy(buffer + 3, s.ti, 4);
    s.readMacLength = 7;
  }
  buffer[1] = static_cast<std::uint8_t>(s.readCounter);
  buffer[2] = static_cast<std::uint8_t>(s.readCounter >> 8);
  ByteWriter append(buffer + s.readMacLength, sizeof s.readMacBuffer - s.readMacLength);
  append.U16(block).Byte(count).Bytes(data, dataLength);
  s.readMacLength = static_cast<std::uint16_t>(s.readMacLength + append.length());

  if (macWanted) {
    std::uint8_t expected[kMacLength];
    SessionMac(expected, buffer, s.readMacLength);
    s.readMacLength = 0;
    if (!SameBytes(expected, data + dataLength, kMacLength)) return kInvalidMac;
  }
  if (PlainData(code)) {
    if (dataLength != 0) std::memcpy(out, data, dataLength);
  } else {
    crypto::CbcDecrypt(out, data, dataLength, s.kEnc, s.ivResponse);
  }
  return 0;
}

std::uint8_t WriteBlocks(std::uint8_t code, std::uint16_t block, std::uint8_t count,
                         const std::uint8_t* data) {
  if (count > kMaxWriteBlocks || (count != 0 && data == nullptr)) return OSTREL_BAD_ARGUMENT;
  PlusSession& s = Session();
  s.readMacLength = 0;
  if (code < 0xA0 || code > 0xA3) code = 0xA3;
  const std::size_t dataLength = kBlockLength * count;

  std::uint8_t payload[kBlockLength * kMaxWriteBlocks];
  link::trace::SecretBytes keys;
  if (PlainData(code)) {
    for (std::size_t i = 0; i < count; ++i) {
      keys.AddIfKeyAddress(static_cast<std::uint16_t>(block + i), data + kBlockLength * i);
      // A trailer written in plain carries the Classic keys of Levels 1 and 2.
      keys.AddIfSectorTrailer(static_cast<std::uint32_t>(block + i), data + kBlockLength * i);
    }
    if (dataLength != 0) std::memcpy(payload, data, dataLength);
  } else {
    crypto::Aes128CbcEncrypt(payload, data, static_cast<std::uint8_t>(dataLength), s.kEnc,
                             s.ivCommand);
  }
  std::uint8_t input[9 + sizeof payload];
  ByteWriter mac(input, sizeof input);
  MacHead(mac, code, s.writeCounter).U16(block).Bytes(payload, dataLength);

  std::uint8_t command[3 + sizeof payload + kMacLength];
  ByteWriter cmd(command, sizeof command);
  cmd.Byte(code).U16(block).Bytes(payload, dataLength);
  SessionMac(command + cmd.length(), input, mac.length());
  return WriteTypeExchange(command, cmd.length() + kMacLength, code);
}

std::uint8_t PlainCommand(std::uint8_t code, std::uint16_t block) {
  std::uint8_t command[3 + kMacLength];
  ByteWriter cmd(command, sizeof command);
  cmd.Byte(code).U16(block);
  BuildCommandMac(command + cmd.length(), code, block);
  return WriteTypeExchange(command, sizeof command, code);
}

std::uint8_t ValueOperation(std::uint8_t code, std::uint16_t block, std::int32_t value) {
  if (code < 0xB0 || code > 0xB3) return OSTREL_BAD_CODE;
  return ValueCommand(code, &block, 1, value);
}

std::uint8_t ValueOperationTransfer(std::uint8_t code, std::uint16_t source,
                                    std::uint16_t destination, std::int32_t value) {
  if (code < 0xB6 || code > 0xB9) return OSTREL_BAD_CODE;
  const std::uint16_t blocks[2] = {source, destination};
  return ValueCommand(code, blocks, 2, value);
}

}  // namespace ostrel::mfplus

using namespace ostrel::mfplus;

extern "C" {

unsigned char PLUSSL3Read(unsigned char code, unsigned short block, unsigned char count,
                          unsigned char* data) {
  return ReadBlocks(code, block, count, data);
}

unsigned char PLUSSL3Write(unsigned char code, unsigned short block, unsigned char count,
                           const unsigned char* data) {
  return WriteBlocks(code, block, count, data);
}

unsigned char PLUSSL3ReadValue(unsigned char code, unsigned short block, int* value) {
  if (value == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t buffer[16];
  std::uint8_t status = ReadBlocks(code, block, 1, buffer);
  if (status != 0) return status;
  std::int32_t parsed = 0;
  if (!ParseValueBlock(buffer, &parsed)) return kNotValueBlock;
  *value = parsed;
  return 0;
}

unsigned char PLUSSL3WriteValue(unsigned char code, unsigned short block, int value) {
  std::uint8_t buffer[16];
  BuildValueBlock(buffer, static_cast<std::uint8_t>(block), value);
  return WriteBlocks(code, block, 1, buffer);
}

unsigned char PLUSSL3ValueOperation(unsigned char code, unsigned short block, int value) {
  return ValueOperation(code, block, value);
}

unsigned char PLUSSL3Transfer(unsigned char code, unsigned short block) {
  if (code != 0xB4 && code != 0xB5) return OSTREL_BAD_CODE;
  return PlainCommand(code, block);
}

unsigned char PLUSSL3Restore(unsigned char code, unsigned short block) {
  if (code != 0xC2 && code != 0xC3) return OSTREL_BAD_CODE;
  return PlainCommand(code, block);
}

unsigned char PLUSSL3ValueOperTran(unsigned char code, unsigned short sourceBlock,
                                   unsigned short destinationBlock, int value) {
  return ValueOperationTransfer(code, sourceBlock, destinationBlock, value);
}

}  // extern "C"
