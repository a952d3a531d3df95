// Level 3 data and value commands, reachable without the C exports so the
// card model and the tests can share the byte layouts.
#pragma once

#include <cstdint>

#include "mfplus/protocol.h"

namespace ostrel::mfplus {

inline constexpr std::uint8_t kInvalidMac = 0xB8;     // the answer MAC does not match
inline constexpr std::uint8_t kNotValueBlock = 0xC3;  // the block is no value block

// 0 when the 8 bytes equal the MAC over 0x90, writeCounter, TI; else 0xB8.
std::uint8_t VerifyResponseMac(const std::uint8_t answerMac[8]);
// MAC over code, writeCounter, TI, block.
void BuildCommandMac(std::uint8_t mac[8], std::uint8_t code, std::uint16_t block);
std::uint8_t ReadBlocks(std::uint8_t code, std::uint16_t block, std::uint8_t count,
                        std::uint8_t* out);
std::uint8_t WriteBlocks(std::uint8_t code, std::uint16_t block, std::uint8_t count,
                         const std::uint8_t* data);
// Transfer and restore: code, block and the command MAC.
std::uint8_t PlainCommand(std::uint8_t code, std::uint16_t block);
std::uint8_t ValueOperation(std::uint8_t code, std::uint16_t block, std::int32_t value);
std::uint8_t ValueOperationTransfer(std::uint8_t code, std::uint16_t source,
                                    std::uint16_t destination, std::int32_t value);

}  // namespace ostrel::mfplus
