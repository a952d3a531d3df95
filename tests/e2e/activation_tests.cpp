#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

TEST_F(CardTest, ReaderManagementCommandsAnswer) {
  if (!Open()) return;
  unsigned char info[60] = {};
  EXPECT_EQ(ReaderGetInfo(info), 0);
  EXPECT_NE(info[0], 0);
  const unsigned char data[3] = {0xDE, 0xAD, 0x01};
  EXPECT_EQ(ReaderwriteE2(0x30, 3, data), 0);
  unsigned char back[3] = {};
  EXPECT_EQ(ReaderReadE2(0x30, 3, back), 0);
  EXPECT_EQ(0, std::memcmp(back, data, 3));
  EXPECT_EQ(ReaderBuzzer(1, 2, 3, 4), 0);
  EXPECT_EQ(ReaderSetControlBit(), 0);
  EXPECT_EQ(ReaderClrControlBit(), 0);
  EXPECT_EQ(ReaderConfig(), 0);
  EXPECT_EQ(ReaderLoadKey(0, 1, kFactoryCrypto1), 0);
  EXPECT_EQ(ReaderClose(), 0);
}

TEST_F(CardTest, FourByteUidActivation) {
  if (!Open()) return;
  Activation a = Activate();
  EXPECT_EQ(a.uidLength, 4);
  EXPECT_EQ(a.atq[0], 0x04);
  EXPECT_EQ(a.sak, 0x20);  // Level 0: ISO 14443-4
  unsigned char ats[100];
  ASSERT_EQ(PiccRATS(10, ats), 0);
  EXPECT_EQ(ats[0], 12);
  EXPECT_EQ(ats[9], 0x01);  // an X card
  EXPECT_EQ(ats[10], 0xBC);
  EXPECT_EQ(ats[11], 0xD6);
  // The same UID on the next activation.
  Activation b = Activate();
  EXPECT_EQ(0, std::memcmp(a.uid, b.uid, 4));
}

TEST_F(CardTest, SevenByteUidActivationOnAnSCard) {
  if (!Open("S2K7")) return;
  Activation a = Activate();
  EXPECT_EQ(a.uidLength, 7);
  EXPECT_EQ(a.uid[0], 0x04);
  EXPECT_EQ(a.atq[0], 0x44);
  EXPECT_EQ(a.sak, 0x20);
  unsigned char ats[100];
  ASSERT_EQ(PiccRATS(10, ats), 0);
  EXPECT_EQ(ats[9], 0x00);
  EXPECT_EQ(ats[10], 0x35);
  EXPECT_EQ(ats[11], 0xC7);
}

TEST_F(CardTest, CommitIsRefusedUntilTheFourCardKeysAreWritten) {
  if (!Open()) return;
  Activate();
  EXPECT_EQ(PLUSCommitPersoClassic(), OSTREL_AUTH_MISMATCH);  // NAK 0
  ASSERT_EQ(PLUSWritePersoClassic(0x9000, kMasterKey.data()), 0);
  ASSERT_EQ(PLUSWritePersoClassic(0x9001, kConfigKey.data()), 0);
  ASSERT_EQ(PLUSWritePersoClassic(0x9002, kLevel2Key.data()), 0);
  EXPECT_EQ(PLUSCommitPersoClassic(), OSTREL_AUTH_MISMATCH);
  EXPECT_EQ(PLUSWritePersoClassic(0x0000, kMasterKey.data()), OSTREL_BAD_ARGUMENT);  // block 0
  // The last key through the T=CL path, and the commit there too.
  unsigned char ats[100];
  Activate();
  ASSERT_EQ(PiccRATS(10, ats), 0);
  EXPECT_EQ(PLUSCommitPersoTCL(), 0xBC);
  ASSERT_EQ(PLUSWritePersoTCL(0x9003, kLevel3Key.data()), 0);
  EXPECT_EQ(PLUSCommitPersoTCL(), 0);
  EXPECT_EQ(Activate().sak, 0x18);  // Level 1, 4K
  EXPECT_EQ(PLUSWritePersoClassic(0x9000, kMasterKey.data()), OSTREL_AUTH_MISMATCH);
}

TEST_F(CardTest, LevelSwitchesShowAtTheNextActivation) {
  if (!Open("X2K4")) return;
  Personalize();
  EXPECT_EQ(Activate().sak, 0x08);
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9003, kLevel2Key.data()), 0xB6);  // wrong key, no switch
  RaiseTo(2);
  EXPECT_EQ(Activate().sak, 0x10);
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9002, kLevel2Key.data()), 0xBB);  // no way back to Level 2
  RaiseTo(3);
  EXPECT_EQ(Activate().sak, 0x20);
}

class StateFileTest : public CardTest {
 protected:
  void SetUp() override {
    if (!SimulatedReader()) GTEST_SKIP() << "needs the in-process simulator";
    char pattern[] = "/tmp/e2e_state.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/card.json";
  }
  void TearDown() override {
    CardTest::TearDown();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string Text() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_, path_;
};

TEST_F(StateFileTest, PersonalizedCardSurvivesAReopen) {
  if (!Open("", "state=" + path_)) return;
  Activation before = Activate();
  Personalize();
  ReaderCommExit();
  if (!Open("", "state=" + path_)) return;  // a new simulator reads the file
  Activation after = Activate();
  EXPECT_EQ(after.sak, 0x18);
  EXPECT_EQ(0, std::memcmp(before.uid, after.uid, 4));
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9003, kLevel3Key.data()), 0);
}

TEST_F(StateFileTest, TruncatedFileIsReportedNotReplaced) {
  if (!Open("", "state=" + path_)) return;
  Personalize();
  ReaderCommExit();
  const std::string whole = Text();
  { std::ofstream(path_, std::ios::trunc) << whole.substr(0, whole.size() / 3); }
  ::setenv("HOLLINK_READER", ("sim:seed=1,state=" + path_).c_str(), 1);
  EXPECT_NE(ReaderCommInit() & 0xFF, 0);
  EXPECT_EQ(Text(), whole.substr(0, whole.size() / 3));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST_F(CardTest, FaultyInProcessReaderFailsTheExchangeNotTheCaller) {
  if (!Open("", "corrupt=1")) return;
  EXPECT_EQ(ReaderClose(), OSTREL_NO_RESPONSE);
  ReaderCommExit();
  if (!Open("", "delay=1,delay-ms=5")) return;  // late but within the read time-out
  EXPECT_EQ(ReaderClose(), 0);
  ReaderCommExit();
  if (!Open("", "delay=1,delay-ms=1100")) return;  // past the library's 1000 ms time-out
  EXPECT_EQ(ReaderClose(), OSTREL_NO_RESPONSE);
}

}  // namespace
}  // namespace e2e
