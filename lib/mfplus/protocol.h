// Byte layouts both ends of a MIFARE Plus session compute alike: the session
// key derivation input, the session IVs and the value block. Header-only and
// free of library state, so a card model can use the very same code.
#pragma once

#include <cstdint>
#include <cstring>

namespace ostrel::mfplus {

// The 16-byte derivation input of a session key. `forMac` selects the MAC key
// layout (RndA[7..11], RndB[7..11], RndA[0..4]^RndB[0..4]); otherwise the
// encryption key layout (RndA[11..15], RndB[11..15], RndA[4..8]^RndB[4..8]).
// The session key is AES-Encrypt(card key, input).
inline void SessionKeyInput(std::uint8_t out[16], const std::uint8_t rndA[16],
                            const std::uint8_t rndB[16], bool forMac, std::uint8_t lastByte) {
  const int first = forMac ? 7 : 11;  // the five bytes taken from each number
  const int mixed = forMac ? 0 : 4;   // the five bytes XORed together
  for (int i = 0; i < 5; ++i) {
    out[i] = rndA[first + i];
    out[5 + i] = rndB[first + i];
    out[10 + i] = static_cast<std::uint8_t>(rndA[mixed + i] ^ rndB[mixed + i]);
  }
  out[15] = lastByte;
}

// ivCommand = TI || C || C || C and ivResponse = C || C || C || TI, where C is
// the read counter then the write counter, each low byte first.
inline void BuildSessionIvs(const std::uint8_t ti[4], std::uint16_t readCounter,
                            std::uint16_t writeCounter, std::uint8_t ivCommand[16],
                            std::uint8_t ivResponse[16]) {
  const std::uint8_t c[4] = {
      static_cast<std::uint8_t>(readCounter), static_cast<std::uint8_t>(readCounter >> 8),
      static_cast<std::uint8_t>(writeCounter), static_cast<std::uint8_t>(writeCounter >> 8)};
  std::memcpy(ivCommand, ti, 4);
  for (int i = 0; i < 3; ++i) {
    std::memcpy(ivCommand + 4 + 4 * i, c, 4);
    std::memcpy(ivResponse + 4 * i, c, 4);
  }
  std::memcpy(ivResponse + 12, ti, 4);
}

// V, ~V, V, A, ~A, A, ~A with V little-endian and A the address byte.
inline void BuildValueBlock(std::uint8_t block[16], std::uint8_t address, std::int32_t value) {
  auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    auto b = static_cast<std::uint8_t>(v >> (8 * i));
    block[i] = b;
    block[4 + i] = static_cast<std::uint8_t>(~b);
    block[8 + i] = b;
  }
  const auto notAddress = static_cast<std::uint8_t>(~address);
  block[12] = address;
  block[13] = notAddress;
  block[14] = address;
  block[15] = notAddress;
}

// True and the value when bytes 0..3 equal bytes 8..11 and the complement of
// bytes 4..7; the address bytes are not examined.
inline bool ParseValueBlock(const std::uint8_t block[16], std::int32_t* value) {
  for (int i = 0; i < 4; ++i) {
    if (block[i] != static_cast<std::uint8_t>(~block[4 + i]) || block[i] != block[8 + i]) {
      return false;
    }
  }
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{block[i]} << (8 * i);
  *value = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace ostrel::mfplus
