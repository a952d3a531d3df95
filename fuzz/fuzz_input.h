// Reads typed values off a fuzzer's input; past its end every read gives zeros,
// so a harness never has to check for the end before it asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  std::size_t left() const { return empty() ? 0 : size_ - offset_; }

  std::uint8_t Byte() { return empty() ? 0 : data_[offset_++]; }
  std::uint16_t U16() {
    const std::uint8_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::int32_t I32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return static_cast<std::int32_t>(v);
  }
  // Up to `count` bytes (fewer at the end of the input).
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    const std::size_t n = count < left() ? count : left();
    std::vector<std::uint8_t> out(data_ + offset_, data_ + offset_ + n);
    offset_ += n;
    return out;
  }
  // Exactly `count` bytes, zero-padded.
  void Fill(std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = Byte();
  }
  std::vector<std::uint8_t> Rest() { return Bytes(left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace fuzz
