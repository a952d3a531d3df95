#include <cstring>

#include "e2e_support.h"

namespace e2e {
namespace {

class Level1 : public CardTest {
 protected:
  void SetUp() override {
    if (!Open()) return;
    Personalize();
    Activate();
  }
};

TEST_F(Level1, BlocksAndValuesUnderCrypto1) {
  ASSERT_EQ(PiccAuthKey(0x00, kFactoryCrypto1, 1), 0);
  const Bytes data = Pattern(16, 3);
  ASSERT_EQ(PiccWriteBlock(4, data.data()), 0);
  unsigned char back[16];
  ASSERT_EQ(PiccReadBlock(4, back), 0);
  EXPECT_EQ(0, std::memcmp(back, data.data(), 16));

  ASSERT_EQ(PiccWriteValue(5, 100), 0);
  int value = 0;
  ASSERT_EQ(PiccReadValue(5, &value), 0);
  EXPECT_EQ(value, 100);
  const unsigned char increment = PiccValue(0xC1, 5, 1000, 6);  // increment into block 6
  if (!SimulatedReader() && increment == OSTREL_NOT_SUPPORTED) {
    // A generic reader has no value commands and says so; the blocks stay as they were.
    EXPECT_EQ(PiccValue(0xC0, 5, 1, 5), OSTREL_NOT_SUPPORTED);
    ASSERT_EQ(PiccReadValue(5, &value), 0);
    EXPECT_EQ(value, 100);
    return;
  }
  EXPECT_EQ(increment, 0);
  ASSERT_EQ(PiccReadValue(6, &value), 0);
  EXPECT_EQ(value, 1100);
  EXPECT_EQ(PiccValue(0xC0, 6, 1200, 6), 0);
  ASSERT_EQ(PiccReadValue(6, &value), 0);
  EXPECT_EQ(value, -100);
  EXPECT_EQ(PiccValue(0xC2, 5, 0, 6), 0);  // restore: copy block 5 to 6
  ASSERT_EQ(PiccReadValue(6, &value), 0);
  EXPECT_EQ(value, 100);
  EXPECT_EQ(PiccReadValue(4, &value), OSTREL_BAD_VALUE_BLOCK);
}

TEST_F(Level1, AccessIsRefusedOutsideTheRights) {
  unsigned char block[16];
  EXPECT_EQ(PiccReadBlock(4, block), 0x0A);  // not authenticated
  ASSERT_EQ(PiccAuthKey(0x00, kFactoryCrypto1, 1), 0);
  EXPECT_EQ(PiccReadBlock(8, block), 0x0A);  // another sector
  // Sector 1: data group 0 read-only (010); new key A.
  unsigned char trailer[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xEF, 0x07,
                               0x81, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(PiccWriteBlock(7, trailer), 0);
  EXPECT_EQ(PiccWriteBlock(4, block), 0x0F);
  ASSERT_EQ(PiccReadBlock(7, block), 0);
  EXPECT_EQ(block[0], 0);  // key A never reads back
  EXPECT_EQ(block[6], 0xEF);
  // Key B is readable here, so it opens nothing; a wrong key unselects the card.
  Activate();
  ASSERT_EQ(PiccAuthKey(0x04, kFactoryCrypto1, 1), 0);
  EXPECT_EQ(PiccReadBlock(5, block), 0x12);
  Activate();
  EXPECT_EQ(PiccAuthKey(0x00, kFactoryCrypto1, 1), 0x04);
  EXPECT_EQ(PiccReadBlock(5, block), 0x01);
  Activate();
  EXPECT_EQ(PiccAuthKey(0x00, trailer, 1), 0);
  EXPECT_EQ(PiccReadBlock(4, block), 0);
}

class Level2 : public CardTest {
 protected:
  void SetUp() override {
    if (!Open()) return;
    Personalize();
    RaiseTo(2);
    EXPECT_EQ(Activate().sak, 0x11);  // Level 2, 4K
  }
};

TEST_F(Level2, Crypto1NeedsABoundKeyAfterAes) {
  EXPECT_EQ(PLUSSL2CryptoAuth(0x00, 1, kFactoryCrypto1), 0x04);
  Activate();
  EXPECT_EQ(PLUSSL2AESAuth(0x4002, Fill(0x12).data()), OSTREL_AUTH_MISMATCH);
  ASSERT_EQ(PLUSSL2AESAuth(0x4002, kFactoryKey.data()), 0);
  ASSERT_EQ(PLUSSL2CryptoAuth(0x00, 1, kFactoryCrypto1), 0);
  const Bytes data = Pattern(48, 9);
  ASSERT_EQ(PLUSSL2MultiBlockWrite(4, 3, data.data()), 0);
  Bytes back(48);
  ASSERT_EQ(PLUSSL2MultiBlockRead(4, 3, back.data()), 0);
  EXPECT_EQ(back, data);
  ASSERT_EQ(PLUSSL2MultiBlockRead(5, 1, back.data()), 0);
  EXPECT_EQ(0, std::memcmp(back.data(), data.data() + 16, 16));
  EXPECT_EQ(PLUSSL2MultiBlockRead(8, 1, back.data()), OSTREL_BAD_LENGTH);  // other sector: NAK
  // Classic value commands work at Level 2 too.
  ASSERT_EQ(PiccWriteValue(6, 7), 0);
  EXPECT_EQ(PiccValue(0xC1, 6, 3, 6), 0);
  int value = 0;
  ASSERT_EQ(PiccReadValue(6, &value), 0);
  EXPECT_EQ(value, 10);
}

TEST_F(Level2, CardKeysChangeOverLevel3Commands) {
  ActivateLayer4();
  ASSERT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0);
  const Key newSwitch = Fill(0x55);
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x9003, 1, newSwitch.data()), 0);
  unsigned char block[16];
  EXPECT_EQ(PLUSSL3Read(0x31, 4, 1, block), 0xBB);  // no Level 3 data at Level 2
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9003, kLevel3Key.data()), 0xB6);
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9003, newSwitch.data()), 0);
  EXPECT_EQ(Activate().sak, 0x20);
}

}  // namespace
}  // namespace e2e
