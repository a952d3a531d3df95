// The MIFARE Plus session that every Level 3, Level 2, proximity check and
// virtual card command shares, and the routines that build and judge it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mfplus/protocol.h"
#include "ostrel.h"

namespace ostrel::mfplus {

struct PlusSession {
  std::uint8_t ti[4];
  std::uint16_t readCounter;
  std::uint16_t writeCounter;
  // The host's random number of the last authentication. Drawn fresh every
  // time so that a recorded card answer cannot be replayed.
  std::uint8_t rndA[16];
  std::uint8_t rndB[16];
  std::uint8_t kEnc[16];
  std::uint8_t kMac[16];
  std::uint8_t ivCommand[16];
  std::uint8_t ivResponse[16];
  std::uint8_t pcdCap2[6];
  std::uint8_t pdCap2[6];
  // MAC input of read answers that carried no MAC yet.
  std::uint8_t readMacBuffer[OSTREL_SL3_READ_MAC_MAX];
  std::uint16_t readMacLength;
};

// The one process-wide session: zero at load, wiped when the library unloads.
PlusSession& Session();
// Zeroes the whole session, as at load.
void ResetSession();
// The card left its session (halted, deselected or activated anew): TI,
// counters, random numbers, session keys, IVs and the read MAC input go back
// to zero. The capability bytes stay for the next First Authenticate.
void EndSession();

// Source of the host's random numbers (RndA, RndC, RndQ). Fills `length`
// bytes and returns true, or false when no randomness could be had.
using RandomSource = bool (*)(std::uint8_t* out, std::size_t length);
// Replaces the source; nullptr restores the operating system's CSPRNG.
void SetRandomSource(RandomSource source);
bool FillRandom(std::uint8_t* out, std::size_t length);

enum class Path { Classic, Tcl };

// Following Authenticate (0x76 / 0x72) on either path, with the session's IVs.
std::uint8_t AesAuthenticate(Path path, std::uint16_t address, const std::uint8_t key[16]);

// Fills kMac (unless lastByte is 0x33) and kEnc from the session's RndA, RndB.
void DeriveSessionKeys(std::uint8_t lastByte, const std::uint8_t key[16]);

void UpdateSessionIvs();

// A non-zero transport status unchanged, 0 for the card status 0x90,
// otherwise 0xB0 | low nibble of the card status.
std::uint8_t CheckPlusStatus(std::uint8_t transportStatus, std::uint8_t firstByte);
// Judges a 4-bit acknowledgement of the raw path.
std::uint8_t CheckAckNibble(std::uint8_t transportStatus, std::uint8_t firstByte,
                            std::uint16_t receivedBits);

// Byte-wise comparison whose time does not depend on where the bytes differ.
bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

}  // namespace ostrel::mfplus
