// Reader management commands: exact frames, copy counts and untouched outputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_driver.h"
#include "ostrel.h"

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

namespace {

struct Case {
  const char* name;
  unsigned char (*call)();
  Bytes expected;
};

const unsigned char kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};

}  // namespace

TEST(ReaderCommands, FramesAreBuiltExactlyAsTabled) {
  const Case cases[] = {
      {"close", [] { return ReaderClose(); }, {0x00, 0x3F, 0x00, 0xC0}},
      {"load key", [] { return ReaderLoadKey(0x60, 0x03, kKey); },
       FakeDriver::Request(0, 0x4C, {0x60, 0x03, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5})},
      {"reset", [] { return ReaderReset(0x07); }, FakeDriver::Request(0, 0x4E, {0x07})},
      {"set control", [] { return ReaderSetControlBit(); }, FakeDriver::Request(0, 0x50)},
      {"clear control", [] { return ReaderClrControlBit(); }, FakeDriver::Request(0, 0x51)},
      {"config", [] { return ReaderConfig(); }, FakeDriver::Request(0, 0x52)},
      {"buzzer", [] { return ReaderBuzzer(1, 2, 3, 4); },
       FakeDriver::Request(0, 0x60, {1, 2, 3, 4})},
      {"write e2 empty", [] { return ReaderwriteE2(0x20, 0, nullptr); },
       FakeDriver::Request(0, 0x62, {0x20, 0x00})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    driver.QueueOk();
    EXPECT_EQ(c.call(), 0);
    ASSERT_EQ(driver.writes().size(), 1u);
    EXPECT_EQ(driver.writes()[0], c.expected);
  }
}

TEST(ReaderCommands, ReaderStatusIsReturnedAndLinkFailureIsFF) {
  FakeDriver driver;
  driver.QueueStatus(0x17);
  EXPECT_EQ(ReaderReset(0), 0x17);
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(ReaderBuzzer(0, 0, 0, 0), 0xFF);
}

TEST(ReaderReadE2, SendsAddressAndLengthAndCopiesExactlyLengthBytes) {
  FakeDriver driver;
  driver.QueueOk({1, 2, 3, 4, 5, 6, 7, 8});
  unsigned char buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ReaderReadE2(0x10, 4, buffer), 0);
  EXPECT_EQ(driver.writes()[0], (Bytes{0x00, 0x61, 0x02, 0x10, 0x04, 0x88}));
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(ReaderReadE2, NeverCopiesPastTheResponseFrame) {
  FakeDriver driver;
  driver.QueueOk({9, 9});
  unsigned char buffer[6];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ReaderReadE2(0x00, 6, buffer), 0);
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{9, 9, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(ReaderReadE2, FailureLeavesBufferUntouched) {
  FakeDriver driver;
  driver.QueueResponse(FakeDriver::Frame(0, 0x0C, {1, 2, 3, 4}));
  unsigned char buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ReaderReadE2(0x10, 4, buffer), 0x0C);
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(ReaderReadE2(0x10, 4, buffer), 0xFF);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(ReaderE2, LengthsBeyondOneFrameAreRefusedWithoutTraffic) {
  FakeDriver driver;
  unsigned char buffer[64] = {};
  EXPECT_EQ(ReaderReadE2(0, 61, buffer), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(ReaderwriteE2(0, 59, buffer), OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());

  driver.QueueOk(Bytes(60, 7));
  EXPECT_EQ(ReaderReadE2(0, 60, buffer), 0);
  EXPECT_EQ(buffer[59], 7);
  // Nothing to copy: no buffer needed (and none touched).
  driver.QueueOk(Bytes(4, 9));
  EXPECT_EQ(ReaderReadE2(0, 0, nullptr), 0);
  driver.QueueOk();
  EXPECT_EQ(ReaderwriteE2(0x30, 58, buffer), 0);
  ASSERT_EQ(driver.writes().size(), 3u);
  EXPECT_EQ(driver.writes()[2].size(), 64u);
  EXPECT_EQ(driver.writes()[2][2], 60);
}

TEST(ReaderGetInfo, CopiesAsManyBytesAsTheLengthByteSays) {
  FakeDriver driver;
  unsigned char info[60];
  std::fill(std::begin(info), std::end(info), 0xEE);
  driver.QueueOk();
  EXPECT_EQ(ReaderGetInfo(info), 0);
  EXPECT_EQ(info[0], 0xEE);
  driver.QueueOk({'P', 'E', 'L'});
  EXPECT_EQ(ReaderGetInfo(info), 0);
  EXPECT_EQ(Bytes(info, info + 4), (Bytes{'P', 'E', 'L', 0xEE}));
  driver.QueueResponse(FakeDriver::Frame(0, 0x01, {1, 2, 3, 4}));
  EXPECT_EQ(ReaderGetInfo(info), 0x01);
  EXPECT_EQ(info[0], 'P');
}
