// Type A commands that the library uses internally but does not export.
#pragma once

#include <cstdint>

namespace ostrel::iso {

// REQA / WUPA through the reader: `mode` 0x52 wakes every card in the field,
// any other value asks only idle ones. Writes 2 bytes to `atq` on success.
std::uint8_t PiccRequest(std::uint8_t mode, std::uint8_t* atq);

}  // namespace ostrel::iso
