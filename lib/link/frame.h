// The ReaderFrame and the one routine through which every reader command goes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::link {

inline constexpr std::size_t kFrameMax = 64;      // a frame in either direction
inline constexpr std::size_t kFrameDataMax = 60;  // its data field
inline constexpr int kTimeoutMs = 1000;
inline constexpr std::uint8_t kNoResponse = 0xFF;

// Bitwise NOT of the XOR of the first `count` bytes.
std::uint8_t CheckByte(const std::uint8_t* bytes, std::size_t count);

struct Response {
  std::uint8_t frame[kFrameMax] = {};
  std::uint8_t control() const { return frame[0]; }
  std::uint8_t status() const { return frame[1]; }
  std::uint8_t length() const { return frame[2]; }
  const std::uint8_t* data() const { return frame + 3; }
};

// Builds the request (control, command, length, data), exchanges it through
// ReaderCommand with a 64-byte response buffer and the 1000 ms time-out, and
// returns 0xFF when no valid response came, otherwise the reader's status byte.
// `response` holds the response frame whenever the exchange succeeded, and
// all zero bytes (no valid frame) when it failed.
// `length` must not exceed kFrameDataMax: callers check their limits first.
std::uint8_t Exchange(std::uint8_t control, std::uint8_t command, const std::uint8_t* data,
                      std::size_t length, Response* response);

// One single-frame command with control 0x00: sends `command` with `length` data
// bytes and, when the reader reports success, copies the first `outCount` data
// bytes of its answer to `out`. Returns 0xFF on a link failure, the reader's
// status byte when it is not 0, and 0xFC (writing nothing) when a successful
// answer carries fewer than `outCount` data bytes: the missing bytes would be
// the check byte and stale buffer contents, not reader data.
std::uint8_t Command(std::uint8_t command, const std::uint8_t* data = nullptr,
                     std::size_t length = 0, std::uint8_t* out = nullptr, std::size_t outCount = 0);

}  // namespace ostrel::link
