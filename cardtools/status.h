// Words for the library's status codes, the reader's status bytes and the card's
// own status bytes, for people reading the command line's output.
#pragma once

#include <cstdint>
#include <string>

namespace cardtools {

// A library result (the reader's status byte, 0xB0..0xBF for a card status, or one
// of the library's own codes).
std::string StatusText(std::uint8_t status);
// A MIFARE Plus card status byte as it travels (0x90 success, 0x06 ... 0x0F).
std::string CardStatusText(std::uint8_t status);
// A 4-bit acknowledgement of the Classic-style raw exchange.
std::string AckText(std::uint8_t nibble);

}  // namespace cardtools
