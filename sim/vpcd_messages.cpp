#include "vpcd_messages.h"

#include <algorithm>

namespace pelkin {

namespace {

constexpr std::uint8_t kPowerOff = 0x00;
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kReset = 0x02;
constexpr std::uint8_t kGetAtr = 0x04;

}  // namespace

void VpcdMessages::Append(const std::uint8_t* bytes, std::size_t count) {
  // Drop what was consumed before the buffer grows again.
  if (offset_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

std::optional<Bytes> VpcdMessages::Next() {
  if (pending() < 2) return std::nullopt;
  const std::size_t length =
      static_cast<std::size_t>((buffer_[offset_] << 8) | buffer_[offset_ + 1]);
  if (pending() < 2 + length) return std::nullopt;
  const auto from = buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + 2);
  Bytes message(from, from + static_cast<std::ptrdiff_t>(length));
  offset_ += 2 + length;
  return message;
}

Bytes VpcdMessage(const Bytes& payload) {
  const std::size_t length = payload.size() < kVpcdMaxPayload ? payload.size() : kVpcdMaxPayload;
  Bytes message(2 + length);
  message[0] = static_cast<std::uint8_t>(length >> 8);
  message[1] = static_cast<std::uint8_t>(length);
  std::copy_n(payload.begin(), length, message.begin() + 2);
  return message;
}

// MIFARE Plus has one-byte commands (commit AA, reset authentication 78), so
// one byte alone does not make a control code: only these values do.
bool IsVpcdControl(const Bytes& message) {
  return message.size() == 1 && (message[0] == kPowerOff || message[0] == kPowerOn ||
                                 message[0] == kReset || message[0] == kGetAtr);
}

std::optional<Bytes> AnswerVpcd(VirtualPcscCard* card, const Bytes& message) {
  if (IsVpcdControl(message)) {
    switch (message[0]) {
      case kPowerOff:
        card->PowerOff();
        return std::nullopt;
      case kPowerOn:
      case kReset:
        card->PowerOn();
        return std::nullopt;
      default:  // the ATR
        if (card->Atr().empty()) card->PowerOn();
        return card->Atr();
    }
  }
  if (message.empty()) return std::nullopt;
  return card->Transmit(message);
}

}  // namespace pelkin
