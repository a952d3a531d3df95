// vsmartcard's vpcd protocol as the card side speaks it: every message in
// either direction is a two-byte big-endian length and that many bytes; a
// one-byte message from vpcd may be a control code instead of an APDU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "card_interface.h"
#include "virtual_pcsc_card.h"

namespace pelkin {

// The largest payload a message can carry.
constexpr std::size_t kVpcdMaxPayload = 0xFFFF;

// Splits a byte stream from vpcd into messages, whatever the stream's chunks.
class VpcdMessages {
 public:
  void Append(const std::uint8_t* bytes, std::size_t count);
  // The next whole message, or nullopt until more bytes arrive.
  std::optional<Bytes> Next();
  // Bytes of a message not yet complete.
  std::size_t pending() const { return buffer_.size() - offset_; }

 private:
  Bytes buffer_;
  std::size_t offset_ = 0;
};

// A payload with its length in front; payloads longer than a message can carry
// are cut to its limit (no answer of the card comes near it).
Bytes VpcdMessage(const Bytes& payload);

bool IsVpcdControl(const Bytes& message);

// What the card does with one message from vpcd: power off, on and reset, the
// ATR, or an APDU. The answer to send back, nullopt when vpcd awaits none.
std::optional<Bytes> AnswerVpcd(VirtualPcscCard* card, const Bytes& message);

}  // namespace pelkin
