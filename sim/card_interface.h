// What the reader firmware model asks of the card in its field: the simulated
// MIFARE Plus card, or a proxy for a card behind another reader (PC/SC).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelkin {

using Bytes = std::vector<std::uint8_t>;

// A raw exchange answer: `bits` valid bits in `bytes` (4 for an acknowledgement).
struct RawAnswer {
  Bytes bytes;
  int bits = 0;
};

// Reader commands that need more than the ISO 14443-3 and CRYPTO1 block commands.
enum class CardFeature {
  kLayer4,       // RATS, PPS and the T=CL transfer with the card now in the field
  kValue,        // CRYPTO1 value commands
  kRawExchange,  // raw bit frames with the reader's timer
};

class CardInterface {
 public:
  virtual ~CardInterface() = default;

  // Whether the reader can reach the card with `feature` at all (not whether the
  // card would accept it); the reader answers "unknown command" when it cannot.
  virtual bool Supports(CardFeature feature) const = 0;
  // Whether this raw frame can be carried with its meaning intact (a frame whose
  // answer time matters cannot cross another reader); the reader answers
  // "unknown command" when not.
  virtual bool CarriesRaw(const Bytes& frame) const {
    (void)frame;
    return true;
  }
  // Names what stands between the reader model and the card; empty for the simulated card.
  virtual std::string Bridge() const { return {}; }

  // ---- ISO 14443-3 Type A. nullopt: the card stays silent.
  virtual std::optional<std::array<std::uint8_t, 2>> Request(bool wakeUp) = 0;
  virtual std::optional<std::array<std::uint8_t, 4>> Anticollision(std::uint8_t selectCode) = 0;
  virtual std::optional<std::uint8_t> Select(std::uint8_t selectCode,
                                             const std::uint8_t part[4]) = 0;
  virtual void Halt() = 0;
  // The field goes off and on.
  virtual void PowerCycle() = 0;

  // ---- CRYPTO1 sector commands; results are reader status bytes.
  virtual std::uint8_t AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) = 0;
  virtual std::uint8_t ReadBlock(int block, std::uint8_t out[16]) = 0;
  virtual std::uint8_t WriteBlock(int block, const std::uint8_t data[16]) = 0;
  // mode 0xC0 decrement, 0xC1 increment, 0xC2 restore; the result goes to transferBlock.
  virtual std::uint8_t Value(std::uint8_t mode, int block, std::int32_t value,
                             int transferBlock) = 0;

  // ---- ISO 14443-4.
  virtual std::optional<Bytes> Rats(std::uint8_t cid) = 0;
  virtual bool Pps() = 0;
  virtual bool Deselect() = 0;
  // One whole card command through the T=CL layer; nullopt: the card did not answer.
  virtual std::optional<Bytes> Exchange(const Bytes& command) = 0;
  // One raw frame of `bits` bits; nullopt: the card stays silent.
  virtual std::optional<RawAnswer> RawExchange(const Bytes& data, int bits) = 0;
};

}  // namespace pelkin
