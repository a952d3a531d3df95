#include "e2e_support.h"

#include <cstdlib>

namespace e2e {

Key Fill(unsigned char value) {
  Key key;
  key.fill(value);
  return key;
}

const Key kMasterKey = Fill(0x11), kConfigKey = Fill(0x22), kLevel2Key = Fill(0x33),
          kLevel3Key = Fill(0x44), kFactoryKey = Fill(0xFF);
const unsigned char kFactoryCrypto1[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Pattern(std::size_t n, unsigned char seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + 13 * i);
  return b;
}

bool CardTest::SimulatedReader() {
  const char* reader = std::getenv("OSTREL_E2E_READER");
  return reader == nullptr || *reader == '\0';
}

bool CardTest::Open(const std::string& variant, const std::string& extra) {
  std::string reader;
  if (SimulatedReader()) {
    reader = "sim:seed=1";
    if (!variant.empty()) reader += ",variant=" + variant;
    if (!extra.empty()) reader += "," + extra;
  } else {
    if (!variant.empty() || !extra.empty()) {
      [] { GTEST_SKIP() << "needs the in-process simulator"; }();
      return false;
    }
    reader = std::getenv("OSTREL_E2E_READER");
  }
  ::setenv("HOLLINK_READER", reader.c_str(), 1);
  ::setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  const int opened = ReaderCommInit();
  EXPECT_EQ(opened, 0) << reader;
  return opened == 0;
}

Activation CardTest::Activate() {
  Activation a;
  PiccDeSelect();
  PiccHalt();
  EXPECT_EQ(PiccActivate(0x52, a.atq, a.uid, &a.uidLength, &a.sak), 0);
  return a;
}

Activation CardTest::ActivateLayer4() {
  Activation a = Activate();
  unsigned char ats[100];
  EXPECT_EQ(PiccRATS(10, ats), 0);
  EXPECT_EQ(PiccPPS(0, 0), 0);
  return a;
}

int CardTest::CardLevel() {
  const unsigned char sak = Activate().sak;
  if (sak == 0x08 || sak == 0x18) return 1;
  if (sak == 0x10 || sak == 0x11) return 2;
  ActivateLayer4();
  const unsigned char answer = PLUSSL3FirstAuth(0x4002, kFactoryKey.data());
  return answer == 0 || answer == 0xB6 ? 3 : 0;
}

void CardTest::Personalize() {
  if (CardLevel() != 0) return;
  Activate();
  const std::pair<unsigned short, const Key*> keys[] = {
      {0x9000, &kMasterKey}, {0x9001, &kConfigKey}, {0x9002, &kLevel2Key}, {0x9003, &kLevel3Key}};
  const bool raw =
      PLUSWritePersoClassic(keys[0].first, keys[0].second->data()) != OSTREL_NOT_SUPPORTED;
  if (!raw) ActivateLayer4();
  for (const auto& [address, key] : keys) {
    ASSERT_EQ(
        raw ? PLUSWritePersoClassic(address, key->data()) : PLUSWritePersoTCL(address, key->data()),
        0)
        << address;
  }
  ASSERT_EQ(raw ? PLUSCommitPersoClassic() : PLUSCommitPersoTCL(), 0);
}

void CardTest::RaiseTo(int level) {
  ActivateLayer4();
  if (level == 2) {
    ASSERT_EQ(PLUSSL3FirstAuth(0x9002, kLevel2Key.data()), 0);
  } else {
    ASSERT_EQ(PLUSSL3FirstAuth(0x9003, kLevel3Key.data()), 0);
  }
}

Activation CardTest::OpenAtLevel3() {
  if (!Open()) return {};
  if (CardLevel() == 3) return ActivateLayer4();
  Personalize();
  if (HasFatalFailure()) return {};
  RaiseTo(3);
  if (HasFatalFailure()) return {};
  return ActivateLayer4();
}

}  // namespace e2e
