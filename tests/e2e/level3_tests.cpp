#include <cstring>

#include "e2e_support.h"

namespace e2e {
namespace {

class Level3 : public CardTest {
 protected:
  void SetUp() override {
    OpenAtLevel3();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);  // sector 1, key A
  }
};

TEST_F(Level3, EveryWriteAndReadCodeWithOneToThreeBlocks) {
  unsigned char seed = 1;
  for (unsigned char write = 0xA0; write <= 0xA3; ++write) {
    for (unsigned char count = 1; count <= 3; ++count) {
      const Bytes data = Pattern(16u * count, seed++);
      ASSERT_EQ(PLUSSL3Write(write, 4, count, data.data()), 0) << int(write) << " " << int(count);
      for (unsigned char read = 0x30; read <= 0x37; ++read) {
        Bytes back(16u * count);
        ASSERT_EQ(PLUSSL3Read(read, 4, count, back.data()), 0) << int(read) << " " << int(count);
        EXPECT_EQ(back, data) << int(write) << " " << int(read);
      }
    }
  }
}

TEST_F(Level3, FollowingAndResetAuthenticate) {
  const Bytes data = Pattern(16, 0x40);
  ASSERT_EQ(PLUSSL3Write(0xA1, 5, 1, data.data()), 0);
  unsigned char back[16];
  ASSERT_EQ(PLUSSL3Read(0x33, 5, 1, back), 0);
  // Key B of the same sector; the counters keep running.
  ASSERT_EQ(PLUSSL3FollowingAuth(0x4003, kFactoryKey.data()), 0);
  ASSERT_EQ(PLUSSL3Read(0x31, 5, 1, back), 0);
  EXPECT_EQ(0, std::memcmp(back, data.data(), 16));
  EXPECT_EQ(PLUSSL3FollowingAuth(0x4003, Fill(0x01).data()), 0xB6);
  ASSERT_EQ(PLUSSL3RestAuth(), 0);
  EXPECT_EQ(PLUSSL3Read(0x31, 5, 1, back), 0xB6);
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
  EXPECT_EQ(PLUSSL3Read(0x31, 5, 1, back), 0);
}

TEST_F(Level3, ValueTransferAndRestoreCodes) {
  ASSERT_EQ(PLUSSL3WriteValue(0xA1, 4, 100), 0);
  ASSERT_EQ(PLUSSL3WriteValue(0xA0, 5, 0), 0);
  int value = 0;
  ASSERT_EQ(PLUSSL3ReadValue(0x31, 4, &value), 0);
  EXPECT_EQ(value, 100);
  struct Step {
    unsigned char code;
    int amount;
    int expect;
  };
  // Increment/decrement work on the transfer buffer; transfer writes it to block 5.
  const Step steps[] = {{0xB0, 10, 110}, {0xB1, 5, 105}, {0xB2, 20, 80}, {0xB3, 1, 99}};
  for (const Step& s : steps) {
    ASSERT_EQ(PLUSSL3ValueOperation(s.code, 4, s.amount), 0) << int(s.code);
    ASSERT_EQ(PLUSSL3Transfer(s.code & 1 ? 0xB5 : 0xB4, 5), 0);
    ASSERT_EQ(PLUSSL3ReadValue(0x33, 5, &value), 0);
    EXPECT_EQ(value, s.expect) << int(s.code);
  }
  ASSERT_EQ(PLUSSL3ReadValue(0x30, 4, &value), 0);
  EXPECT_EQ(value, 100);  // the source is unchanged
  ASSERT_EQ(PLUSSL3ValueOperTran(0xB6, 4, 6, 50), 0);
  ASSERT_EQ(PLUSSL3ValueOperTran(0xB7, 6, 6, 50), 0);
  ASSERT_EQ(PLUSSL3ValueOperTran(0xB8, 6, 5, 25), 0);
  ASSERT_EQ(PLUSSL3ValueOperTran(0xB9, 5, 5, 25), 0);
  ASSERT_EQ(PLUSSL3ReadValue(0x31, 6, &value), 0);
  EXPECT_EQ(value, 200);
  ASSERT_EQ(PLUSSL3ReadValue(0x31, 5, &value), 0);
  EXPECT_EQ(value, 150);
  ASSERT_EQ(PLUSSL3Restore(0xC2, 6), 0);
  ASSERT_EQ(PLUSSL3Transfer(0xB4, 4), 0);
  ASSERT_EQ(PLUSSL3Restore(0xC3, 5), 0);
  ASSERT_EQ(PLUSSL3ReadValue(0x31, 4, &value), 0);
  EXPECT_EQ(value, 200);
  EXPECT_EQ(PLUSSL3ValueOperation(0xB0, 7, 1), 0xBB);  // the trailer holds no value
  const Bytes plain = Pattern(16, 2);
  ASSERT_EQ(PLUSSL3Write(0xA3, 6, 1, plain.data()), 0);
  EXPECT_EQ(PLUSSL3ValueOperation(0xB1, 6, 1), 0xBF);  // not a value block
  EXPECT_EQ(PLUSSL3ReadValue(0x31, 6, &value), 0xC3);
}

TEST_F(Level3, CardRefusalsComeBackAsStatus) {
  unsigned char block[16];
  EXPECT_EQ(PLUSSL3Read(0x31, 8, 1, block), 0xBB);  // sector 2 needs its own key
  EXPECT_EQ(PLUSSL3Read(0x31, 0x1234, 1, block), 0xB9);
  // A MAC the card cannot verify, sent as it is.
  unsigned char command[12] = {0x31, 4, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char answer[OSTREL_TPCL_MAX_ANSWER];
  unsigned short length = 0;
  ASSERT_EQ(PiccTPCL(command, sizeof command, answer, &length), 0);
  ASSERT_EQ(length, 1);
  EXPECT_EQ(answer[0], 0x08);
  EXPECT_EQ(PLUSSL3Read(0x31, 4, 1, block), 0);  // the session goes on
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x4002, Fill(0x01).data()), 0xB6);
  EXPECT_EQ(PLUSSL3FirstAuth(0x9002, kLevel2Key.data()), 0xBB);
}

