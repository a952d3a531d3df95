// How the MIFARE Plus commands reach the card: T=CL exchanges with a bounded
// answer, raw timed exchanges, and a small writer for command and MAC input bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ostrel::mfplus {

// Largest card answer any command here accepts: status, 18 blocks and a MAC fit.
inline constexpr std::size_t kAnswerCapacity = 300;
// The raw exchange delivers at most this many answer bytes.
inline constexpr std::size_t kRawAnswerMax = 58;

struct CardAnswer {
  std::uint8_t bytes[kAnswerCapacity] = {};
  std::size_t length = 0;
};

// Sends `command` through the T=CL layer. Returns the transport status, then
// 0xFC when the answer has no status byte, then CheckPlusStatus of the status
// byte, then 0xFC when a successful answer is shorter than `minimumLength`.
// `answerBegun` as for iso::TclTransfer.
std::uint8_t TclCommand(const std::uint8_t* command, std::size_t length, CardAnswer* answer,
                        std::size_t minimumLength = 1, bool* answerBegun = nullptr);

struct RawAnswer {
  std::uint8_t bytes[kRawAnswerMax] = {};
  std::uint16_t bits = 0;  // stays 0 when the link failed
};

// A raw exchange with timer exponent 7. Returns the transport status; the
// answer is filled whatever the reader's status byte was, and so is
// `elapsed` (the reader's time for the exchange) when given.
std::uint8_t RawExchange(std::uint8_t options, const std::uint8_t* data, std::uint16_t bits,
                         RawAnswer* answer, int* elapsed = nullptr);

// Appends bytes to a fixed buffer; multi-byte numbers go low byte first.
class ByteWriter {
 public:
  ByteWriter(std::uint8_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  ByteWriter& Byte(std::uint8_t value) {
    if (length_ < capacity_) buffer_[length_] = value;
    ++length_;
    return *this;
  }
  ByteWriter& U16(std::uint16_t value) {
    return Byte(static_cast<std::uint8_t>(value)).Byte(static_cast<std::uint8_t>(value >> 8));
  }
  ByteWriter& Bytes(const std::uint8_t* data, std::size_t count) {
    std::size_t room = length_ < capacity_ ? capacity_ - length_ : 0;
    std::size_t taken = count < room ? count : room;
    if (taken != 0) std::memcpy(buffer_ + length_, data, taken);
    length_ += count;
    return *this;
  }
  // Bytes asked for; more than the capacity means the buffer was too small
  // (the extra bytes were dropped, never written past the end).
  std::size_t length() const { return length_; }
  bool fits() const { return length_ <= capacity_; }

 private:
  std::uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

}  // namespace ostrel::mfplus
