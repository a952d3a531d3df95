// A card behind a PC/SC contactless reader, shown to the Pelkin reader model as
// if it were in the model's own field. At the first card the proxy asks the
// reader what it can carry (pcsc_paths.h). A generic reader has already run the
// anticollision and, for an ISO 14443-4 card, RATS and PPS: what the model asks
// for is mapped onto a reset of the card, the reader's pseudo-APDUs (CLA FF) and
// native APDUs, and ATQ and SAK are derived from the UID size and the ATR. A
// reader with raw frames (transparent session or PN532 pass-through) shows the
// card's own ATQ and SAK, carries the raw exchange, and lets the host run RATS,
// PPS and the T=CL blocks itself on a card the reader took for a storage card.
#pragma once

#include <memory>
#include <string>

#include "card_interface.h"
#include "pcsc_paths.h"

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
  // Counts the times the link had to connect to the reader afresh (it went away
  // and came back): what the reader carries is asked again after each.
  virtual int Generation() const { return 0; }
};

class PcscCard : public pelkin::CardInterface {
 public:
  explicit PcscCard(std::unique_ptr<PcscLink> link) : link_(std::move(link)) {}

  bool Supports(pelkin::CardFeature feature) const override;
  // The paths first: ReaderGetInfo carries 60 bytes, and a long name may lose its end.
  std::string Bridge() const override {
    return "PC/SC " + DescribePaths(paths_) + "; " + link_->ReaderName();
  }
  const ReaderPaths& paths() const { return paths_; }

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
  // The proximity check measures the card's answer time, which no PC/SC reader reports.
  bool CarriesRaw(const Bytes& frame) const override;

 private:
  enum class State { kIdle, kReady, kActive, kHalted };

  // A pseudo-APDU's answer data and status word; false when nothing came back.
  bool Command(const Bytes& apdu, Bytes* data, std::uint16_t* sw);
  int CascadeLevels() const;
  void Probe();
  bool ActivateInSession(bool wakeUp);
  bool ActivateThroughChip();
  // One PN532 command in the reader's pass-through: the chip's answer after D5 xx.
  std::optional<Bytes> Chip(const Bytes& command);
  // A raw frame on the reader's raw path; the CRC is the reader's where asked.
  std::optional<pelkin::RawAnswer> Transceive(const Bytes& data, int bits, bool txCrc, bool rxCrc);
  std::optional<pelkin::RawAnswer> ChipTransceive(const Bytes& data, int bits, bool txCrc,
                                                  bool rxCrc);
  // Whole bytes with CRC both ways: the card's bytes without their CRC.
  std::optional<Bytes> Frame(const Bytes& data);
  std::optional<Bytes> HostTcl(const Bytes& command);
  std::uint8_t ChipCrypto1(const Bytes& command, Bytes* answer);
  std::uint8_t ValueApdu(std::uint8_t mode, int block, std::int32_t value, int transferBlock);
  std::uint8_t ChipValue(std::uint8_t mode, int block, std::int32_t value, int transferBlock);
  // Leaves the reader as the next client expects it: session ended, field reset.
  void EndRaw();
  void SessionControl(std::uint8_t tag);

  std::unique_ptr<PcscLink> link_;
  ReaderPaths paths_;
  bool probed_ = false;
  int generation_ = 0;
  State state_ = State::kIdle;
  bool cardLayer4_ = false;   // the reader activated the card at ISO 14443-4
  bool layer4_ = false;       // and the host has asked for it (RATS)
  bool sessionOpen_ = false;  // a transparent session is running
  bool crypto1_ = false;      // the reader's CRYPTO1 unit holds the card: no raw frames
  bool hostTcl_ = false;      // the host runs the T=CL blocks over raw frames
  Bytes chipAts_;             // the ATS of a card the PN532 activated itself
  std::optional<std::uint8_t> cid_;
  std::uint8_t blockNumber_ = 0;
  std::size_t fsc_ = 32;
  Bytes historical_;
  Bytes uid_;
  std::uint8_t atq_ = 0, sak_ = 0;
  int cascade_ = 0;
};

}  // namespace hollink