TEST_F(Level3, KeyChangesTakeEffect) {
  const Key sectorKey = Fill(0x66);
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x4002, 1, sectorKey.data()), 0);
  EXPECT_EQ(PLUSSL3Write(0xA1, 0x9000, 1, sectorKey.data()), 0xBB);  // needs the master key
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0xB6);
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, sectorKey.data()), 0);
  unsigned char block[16];
  EXPECT_EQ(PLUSSL3Read(0x31, 4, 1, block), 0);

  ASSERT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0);
  const Key master = Fill(0x77);
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x9000, 1, master.data()), 0);
  EXPECT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0xB6);
  ASSERT_EQ(PLUSSL3FirstAuth(0x9000, master.data()), 0);
  // Put both keys back: a card on a real reader outlives the test.
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x9000, 1, kMasterKey.data()), 0);
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, sectorKey.data()), 0);
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x4002, 1, kFactoryKey.data()), 0);
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9000, kMasterKey.data()), 0);
  EXPECT_EQ(PLUSSL3FirstAuth(0x4002, kFactoryKey.data()), 0);
}

TEST_F(Level3, AccessConditionsOfTheTrailer) {
  // Plain reads for group 0 only; group 1 written with key B only (condition 100).
  unsigned char trailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xE1, 0xFD, 0x27,
                               0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(PLUSSL3Write(0xA1, 7, 1, trailer), 0);
  unsigned char block[16] = {};
  EXPECT_EQ(PLUSSL3Read(0x33, 4, 1, block), 0);
  EXPECT_EQ(PLUSSL3Read(0x33, 5, 1, block), 0xBB);
  EXPECT_EQ(PLUSSL3Read(0x31, 5, 1, block), 0);
  EXPECT_EQ(PLUSSL3Write(0xA1, 5, 1, block), 0xBB);
  ASSERT_EQ(PLUSSL3FirstAuth(0x4003, kFactoryKey.data()), 0);
  EXPECT_EQ(PLUSSL3Write(0xA1, 5, 1, block), 0);
}

TEST_F(Level3, LongAnswersCrossSeveralFrames) {
  // Sector 32 of a 4K card has 16 blocks; four of them answer in 73 bytes.
  ASSERT_EQ(PLUSSL3FirstAuth(0x4040, kFactoryKey.data()), 0);
  const Bytes data = Pattern(48, 0x70);
  ASSERT_EQ(PLUSSL3Write(0xA0, 129, 3, data.data()), 0);
  Bytes back(64);
  ASSERT_EQ(PLUSSL3Read(0x31, 128, 4, back.data()), 0);
  EXPECT_EQ(Bytes(back.begin() + 16, back.end()), data);
}

}  // namespace
}  // namespace e2e
