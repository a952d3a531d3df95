// Shared set-up of the MIFARE Plus tests: the fake reader with a T=CL card
// behind it, a fresh session, and a predictable random source.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "card_model.h"
#include "fake_driver.h"
#include "hex.h"
#include "mfplus/crypto.h"
#include "mfplus/session.h"
#include "ostrel.h"
#include "tcl_card.h"

namespace ostrel::test {

inline Bytes Of(const std::uint8_t* data, std::size_t length) {
  return Bytes(data, data + length);
}

inline Bytes Mac(const Bytes& input, const std::uint8_t* key) {
  Bytes mac(8);
  crypto::CmacTruncated(mac.data(), input.data(), input.size(), key);
  return mac;
}

// Every draw gives the next bytes of a counting sequence, so each
// authentication sees a different RndA and tests can predict them.
struct PredictableRandom {
  static inline std::uint8_t next = 0x40;
  static inline int draws = 0;
  static inline bool fail = false;
  static bool Fill(std::uint8_t* out, std::size_t length) {
    if (fail) return false;
    ++draws;
    for (std::size_t i = 0; i < length; ++i) out[i] = next++;
    return true;
  }
  // The bytes the next draw of `length` will give.
  static Bytes Peek(std::size_t length) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(next + i);
    return out;
  }
};

class PlusTest : public ::testing::Test {
 protected:
  static constexpr std::uint16_t kKeyAddress = 0x4002;

  PlusTest() : card_(driver_) {
    mfplus::ResetSession();
    PredictableRandom::next = 0x40;
    PredictableRandom::draws = 0;
    PredictableRandom::fail = false;
    mfplus::SetRandomSource(&PredictableRandom::Fill);
    for (std::size_t i = 0; i < 16; ++i) key_[i] = static_cast<std::uint8_t>(0x10 * (i % 16) + i);
    model_.keys[kKeyAddress] = key_;
    card_.OnCommand([this](const Bytes& command) { return model_.Handle(command); });
  }
  ~PlusTest() override {
    mfplus::SetRandomSource(nullptr);
    mfplus::ResetSession();
  }

  mfplus::PlusSession& session() { return mfplus::Session(); }

  // A First Authenticate against the card model that must succeed.
  void Authenticate() {
    ASSERT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), 0);
    card_.ClearLog();
  }

  FakeDriver driver_;
  TclCard card_;
  CardModel model_;
  Key key_{};
};

}  // namespace ostrel::test
