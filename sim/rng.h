// The card's source of random numbers (RndB, TI, proximity answers, random UIDs).
// Seeded for reproducible runs, otherwise seeded from the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>

namespace pelkin {

class Rng {
 public:
  explicit Rng(std::optional<std::uint64_t> seed = std::nullopt) {
    std::uint64_t s = 0;
    if (seed) {
      s = *seed;
    } else {
      std::random_device device;
      s = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }
    for (auto& word : state_) word = SplitMix(s);
  }

  std::uint64_t Next() {
    // xoshiro256**
    const std::uint64_t result = Rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotl(state_[3], 45);
    return result;
  }

  void Fill(std::uint8_t* out, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(Next() >> 56);
  }

  // A uniformly drawn number in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t SplitMix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t state_[4];
};

}  // namespace pelkin
