// The simulated card as a PC/SC Part 3 contactless reader shows it to a host:
// an ATR made from the activation, the reader's own pseudo-APDUs (CLA FF) for
// the UID and the CRYPTO1 block commands, and every other APDU handed to the
// card's T=CL layer as it stands. This is what pelkin-sim answers to vpcd.
#pragma once

#include <array>
#include <cstdint>

#include "card_interface.h"

namespace pelkin {

class VirtualPcscCard {
 public:
  explicit VirtualPcscCard(CardInterface* card) : card_(card) {}

  // Field on (or off and on again) and the reader's activation of the card.
  void PowerOn();
  void PowerOff();
  // Empty while the field is off or no card answered.
  const Bytes& Atr() const { return atr_; }
  // One APDU; the answer always holds at least one byte (a status word for the
  // reader's own commands, the card's answer for native ones).
  Bytes Transmit(const Bytes& apdu);

 private:
  Bytes ReaderCommand(const Bytes& apdu);

  CardInterface* card_;
  Bytes atr_;
  Bytes uid_;
  Bytes historical_;
  bool layer4_ = false;
  // Volatile key slots of FF 82 (CRYPTO1 keys, 6 bytes).
  std::array<std::array<std::uint8_t, 6>, 2> keys_{};
  std::array<bool, 2> keyLoaded_{};
};

}  // namespace pelkin
