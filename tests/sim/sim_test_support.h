// Drives the simulated reader with raw request frames, as the host library would.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "card.h"
#include "reader.h"

namespace pelkin::test {

struct Answer {
  std::uint8_t control = 0;
  std::uint8_t status = 0xFF;
  Bytes data;
};

class Bench {
 public:
  explicit Bench(const Variant& variant = {}, std::uint64_t seed = 7);
  explicit Bench(CardImage image, std::uint64_t seed = 7);
  // The reader model in front of another card (a proxy).
  explicit Bench(std::unique_ptr<CardInterface> card);

  // One request frame with a correct check byte; the answer frame parsed.
  Answer Send(std::uint8_t command, const Bytes& data = {}, std::uint8_t control = 0);
  // Request, anticollision and select over every cascade level; the final SAK.
  std::uint8_t Activate(Bytes* uid = nullptr);
  // Activate and RATS with CID 10.
  void ActivateLayer4();
  // A whole card command through the T=CL link; the card's whole answer.
  Bytes Tcl(const Bytes& command);
  // A raw exchange of whole bytes (or `bits` bits); the answer bytes and bit count.
  Bytes RawBytes(const Bytes& payload, int* bits, int sendBits = -1);

  Reader& reader() { return reader_; }
  Card& card() { return reader_.card(); }

 private:
  Reader reader_;
};

// A factory card personalized and committed to `level` (card keys all FF).
CardImage CardAtLevel(const Variant& variant, int level, std::uint64_t seed = 3);

// The host half of a Level 3 session, written from the protocol description so
// the card is checked against an independent implementation.
struct HostSession {
  Block kEnc{}, kMac{};
  std::uint8_t ti[4]{};
  std::uint16_t readCounter = 0, writeCounter = 0;
  Bytes readMac;

  // First Authenticate; returns the card's status of the failing step or 0x90.
  std::uint8_t FirstAuth(Bench& bench, std::uint16_t address, const Block& key, const Block& rndA);
  Block IvCommand() const;
  Block IvResponse() const;
  // A command with its MAC appended: code, counter, TI, rest of the command.
  Bytes WithMac(const Bytes& command, std::uint16_t counter) const;
  // Read with any code; fills `data` (decrypted) and checks the answer MAC.
  std::uint8_t Read(Bench& bench, std::uint8_t code, std::uint16_t block, int count, Bytes* data);
  std::uint8_t Write(Bench& bench, std::uint8_t code, std::uint16_t block, const Bytes& data);
};

Block Filled(std::uint8_t value);

}  // namespace pelkin::test
