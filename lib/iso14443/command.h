// One single-frame card command: the shape shared by every Type A, CRYPTO1
// and ISO 14443-4 command that is not built from others.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::iso {

// Sends `command` with `length` data bytes (control 0x00) and, when the reader
// reports success, copies the first `outCount` data bytes of its answer to
// `out`. Returns 0xFF on a link failure, the reader's status byte when it is
// not 0, and 0xFC (writing nothing) when a successful answer carries fewer
// than `outCount` data bytes: the missing bytes would be the check byte and
// stale buffer contents, not card data.
std::uint8_t Command(std::uint8_t command, const std::uint8_t* data, std::size_t length,
                     std::uint8_t* out = nullptr, std::size_t outCount = 0);

}  // namespace ostrel::iso
