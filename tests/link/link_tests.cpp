// The frame exchange: check bytes, three attempts and every failure rule.
#include <gtest/gtest.h>

#include "fake_driver.h"
#include "link/frame.h"
#include "ostrel.h"

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

namespace {

short Exchange(Bytes& request, Bytes& response) {
  return ReaderCommand(request.data(), static_cast<short>(request.size()), response.data(),
                       static_cast<short>(response.size()), 1000);
}

}  // namespace

TEST(CheckByte, IsTheComplementedXor) {
  const std::uint8_t close[] = {0x00, 0x3F, 0x00};
  EXPECT_EQ(ostrel::link::CheckByte(close, 3), 0xC0);
  const std::uint8_t ok[] = {0x00, 0x00, 0x00};
  EXPECT_EQ(ostrel::link::CheckByte(ok, 3), 0xFF);
}

TEST(ReaderCommand, WritesCheckByteIntoCallerBufferAndSucceeds) {
  FakeDriver driver;
  driver.QueueOk({0x11, 0x22});
  Bytes request{0x00, 0x4E, 0x01, 0x05, 0xEE};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0);
  EXPECT_EQ(request[4], ostrel::link::CheckByte(request.data(), 4));
  ASSERT_EQ(driver.writes().size(), 1u);
  EXPECT_EQ(driver.writes()[0], request);
  EXPECT_EQ(driver.reads(), 1);
  EXPECT_EQ(response[3], 0x11);
}

TEST(ReaderCommand, CheckByteIsWrittenEvenWhenTheExchangeFails) {
  FakeDriver driver;
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
  EXPECT_EQ(request[3], 0xC0);
}

TEST(ReaderCommand, BadCheckBytesGiveThreeWritesAndThreeReads) {
  FakeDriver driver;
  for (int i = 0; i < 3; ++i) {
    Bytes bad = FakeDriver::Frame(0, 0, {1, 2, 3});
    bad.back() ^= 0x01;
    driver.QueueResponse(bad);
  }
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
  EXPECT_EQ(driver.writes().size(), 3u);
  EXPECT_EQ(driver.reads(), 3);
  for (const Bytes& w : driver.writes()) EXPECT_EQ(w, (Bytes{0x00, 0x3F, 0x00, 0xC0}));
}

TEST(ReaderCommand, GoodFrameOnThirdAttemptSucceeds) {
  FakeDriver driver;
  driver.QueueReadFailure();
  Bytes bad = FakeDriver::Frame(0, 0);
  bad.back() ^= 0x80;
  driver.QueueResponse(bad);
  driver.QueueOk();
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0);
  EXPECT_EQ(driver.writes().size(), 3u);
  EXPECT_EQ(driver.reads(), 3);
}

TEST(ReaderCommand, WriteFailuresSkipTheRead) {
  FakeDriver driver;
  for (int i = 0; i < 3; ++i) driver.QueueWriteResult(1);
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
  EXPECT_EQ(driver.writes().size(), 3u);
  EXPECT_EQ(driver.reads(), 0);
}

TEST(ReaderCommand, OnlyTheLow16BitsOfTheWriteResultCount) {
  FakeDriver driver;
  driver.QueueWriteResult(0x10000);
  driver.QueueOk();
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0);
  EXPECT_EQ(driver.writes().size(), 1u);
}

TEST(ReaderCommand, LengthByteThatCannotFitIsAFailedAttempt) {
  FakeDriver driver;
  for (int i = 0; i < 3; ++i) {
    Bytes frame = FakeDriver::Frame(0, 0, Bytes(60, 0xAB));
    frame[2] = 61;  // claims one byte more than a 64-byte frame can hold
    driver.QueueResponse(frame);
  }
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
  EXPECT_EQ(driver.reads(), 3);
}

TEST(ReaderCommand, SixtyDataBytesFitExactly) {
  FakeDriver driver;
  driver.QueueOk(Bytes(60, 0x5A));
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0);
  EXPECT_EQ(response[62], 0x5A);
}

TEST(ReaderCommand, ShortFrameFromDriverIsAFailedAttempt) {
  FakeDriver driver;
  for (int i = 0; i < 3; ++i) {
    Bytes frame = FakeDriver::Frame(0, 0, {1, 2, 3, 4});
    frame.resize(5);  // the driver delivers only part of the frame
    driver.QueueResponse(frame);
  }
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
}

TEST(ReaderCommand, ReaderFailureStatusIsStillASuccessfulExchange) {
  FakeDriver driver;
  driver.QueueStatus(0x0A);
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0);
  EXPECT_EQ(response[1], 0x0A);
}

TEST(ReaderCommand, WithoutADriverEveryCommandFails) {
  // No driver bound: nothing may crash, everything reports no response.
  Bytes request{0x00, 0x3F, 0x00, 0x00};
  Bytes response(64, 0);
  EXPECT_EQ(Exchange(request, response), 0xFF);
  EXPECT_EQ(ReaderClose(), 0xFF);
  unsigned char info[60] = {};
  EXPECT_EQ(ReaderGetInfo(info), 0xFF);
}

TEST(ReaderCommand, FramesThatDisagreeWithTheirLengthAreRefusedUntouched) {
  struct Case {
    std::uint8_t lengthByte;
    short requestLength;
  };
  // Length byte beyond a frame; lengths that disagree with it; no room for a header.
  const Case cases[] = {{200, 4}, {200, 204}, {61, 65}, {1, 4}, {0, 5}, {0, 3}, {0, 0}};
  for (const Case& c : cases) {
    FakeDriver driver;
    driver.QueueOk();
    Bytes request(256, 0xEE);
    request[0] = 0x00;
    request[1] = 0x3F;
    request[2] = c.lengthByte;
    Bytes response(64, 0);
    EXPECT_EQ(ReaderCommand(request.data(), c.requestLength, response.data(), 64, 1000), 0xFF)
        << int{c.lengthByte} << "/" << c.requestLength;
    EXPECT_TRUE(driver.writes().empty()) << int{c.lengthByte} << "/" << c.requestLength;
    EXPECT_EQ(request[3 + c.lengthByte], 0xEE) << "no check byte written";
  }
}
