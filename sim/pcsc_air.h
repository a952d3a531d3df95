// The card as a contactless reader's front end meets it on the air: whole
// ISO 14443-3 Type A frames (CRC_A where the standard puts one) in and out,
// mapped onto the card model's own commands, and the card's side of the
// ISO 14443-4 block protocol. The PC/SC reader kinds that pass raw frames
// through (transparent session, PN532 pass-through) send their frames here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "card_interface.h"

namespace pelkin {

// CRC_A of ISO/IEC 14443-3 (initial value 6363, sent low byte first).
std::uint16_t CrcA(const std::uint8_t* data, std::size_t size);
// The frame with its CRC_A appended.
Bytes WithCrcA(Bytes frame);
// True when the last two bytes are the CRC_A of the bytes before them.
bool CrcAValid(const Bytes& frame);

// A frame as it travels: `bits` valid bits (the last byte may be partial).
struct AirFrame {
  Bytes bytes;
  int bits = 0;
};

class AirInterface {
 public:
  explicit AirInterface(CardInterface* card) : card_(card) {}

  // One frame from the reader as it goes on the air (CRC included where one is
  // sent); nullopt when the card stays silent (a halt, a broken frame, a frame
  // the card does not take in its state).
  std::optional<AirFrame> Transceive(const Bytes& frame, int bits);

  // The field went off and on: the card's air state starts over.
  void Reset();
  // The reader activated the card itself: it is selected with this UID and SAK,
  // and with `layer4` also past RATS (CID 0, FSD 256).
  void Activated(const Bytes& uid, std::uint8_t sak, bool layer4);

  bool layer4() const { return layer4_; }
  // Set by a completed select: the UID and the final SAK of this activation.
  const Bytes& uid() const { return uid_; }
  std::optional<std::uint8_t> sak() const { return sak_; }

 private:
  std::optional<AirFrame> Block(const Bytes& payload);
  std::optional<AirFrame> CardRaw(const Bytes& payload, int bits);
  AirFrame SendBlock(std::uint8_t pcb, const Bytes& inf);
  AirFrame NextAnswerBlock(std::uint8_t blockNumber);

  CardInterface* card_;
  Bytes gathered_;  // UID bytes of the completed cascade levels
  Bytes uid_;
  std::optional<std::uint8_t> sak_;

  // ISO 14443-4, the card's side.
  bool layer4_ = false;
  std::uint8_t cid_ = 0;
  std::size_t fsd_ = 256;
  bool ppsAllowed_ = false;
  bool blocksSeen_ = false;  // an I-block since RATS: R-blocks now mean the block protocol
  Bytes command_;            // chained command parts
  Bytes answer_;             // the card's answer still to send in chained blocks
  std::size_t answerOffset_ = 0;
  AirFrame lastBlock_;  // for a retransmission the reader asks for
};

}  // namespace pelkin
