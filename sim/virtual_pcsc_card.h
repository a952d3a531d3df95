// The simulated card as a PC/SC contactless reader shows it to a host: an ATR
// made from the activation, the reader's own pseudo-APDUs (CLA FF) for the UID
// and the CRYPTO1 block commands, and every other APDU handed to the card's T=CL
// layer as it stands. Each kind of reader adds what such readers carry: the
// transparent session of the PC/SC contactless extensions with the storage-card
// value commands, or the pass-through to a PN532 chip. This is what pelkin-sim
// answers to vpcd.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "card_interface.h"
#include "pcsc_air.h"

namespace pelkin {

enum class PcscReaderKind {
  kGeneric,  // UID, CRYPTO1 block commands, T=CL
  kPart3,    // + transparent session (FF C2) and value commands (FF D7, FF B1)
  kPn532,    // + PN532 pass-through (FF 00 00 00) and firmware query (FF 00 48), value commands
};
// "generic", "part3", "pn532".
bool ParsePcscReaderKind(const std::string& text, PcscReaderKind* kind);
const char* PcscReaderKindName(PcscReaderKind kind);

class VirtualPcscCard {
 public:
  explicit VirtualPcscCard(CardInterface* card, PcscReaderKind kind = PcscReaderKind::kGeneric)
      : card_(card), kind_(kind), air_(card) {}

  // Field on (or off and on again) and the reader's activation of the card.
  void PowerOn();
  void PowerOff();
  // Empty while the field is off or no card answered.
  const Bytes& Atr() const { return atr_; }
  // One APDU; the answer always holds at least one byte (a status word for the
  // reader's own commands, the card's answer for native ones).
  Bytes Transmit(const Bytes& apdu);

  PcscReaderKind kind() const { return kind_; }

 private:
  // The reader's own activation: wake-up, anticollision and select at every
  // cascade level, then RATS when `layer4` and the SAK offers ISO 14443-4.
  // Sets the ATR; the final SAK, nullopt when no card answered (or RATS failed).
  std::optional<std::uint8_t> Activate(bool layer4);
  Bytes ReaderCommand(const Bytes& apdu);
  Bytes ValueCommand(const Bytes& apdu);

  // Transparent session (pcsc_transparent_session.cpp).
  Bytes TransparentCommand(const Bytes& apdu);
  Bytes ManageSession(const Bytes& objects);
  Bytes TransparentExchange(const Bytes& objects);
  Bytes SwitchProtocol(const Bytes& objects);
  // One frame through the front end with the session's flags; false: no answer.
  bool ExchangeFrame(const Bytes& data, int lastBits, Bytes* objects);

  // PN532 pass-through (pcsc_pn532.cpp).
  Bytes Pn532Escape(const Bytes& apdu);
  Bytes Pn532Command(const Bytes& command);
  Bytes InListPassiveTarget(const Bytes& command);
  Bytes InCommunicateThru(const Bytes& data);
  Bytes InDataExchange(const Bytes& data);
  Bytes ClassicDataExchange(const Bytes& data);
  std::uint8_t Register(std::uint16_t address) const;

  CardInterface* card_;
  PcscReaderKind kind_;
  AirInterface air_;
  Bytes atr_;
  Bytes uid_;
  Bytes historical_;
  std::array<std::uint8_t, 2> atq_{};
  bool layer4_ = false;
  // Volatile key slots of FF 82 (CRYPTO1 keys, 6 bytes).
  std::array<std::array<std::uint8_t, 6>, 2> keys_{};
  std::array<bool, 2> keyLoaded_{};

  // Transparent session.
  bool session_ = false;
  bool fieldOn_ = true;
  std::uint16_t exchangeFlags_ = 0;
  std::uint32_t timerUs_ = 0;
  std::optional<Bytes> received_;  // the answer objects of a transmit, until a receive
  Bytes ats_;                      // of the reader's own RATS

  // PN532: registers written by the host, the listed target, a pending MIFARE
  // value operation waiting for its transfer.
  std::map<std::uint16_t, std::uint8_t> registers_;
  bool targetListed_ = false;
  bool targetLayer4_ = false;
  struct PendingValue {
    std::uint8_t mode = 0;
    int block = 0;
    std::int32_t value = 0;
  };
  std::optional<PendingValue> pendingValue_;
};

}  // namespace pelkin
