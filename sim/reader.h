// The Pelkin reader's firmware: parses request frames, drives the card in its
// field and answers with response frames.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "card.h"
#include "rng.h"
#include "simulator.h"

namespace pelkin {

constexpr std::size_t kEepromSize = 256;
using Eeprom = std::array<std::uint8_t, kEepromSize>;

// Reader status bytes of the link itself.
constexpr std::uint8_t kStBadFrame = 0x1F;  // check byte or length wrong
constexpr std::uint8_t kStUnknownCommand = 0x17;
constexpr std::uint8_t kStBadLength = 0x83;   // request data of the wrong size
constexpr std::uint8_t kStSequence = 0x84;    // T=CL link sequence or flags
constexpr std::uint8_t kStBadAddress = 0x6E;  // EEPROM range
constexpr std::uint8_t kStAtsError = 0x7D;
constexpr std::uint8_t kStPpsError = 0x7E;

// A response frame: control, status, length, data, check byte.
Bytes ResponseFrame(std::uint8_t control, std::uint8_t status, const Bytes& data = {});
std::uint8_t CheckByte(const std::uint8_t* bytes, std::size_t count);

class Reader : public Simulator {
 public:
  // `persist` is called with the card and EEPROM after every change (may be empty).
  using Persist = std::function<bool(const CardImage&, const Eeprom&, std::string*)>;

  Reader(CardImage card, const Eeprom& eeprom, std::optional<std::uint64_t> seed, Persist persist);
  // The same firmware in front of another card (a proxy); its EEPROM lives in memory only.
  Reader(std::unique_ptr<CardInterface> card, const Eeprom& eeprom);

  Reply Handle(const std::uint8_t* frame, std::size_t length) override;
  bool Save(std::string* error) override;

  // The simulated card (only for a reader made with a CardImage).
  Card& card() { return *simCard_; }
  // Saves the card and the EEPROM when they changed since the last save. False
  // when that failed: both are then back as the file holds them.
  bool PersistChanges();
  const Eeprom& eeprom() const { return eeprom_; }

 private:
  Bytes Dispatch(std::uint8_t command, const Bytes& data, std::uint8_t control);
  Bytes Tcl(std::uint8_t control, const Bytes& data);
  Bytes Raw(const Bytes& data);

  Rng rng_;
  std::unique_ptr<CardInterface> ownedCard_;
  Card* simCard_ = nullptr;  // the simulated card, which has an image to keep
  CardInterface& card_;
  Eeprom eeprom_;
  bool eepromChanged_ = false;
  Persist persist_;
  CardImage savedCard_;  // as the state file holds them
  Eeprom savedEeprom_{};

  // T=CL link between host and reader.
  Bytes tclCommand_;
  bool tclReceiving_ = false;
  Bytes tclAnswer_;
  std::size_t tclOffset_ = 0;
  bool tclAnswering_ = false;
  std::uint8_t tclNextSequence_ = 0;

  // Keys loaded into the reader (ReaderLoadKey), by key set and index.
  std::array<std::array<std::array<std::uint8_t, 6>, 64>, 2> loadedKeys_{};
  std::uint8_t controlBits_ = 0;
};

// The simulated reader and card of `options` without the fault layer; nullptr
// with a message when the state file is unusable.
std::unique_ptr<Reader> CreateReader(const SimOptions& options, std::string* error);

}  // namespace pelkin
