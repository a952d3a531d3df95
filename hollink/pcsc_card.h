// A card behind a PC/SC contactless reader, shown to the Pelkin reader model as
// if it were in the model's own field. The PC/SC reader has already run the
// anticollision and, for an ISO 14443-4 card, RATS and PPS; what the model asks
// for is mapped onto a reset of the card, the reader's pseudo-APDUs (CLA FF) and
// native APDUs. ATQ and SAK are not visible through PC/SC: they are derived from
// the UID size and the ATR (card name or ISO 14443-4 form).
#pragma once

#include <memory>
#include <string>

#include "card_interface.h"

namespace hollink {

using pelkin::Bytes;

// The PC/SC side of one reader: connection, card reset and APDU transfer.
class PcscLink {
 public:
  virtual ~PcscLink() = default;
  // Connects exclusively if need be, then resets the card so it starts without a
  // session. 0 with the card's ATR, otherwise a PC/SC error code.
  virtual long ResetCard(Bytes* atr) = 0;
  // One APDU and its whole answer. 0 or a PC/SC error code.
  virtual long Transmit(const Bytes& apdu, Bytes* answer) = 0;
  virtual std::string ReaderName() const = 0;
};

class PcscCard : public pelkin::CardInterface {
 public:
  explicit PcscCard(std::unique_ptr<PcscLink> link) : link_(std::move(link)) {}

  bool Supports(pelkin::CardFeature feature) const override;
  std::string Bridge() const override { return "PC/SC " + link_->ReaderName(); }

  std::optional<std::array<std::uint8_t, 2>> Request(bool wakeUp) override;
  std::optional<std::array<std::uint8_t, 4>> Anticollision(std::uint8_t selectCode) override;
  std::optional<std::uint8_t> Select(std::uint8_t selectCode, const std::uint8_t part[4]) override;
  void Halt() override;
  void PowerCycle() override;

  std::uint8_t AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) override;
  std::uint8_t ReadBlock(int block, std::uint8_t out[16]) override;
  std::uint8_t WriteBlock(int block, const std::uint8_t data[16]) override;
  std::uint8_t Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) override;

  std::optional<Bytes> Rats(std::uint8_t cid) override;
  bool Pps() override;
  bool Deselect() override;
  std::optional<Bytes> Exchange(const Bytes& command) override;
  std::optional<pelkin::RawAnswer> RawExchange(const Bytes& data, int bits) override;

 private:
  enum class State { kIdle, kReady, kActive, kHalted };

  // A pseudo-APDU's answer data and status word; false when nothing came back.
  bool Command(const Bytes& apdu, Bytes* data, std::uint16_t* sw);
  int CascadeLevels() const;

  std::unique_ptr<PcscLink> link_;
  State state_ = State::kIdle;
  bool cardLayer4_ = false;  // the card in the reader speaks ISO 14443-4
  bool layer4_ = false;      // and the host has asked for it (RATS)
  Bytes historical_;
  Bytes uid_;
  std::uint8_t atq_ = 0, sak_ = 0;
  int cascade_ = 0;
};

}  // namespace hollink
