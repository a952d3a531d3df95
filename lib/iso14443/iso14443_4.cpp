// ISO 14443-4 through the reader: RATS, PPS, deselection, the chained T=CL
// transfer and the raw timed exchange.
#include <algorithm>
#include <cstring>

#include "iso14443/tcl.h"
#include "link/frame.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace ostrel::iso {
namespace {

constexpr std::uint8_t kRawExchange = 0x90;
constexpr std::uint8_t kRats = 0x91;
constexpr std::uint8_t kPps = 0x92;
constexpr std::uint8_t kDeselect = 0x93;
constexpr std::uint8_t kTcl = 0x94;

constexpr std::uint8_t kMaxCid = 14;
constexpr std::uint8_t kMaxRate = 3;
constexpr std::uint8_t kMaxTimerExponent = 17;
constexpr std::size_t kMaxSendBits = 448;  // 56 payload bytes + 2 header bytes = one frame

// T=CL control byte.
constexpr std::uint8_t kAnswerFlag = 0x80;  // answer part / request for the next part
constexpr std::uint8_t kMoreFlag = 0x40;    // more of the command or the answer follows
constexpr std::uint8_t kSequenceMask = 0x3F;

// A reader that keeps announcing more answer without sending a byte would
// hold the call forever; one full round of sequence numbers is plenty.
constexpr std::size_t kMaxEmptyAnswerFrames = 64;

std::uint8_t NextSequence(std::uint8_t sequence) {
  return static_cast<std::uint8_t>((sequence + 1) & kSequenceMask);
}

// Exchange() reports a link failure and a reader status of 0xFF alike; a
// response holding a well-formed frame tells the second apart.
bool ReaderAnswered(const link::Response& response) {
  const std::size_t m = response.length();
  return 3 + m < link::kFrameMax && link::CheckByte(response.frame, 3 + m) == response.frame[3 + m];
}

}  // namespace

std::uint8_t TclTransfer(const std::uint8_t* command, std::size_t commandLength,
                         std::uint8_t* answer, std::size_t answerCapacity,
                         std::size_t* answerLength, bool* answerBegun) {
  if (answerBegun != nullptr) *answerBegun = false;
  if (answerLength == nullptr || (command == nullptr && commandLength > 0) ||
      (answer == nullptr && answerCapacity > 0)) {
    return OSTREL_BAD_ARGUMENT;
  }
  *answerLength = 0;

  // Sending phase: the command in chunks of one frame's data. No answer byte
  // is written here, so a shared command/answer buffer stays intact until the
  // reader starts answering, after which no command byte is read again.
  link::Response response;
  std::uint8_t sequence = 0;
  std::size_t offset = 0;
  for (;;) {
    const std::size_t remaining = commandLength - offset;
    const bool more = remaining > link::kFrameDataMax;
    const std::size_t take = more ? link::kFrameDataMax : remaining;
    const auto control = static_cast<std::uint8_t>(sequence | (more ? kMoreFlag : 0));
    const std::uint8_t status =
        link::Exchange(control, kTcl, take > 0 ? command + offset : nullptr, take, &response);
    offset += take;
    if (status != 0) return status;
    if ((response.control() & kSequenceMask) != sequence) return OSTREL_LINK_SEQUENCE;
    // The card may answer before the whole command went out; the rest is dropped.
    if ((response.control() & kAnswerFlag) != 0) break;
    if ((response.control() & kMoreFlag) == 0 || offset == commandLength) {
      return OSTREL_LINK_SEQUENCE;
    }
    sequence = NextSequence(sequence);
  }

  // Receiving phase: append each part, ask for the next while more follows.
  if (answerBegun != nullptr) *answerBegun = true;
  std::size_t emptyFrames = 0;
  for (;;) {
    const std::size_t m = response.length();
    const std::size_t fits = std::min(m, answerCapacity - *answerLength);
    if (fits > 0) std::memcpy(answer + *answerLength, response.data(), fits);
    *answerLength += fits;
    if (fits < m) return OSTREL_BUFFER_TOO_SMALL;
    if ((response.control() & kMoreFlag) == 0) return OSTREL_OK;
    emptyFrames = m == 0 ? emptyFrames + 1 : 0;
    if (emptyFrames >= kMaxEmptyAnswerFrames) return OSTREL_LINK_SEQUENCE;

    sequence = NextSequence(sequence);
    const auto control = static_cast<std::uint8_t>(kAnswerFlag | sequence);
    const std::uint8_t status = link::Exchange(control, kTcl, nullptr, 0, &response);
    if (status != 0) return status;
    if ((response.control() & ~kMoreFlag & 0xFF) != control) return OSTREL_LINK_SEQUENCE;
  }
}

