#include <cstring>

#include "e2e_support.h"

namespace e2e {
namespace {

const Key kIid = {0xA0, 0x00, 0x00, 0x03, 0x96, 0x56, 0x43, 0x41, 0x02, 0, 0, 0, 0, 0, 0, 0};
const Key kVcEnc = Fill(0x5C), kVcMac = Fill(0x3A), kVcProximity = Fill(0x4D);

class Features : public CardTest {
 protected:
  void SetUp() override { card_ = OpenAtLevel3(); }
  // The virtual card configuration as the application writes it.
  void ConfigureVirtualCard() {
    ASSERT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0);
    ASSERT_EQ(PLUSSL3Write(0xA1, 0xB001, 1, kIid.data()), 0);
    ASSERT_EQ(PLUSSL3FirstAuth(0x9001, kConfigKey.data()), 0);
    ASSERT_EQ(PLUSSL3Write(0xA1, 0xA080, 1, kVcEnc.data()), 0);
    ASSERT_EQ(PLUSSL3Write(0xA1, 0xA081, 1, kVcMac.data()), 0);
    ASSERT_EQ(PLUSSL3Write(0xA1, 0xA000, 1, kVcProximity.data()), 0);
  }
  Activation card_;
};

TEST_F(Features, VirtualCardSelectionWithTheConfiguredKeys) {
  EXPECT_EQ(PLUSSL3VCSupport(kIid.data()), 0xB5);  // no IID configured yet
  ConfigureVirtualCard();
  card_ = ActivateLayer4();
  // In a session so that both ends chain from the same response IV.
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
  Key other = kIid;
  other[8] = 0x03;
  EXPECT_EQ(PLUSSL3VCSupport(other.data()), 0xB5);
  EXPECT_EQ(PLUSSL3VCSupport(kIid.data()), 0);
  unsigned char uid[7] = {}, uidLength = 0, cryptogram[16] = {};
  EXPECT_EQ(
      PLUSSL3VCSupportLast(kIid.data(), kVcEnc.data(), kVcMac.data(), uid, &uidLength, cryptogram),
      0);
  ASSERT_EQ(uidLength, card_.uidLength);
  EXPECT_EQ(0, std::memcmp(uid, card_.uid, uidLength));
  EXPECT_EQ(PLUSSL3VCSelect(cryptogram, kFactoryKey.data()), 0xB8);
  EXPECT_EQ(PLUSSL3VCSelect(cryptogram, kVcMac.data()), 0);
  EXPECT_EQ(PLUSSL3VCDeselect(), 0);
  // The answer MAC is checked against the caller's MAC key.
  EXPECT_EQ(PLUSSL3VCSupportLast(kIid.data(), kVcEnc.data(), kFactoryKey.data(), uid, &uidLength,
                                 cryptogram),
            OSTREL_SUPPORT_LAST_MAC);
}

TEST_F(Features, ProximityCheckWithSessionKeyOrProximityKey) {
  ConfigureVirtualCard();
  card_ = ActivateLayer4();
  // Outside a session the card checks against its proximity key.
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 1, kFactoryKey.data()), 0xB8);
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 1, kVcProximity.data()), 0);
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 0, nullptr), 0);
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 1, kVcProximity.data()), 0xB8);
}

TEST_F(Features, VirtualCardAfterLevel3WorkAndAReactivation) {
  // The operator's path: Level 3 work, then the virtual card dialog, which
  // activates the card anew. Neither end has a session any more.
  ConfigureVirtualCard();
  card_ = ActivateLayer4();
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
  const Bytes data = Pattern(16, 3);
  ASSERT_EQ(PLUSSL3Write(0xA1, 4, 1, data.data()), 0);
  card_ = ActivateLayer4();
  ASSERT_EQ(PLUSSL3VCSupport(kIid.data()), 0);
  unsigned char uid[7] = {}, uidLength = 0, cryptogram[16] = {};
  ASSERT_EQ(
      PLUSSL3VCSupportLast(kIid.data(), kVcEnc.data(), kVcMac.data(), uid, &uidLength, cryptogram),
      0);
  ASSERT_EQ(uidLength, card_.uidLength);
  EXPECT_EQ(0, std::memcmp(uid, card_.uid, uidLength));
  EXPECT_EQ(PLUSSL3VCSelect(cryptogram, kVcMac.data()), 0);
}

TEST_F(Features, FieldConfigurationDemandsAProximityCheck) {
  ASSERT_EQ(PLUSSL3FirstAuth(0x9001, kConfigKey.data()), 0);
  unsigned char fcb[16] = {0x00, 0x55, 0xAA, 0x00, 0x0B};
  ASSERT_EQ(PLUSSL3Write(0xA1, 0xB003, 1, fcb), 0);
  ActivateLayer4();
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
  unsigned char block[16];
  EXPECT_EQ(PLUSSL3Read(0x31, 4, 1, block), 0xBB);
  ASSERT_EQ(PLUSSL3ProximityCheck(10, 0, 0, nullptr), 0);
  EXPECT_EQ(PLUSSL3Read(0x31, 4, 1, block), 0);
}

TEST_F(Features, RandomIdReplacesTheUidAtLevel3) {
  ASSERT_EQ(PLUSSL3FirstAuth(0x9001, kConfigKey.data()), 0);
  unsigned char fcb[16] = {0x00, 0xAA, 0x55};
  ASSERT_EQ(PLUSSL3Write(0xA1, 0xB003, 1, fcb), 0);
  Activation first = Activate();
  Activation second = Activate();
  EXPECT_EQ(first.uidLength, 4);
  EXPECT_EQ(first.uid[0], 0x08);
  EXPECT_NE(0, std::memcmp(first.uid, second.uid, 4));
}

TEST_F(Features, MfpConfigurationNeedsTheMasterKey) {
  unsigned char mfp[16] = {0x00, 0x0F};
  ASSERT_EQ(PLUSSL3FirstAuth(0x9001, kConfigKey.data()), 0);
  EXPECT_EQ(PLUSSL3Write(0xA1, 0xB000, 1, mfp), 0xBB);
  ASSERT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0);
  EXPECT_EQ(PLUSSL3Write(0xA1, 0xB000, 1, mfp), 0);
  unsigned char back[16] = {};
  ASSERT_EQ(PLUSSL3Read(0x31, 0xB000, 1, back), 0);
  EXPECT_EQ(0, std::memcmp(back, mfp, 16));
}

class LateCard : public CardTest {};

TEST_F(LateCard, AProximityCheckAnsweredLateFails) {
  // A fresh card checks against its factory proximity key; in time it passes.
  if (!Open()) return;
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 1, kFactoryKey.data()), 0);
  ReaderCommExit();
  // Every answer held back 400 ms: beyond the host's bound for the challenge.
  if (!Open("", "delay=1,delay-ms=400")) return;
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3ProximityCheck(10, 0, 1, kFactoryKey.data()), OSTREL_PC_TOO_LATE);
}

}  // namespace
}  // namespace e2e
