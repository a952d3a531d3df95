// A small Security Level 3 card written from the card's point of view, with
// real AES and its own session key derivation, so tests see both ends agree.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace ostrel::test {

using Block = std::array<std::uint8_t, 16>;
using Key = std::array<std::uint8_t, 16>;

class CardModel {
 public:
  CardModel();

  // One card command in, the card's answer out (status byte first).
  std::vector<std::uint8_t> Handle(const std::vector<std::uint8_t>& command);

  std::map<std::uint16_t, Key> keys;      // AES keys by key address
  std::map<std::uint16_t, Block> blocks;  // data blocks by block number
  std::array<std::uint8_t, 4> ti{0x5A, 0x17, 0xC0, 0x3E};
  std::array<std::uint8_t, 6> pdCap2{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  std::array<std::uint8_t, 16> rndB{};  // advanced after every authentication

  // Faults to play.
  bool wrongRndAPrime = false;  // answer RndA' that does not match
  bool wrongAnswerMac = false;  // spoil every answer MAC
  bool zeroIvs = false;         // Level 2: authentication runs with all-zero IVs

  // The card's view of the session.
  bool authenticated = false;
  Key kEnc{};
  Key kMac{};
  std::uint16_t readCounter = 0;
  std::uint16_t writeCounter = 0;
  std::vector<std::uint8_t> pcdCap2Seen;  // capabilities of the last First Authenticate
  std::vector<std::uint8_t> rndASeen;     // RndA of the last authentication
  std::size_t lastReadMacLength = 0;      // bytes the last answer MAC of a read covered

 private:
  using Bytes = std::vector<std::uint8_t>;
  Bytes StartAuth(const Bytes& command, bool first);
  Bytes FinishAuth(const Bytes& command);
  Bytes Read(const Bytes& command);
  Bytes Write(const Bytes& command);
  Bytes Value(const Bytes& command);
  Bytes Transfer(const Bytes& command);
  Bytes Restore(const Bytes& command);
  Bytes WriteAnswer(std::uint8_t code);
  bool CommandMacOk(const Bytes& command, std::uint16_t counter);
  void Ivs(std::uint8_t command[16], std::uint8_t response[16]) const;
  std::array<std::uint8_t, 8> Mac8(const std::uint8_t* data, std::size_t length) const;

  enum class Pending { None, First, Following } pending_ = Pending::None;
  Key pendingKey_{};
  Bytes readMacInput_;
  std::int32_t transferValue_ = 0;
};

}  // namespace ostrel::test