std::uint8_t RawExchange(std::uint8_t options, std::uint8_t timerExponent, const std::uint8_t* send,
                         std::size_t sendBits, std::uint8_t* recv, std::size_t recvCapacity,
                         std::size_t* recvBits, int* elapsed) {
  if (timerExponent > kMaxTimerExponent || sendBits > kMaxSendBits) return OSTREL_BAD_ARGUMENT;
  if ((send == nullptr && sendBits > 0) || (recv == nullptr && recvCapacity > 0) ||
      recvBits == nullptr || elapsed == nullptr) {
    return OSTREL_BAD_ARGUMENT;
  }

  const std::size_t lastBits = sendBits % 8;
  const std::size_t payload = sendBits / 8 + (lastBits != 0 ? 1 : 0);
  std::uint8_t data[2 + kMaxSendBits / 8];
  data[0] = static_cast<std::uint8_t>(lastBits | ((options & 0x03u) << 6));
  data[1] = timerExponent;
  if (payload > 0) std::memcpy(data + 2, send, payload);

  link::Response response;
  const std::uint8_t status = link::Exchange(0x00, kRawExchange, data, 2 + payload, &response);
  if (status == link::kNoResponse && !ReaderAnswered(response)) return link::kNoResponse;
  const std::size_t m = response.length();
  if (m < 2) return link::kNoResponse;

  const std::uint8_t* answerData = response.data();
  // Up to 255 x 2^17 x 10000: beyond 32 bits before the division.
  const std::uint64_t ticks = static_cast<std::uint64_t>(answerData[1]) << timerExponent;
  *elapsed = static_cast<int>(ticks * 10000u / 8475u);

  if (m == 2) {
    *recvBits = 0;
    return status;
  }
  const std::size_t bytes = m - 2;
  if (bytes > recvCapacity) {
    if (recvCapacity > 0) std::memcpy(recv, answerData + 2, recvCapacity);
    *recvBits = recvCapacity * 8;
    return OSTREL_BUFFER_TOO_SMALL;
  }
  std::memcpy(recv, answerData + 2, bytes);
  const std::size_t validBits = answerData[0] & 0x07u;
  *recvBits = validBits != 0 ? (bytes - 1) * 8 + validBits : bytes * 8;
  return status;
}

}  // namespace ostrel::iso

namespace {
// A raw answer fills at most one frame's data less its two header bytes.
constexpr std::size_t kRecvDataMax = ostrel::link::kFrameDataMax - 2;
}  // namespace

extern "C" {

unsigned char PiccRATS(unsigned char cid, unsigned char* ats) {
  using namespace ostrel;
  if (cid > iso::kMaxCid || ats == nullptr) return OSTREL_BAD_ARGUMENT;
  link::Response response;
  const std::uint8_t status = link::Exchange(0x00, iso::kRats, &cid, 1, &response);
  if (status != 0) return status;
  // The ATS starts with its own length TL; it must agree with the frame's.
  // An empty answer has no TL at all (byte 3 would be the check byte).
  const std::uint8_t m = response.length();
  if (m == 0 || response.data()[0] != m) return OSTREL_BAD_LENGTH;
  std::memcpy(ats, response.data(), m);
  return OSTREL_OK;
}

unsigned char PiccPPS(unsigned char dsi, unsigned char dri) {
  using namespace ostrel;
  if (dsi > iso::kMaxRate || dri > iso::kMaxRate) return OSTREL_BAD_ARGUMENT;
  // The reader takes the default rates from an empty frame; only 0/0 is ever asked for.
  return link::Command(iso::kPps, nullptr, 0);
}

unsigned char PiccDeSelect(void) {
  ostrel::mfplus::EndSession();  // the card drops its session with layer 4
  return ostrel::link::Command(ostrel::iso::kDeselect, nullptr, 0);
}

unsigned char PiccTPCLEx(const unsigned char* command, unsigned short commandLength,
                         unsigned char* answer, unsigned short answerCapacity,
                         unsigned short* answerLength) {
  // Arguments first: after traffic the reader's own status may be 0xF2 too,
  // and the length of what was appended must then still be reported.
  if (answerLength == nullptr || (command == nullptr && commandLength > 0) ||
      (answer == nullptr && answerCapacity > 0)) {
    return OSTREL_BAD_ARGUMENT;
  }
  std::size_t length = 0;
  const std::uint8_t status =
      ostrel::iso::TclTransfer(command, commandLength, answer, answerCapacity, &length);
  *answerLength = static_cast<unsigned short>(length);
  return status;
}

unsigned char PiccTPCL(const unsigned char* command, unsigned short commandLength,
                       unsigned char* answer, unsigned short* answerLength) {
  return PiccTPCLEx(command, commandLength, answer, OSTREL_TPCL_MAX_ANSWER, answerLength);
}

unsigned char PiccExChangBlock(unsigned char options, unsigned char timerExponent,
                               const unsigned char* sendData, unsigned short sendBits,
                               unsigned char* recvData, unsigned short* recvBits, int* elapsed) {
  if (recvData == nullptr || recvBits == nullptr || elapsed == nullptr) {
    return OSTREL_BAD_ARGUMENT;
  }
  // Start from the caller's values so that outputs the exchange leaves
  // unwritten stay as they were.
  std::size_t bits = *recvBits;
  const std::uint8_t status = ostrel::iso::RawExchange(options, timerExponent, sendData, sendBits,
                                                       recvData, kRecvDataMax, &bits, elapsed);
  *recvBits = static_cast<unsigned short>(bits);
  return status;
}

}  // extern "C"
