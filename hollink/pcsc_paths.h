// The ways a PC/SC contactless reader can carry card commands beyond its
// storage-card pseudo-APDUs, and the bytes each one speaks: the PC/SC
// transparent session (FF C2), the pass-through of readers built on a PN532
// (FF 00 00 00 Lc D4 ...), and the storage-card value commands (FF D7 / FF B1).
// What a reader carries is found by asking it, never from its name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card_interface.h"

namespace hollink {

using pelkin::Bytes;

struct ReaderPaths {
  enum class Raw { kNone, kSession, kPn532 };
  Raw raw = Raw::kNone;
  bool valueApdus = false;
  std::string firmware;  // what a PN532 reader calls itself (a hint only)
};

// One line for ReaderGetInfo: which path each kind of card command takes.
std::string DescribePaths(const ReaderPaths& paths);

// ISO 14443-A CRC (CRC_A), low byte first on the air.
std::uint16_t CrcA(const std::uint8_t* bytes, std::size_t count);
void AppendCrcA(Bytes* frame);
// True when the last two bytes are the CRC_A of the bytes before them.
bool CrcAMatches(const Bytes& frame);

// The reader to open among `names` (with the ATR each holds, empty when none):
// the first whose name starts with `prefix`; without a prefix, a contactless
// slot (a name that says so, or a contactless card's ATR) before a SAM or
// contact slot. -1 when none fits.
int ChooseReader(const std::vector<std::string>& names, const std::vector<Bytes>& atrs,
                 const std::string& prefix);

// ---- BER-TLV data objects of the transparent session.
struct SessionAnswer {
  bool ok = false;                  // outer 90 00 and the C0 status 90 00
  std::uint16_t status = 0;         // the C0 status word (0 when absent)
  std::optional<int> lastBits;      // 92: valid bits of the last received byte
  std::uint16_t errors = 0;         // 96: b0 CRC, b1 collision, b2 parity, b3 framing
  Bytes card;                       // 97: the card's bytes
  std::optional<std::uint8_t> sak;  // 8F 01 SAK after a switch to layer 3
  Bytes atr;                        // 5F 51 after a switch to layer 4
  Bytes version;                    // 80
};

inline constexpr std::uint16_t kSessionNoCard = 0x6401;

// The APDU FF C2 00 `function` with the given data objects.
Bytes SessionApdu(std::uint8_t function, const Bytes& objects);
// Reads a whole answer (data objects and the outer status word).
SessionAnswer ParseSessionAnswer(const Bytes& answer);

// Data objects of one raw exchange: flags 90 (MSB first, no prologue), transmit bit framing
// 91 for a short last byte, transceive 95.
Bytes TransceiveObjects(const Bytes& data, int bits, bool txCrc, bool rxCrc);

// ---- PN532: the chip's commands inside the reader's pass-through.
inline constexpr std::uint16_t kRegTxMode = 0x6302;      // b7 transmit CRC
inline constexpr std::uint16_t kRegRxMode = 0x6303;      // b7 receive CRC
inline constexpr std::uint16_t kRegControl = 0x633C;     // b2..b0 valid bits received last
inline constexpr std::uint16_t kRegBitFraming = 0x633D;  // b2..b0 bits of the last byte sent

// FF 00 00 00 Lc D4 `command`.
Bytes Pn532Apdu(const Bytes& command);
// The chip's answer to `command` (D5, command code + 1, then this), or nullopt
// when the reader or the chip refused it.
std::optional<Bytes> ParsePn532Answer(const Bytes& command, const Bytes& answer);

struct Pn532Target {
  std::uint8_t atq[2] = {};  // as on the air: low byte first
  std::uint8_t sak = 0;
  Bytes uid;
  Bytes ats;  // when the chip ran RATS itself
};
// InListPassiveTarget's answer data (after D5 4B) for one 106 kbit/s Type A target.
std::optional<Pn532Target> ParseListedTarget(const Bytes& data);

}  // namespace hollink
