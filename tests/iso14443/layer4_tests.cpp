// RATS, PPS, deselection and the raw timed exchange against the scripted reader.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_driver.h"
#include "iso14443/tcl.h"
#include "ostrel.h"

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

namespace {
Bytes Fill(std::size_t n) {
  return Bytes(n, 0xEE);
}
}  // namespace

TEST(PiccRATS, CidAboveFourteenIsRefusedWithoutTraffic) {
  FakeDriver driver;
  Bytes ats = Fill(4);
  EXPECT_EQ(PiccRATS(15, ats.data()), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccRATS(10, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());
  EXPECT_EQ(ats, Fill(4));
}

TEST(PiccRATS, CopiesTheAtsWhenItsLengthByteAgrees) {
  FakeDriver driver;
  const Bytes answer = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
  driver.QueueOk(answer);
  Bytes ats = Fill(100);
  EXPECT_EQ(PiccRATS(10, ats.data()), 0);
  EXPECT_EQ(driver.writes()[0], (Bytes{0x00, 0x91, 0x01, 0x0A, 0x65}));
  EXPECT_EQ(Bytes(ats.begin(), ats.begin() + 7), (Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80, 0xEE}));

  // CID 14 is the largest accepted.
  driver.QueueOk({0x01});
  EXPECT_EQ(PiccRATS(14, ats.data()), 0);
  EXPECT_EQ(driver.writes()[1], FakeDriver::Request(0, 0x91, {0x0E}));
}

TEST(PiccRATS, LengthMismatchIsBadLengthAndWritesNothing) {
  FakeDriver driver;
  Bytes ats = Fill(16);
  driver.QueueOk({0x07, 0x75, 0x77, 0x81, 0x02, 0x80});  // TL says 7, frame carries 6
  EXPECT_EQ(PiccRATS(10, ats.data()), OSTREL_BAD_LENGTH);
  driver.QueueOk({0x02});
  EXPECT_EQ(PiccRATS(10, ats.data()), OSTREL_BAD_LENGTH);
  driver.QueueOk();
  EXPECT_EQ(PiccRATS(10, ats.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(ats, Fill(16));

  driver.QueueResponse(FakeDriver::Frame(0, 0x0B, {0x01}));
  EXPECT_EQ(PiccRATS(10, ats.data()), 0x0B);
  EXPECT_EQ(ats, Fill(16));
}

TEST(PiccRATS, EmptyAnswerWhoseCheckByteIsZeroIsStillRefused) {
  // An empty answer has no TL. With control 0xFF its check byte is 0x00,
  // equal to the length byte, and must not pass for a TL.
  FakeDriver driver;
  const Bytes frame = FakeDriver::Frame(0xFF, 0x00);
  ASSERT_EQ(frame[3], 0x00);
  driver.QueueResponse(frame);
  Bytes ats = Fill(4);
  EXPECT_EQ(PiccRATS(10, ats.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(ats, Fill(4));
}

TEST(PiccPPS, RatesAreCheckedThenAnEmptyFrameIsSent) {
  FakeDriver driver;
  EXPECT_EQ(PiccPPS(4, 0), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccPPS(0, 4), OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());
  driver.QueueOk();
  driver.QueueStatus(0x0E);
  EXPECT_EQ(PiccPPS(0, 0), 0);
  EXPECT_EQ(PiccPPS(3, 3), 0x0E);
  EXPECT_EQ(driver.writes()[0], (Bytes{0x00, 0x92, 0x00, 0x6D}));
  EXPECT_EQ(driver.writes()[1], (Bytes{0x00, 0x92, 0x00, 0x6D}));
}

TEST(PiccDeSelect, SendsCommand93WithoutData) {
  FakeDriver driver;
  driver.QueueStatus(0x03);
  EXPECT_EQ(PiccDeSelect(), 0x03);
  EXPECT_EQ(driver.writes()[0], FakeDriver::Request(0, 0x93));
}

// ---- Raw timed exchange ----------------------------------------------------

namespace {

struct Raw {
  Bytes recv = Fill(64);
  unsigned short recvBits = 0xBEEF;
  int elapsed = -7;
  unsigned char Run(unsigned char options, unsigned char exponent, const Bytes& send,
                    unsigned short bits) {
    return PiccExChangBlock(options, exponent, send.empty() ? nullptr : send.data(), bits,
                            recv.data(), &recvBits, &elapsed);
  }
};

// Response data of the raw exchange: valid-bit count, timer count, answer.
Bytes RawAnswer(std::uint8_t validBits, std::uint8_t timer, const Bytes& answer) {
  Bytes data(2 + answer.size());
  data[0] = validBits;
  data[1] = timer;
  for (std::size_t i = 0; i < answer.size(); ++i) data[2 + i] = answer[i];
  return data;
}

}  // namespace

TEST(PiccExChangBlock, HeaderByteCarriesLastBitsAndOptions) {
  FakeDriver driver;
  const Bytes send = {0xA2, 0x00, 0x11, 0x77};
  Raw raw;
  for (int i = 0; i < 4; ++i) driver.QueueOk(RawAnswer(0, 0, {}));
  EXPECT_EQ(raw.Run(3, 7, send, 24), 0);
  EXPECT_EQ(raw.Run(3, 7, send, 7), 0);
  EXPECT_EQ(raw.Run(0xFD, 0, send, 25), 0);  // only option bits 1-0 travel
  EXPECT_EQ(raw.Run(0, 17, {}, 0), 0);
  EXPECT_EQ(driver.writes()[0], FakeDriver::Request(0, 0x90, {0xC0, 0x07, 0xA2, 0x00, 0x11}));
  EXPECT_EQ(driver.writes()[1], FakeDriver::Request(0, 0x90, {0xC7, 0x07, 0xA2}));
  EXPECT_EQ(driver.writes()[2], FakeDriver::Request(0, 0x90, {0x41, 0x00, 0xA2, 0x00, 0x11, 0x77}));
  EXPECT_EQ(driver.writes()[3], FakeDriver::Request(0, 0x90, {0x00, 0x11}));
}

TEST(PiccExChangBlock, ArgumentLimitsAreCheckedWithoutTraffic) {
  FakeDriver driver;
  const Bytes send(56, 0x5A);
  Raw raw;
  EXPECT_EQ(raw.Run(3, 18, send, 8), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(raw.Run(3, 7, send, 449), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(raw.Run(3, 7, {}, 8), OSTREL_BAD_ARGUMENT);  // bits to send, no buffer
  EXPECT_EQ(PiccExChangBlock(3, 7, send.data(), 8, nullptr, &raw.recvBits, &raw.elapsed),
            OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccExChangBlock(3, 7, send.data(), 8, raw.recv.data(), nullptr, &raw.elapsed),
            OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccExChangBlock(3, 7, send.data(), 8, raw.recv.data(), &raw.recvBits, nullptr),
            OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());
  EXPECT_EQ(raw.recvBits, 0xBEEF);
  EXPECT_EQ(raw.elapsed, -7);

  // 448 bits fill the frame: 2 header bytes and 56 payload bytes.
  driver.QueueOk(RawAnswer(0, 0, {}));
  EXPECT_EQ(raw.Run(3, 17, send, 448), 0);
  ASSERT_EQ(driver.writes().size(), 1u);
  EXPECT_EQ(driver.writes()[0].size(), 62u);
  EXPECT_EQ(driver.writes()[0][2], 58);
}

TEST(PiccExChangBlock, ReceivedBitCountFollowsTheValidBits) {
  FakeDriver driver;
  Raw raw;
  driver.QueueOk(RawAnswer(4, 0, {0x0A}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 4);
  EXPECT_EQ(raw.recv[0], 0x0A);

  driver.QueueOk(RawAnswer(0, 0, {1, 2, 3}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 24);
  EXPECT_EQ(Bytes(raw.recv.begin(), raw.recv.begin() + 4), (Bytes{1, 2, 3, 0xEE}));

  driver.QueueOk(RawAnswer(7, 0, {9, 8, 7}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 23);

  // Only bits 2-0 of the header byte count.
  driver.QueueOk(RawAnswer(0xF8, 0, {5, 6}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 16);
}

TEST(PiccExChangBlock, HeaderOnlyAnswerGivesZeroBitsAndLeavesDataAlone) {
  FakeDriver driver;
  Raw raw;
  driver.QueueOk(RawAnswer(4, 200, {}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 0);
  EXPECT_EQ(raw.elapsed, 30206);
  EXPECT_EQ(raw.recv, Fill(64));
}

TEST(PiccExChangBlock, ElapsedIsFormedIn64Bits) {
  FakeDriver driver;
  Raw raw;
  driver.QueueOk(RawAnswer(0, 255, {}));
  EXPECT_EQ(raw.Run(3, 17, {}, 0), 0);
  EXPECT_EQ(raw.elapsed, 39437592);  // 255 * 2^17 * 10000 / 8475
  driver.QueueOk(RawAnswer(0, 1, {}));
  EXPECT_EQ(raw.Run(3, 0, {}, 0), 0);
  EXPECT_EQ(raw.elapsed, 1);
  driver.QueueOk(RawAnswer(0, 0, {}));
  EXPECT_EQ(raw.Run(3, 17, {}, 0), 0);
  EXPECT_EQ(raw.elapsed, 0);
}

TEST(PiccExChangBlock, OutputsAreWrittenWhateverTheReaderStatus) {
  FakeDriver driver;
  Raw raw;
  driver.QueueResponse(FakeDriver::Frame(0, 0x0A, RawAnswer(4, 200, {0x05})));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0x0A);
  EXPECT_EQ(raw.recvBits, 4);
  EXPECT_EQ(raw.recv[0], 0x05);
  EXPECT_EQ(raw.elapsed, 30206);

  // A reader status of 0xFF in a valid frame is an answer, not a link failure.
  raw = Raw();
  driver.QueueResponse(FakeDriver::Frame(0, 0xFF, RawAnswer(0, 1, {0x33})));
  EXPECT_EQ(raw.Run(3, 0, {0xA0}, 8), 0xFF);
  EXPECT_EQ(driver.writes().size(), 2u);  // one attempt: the frame was good
  EXPECT_EQ(raw.recvBits, 8);
  EXPECT_EQ(raw.recv[0], 0x33);
  EXPECT_EQ(raw.elapsed, 1);
}

TEST(PiccExChangBlock, LinkFailureOrShortAnswerWritesNothing) {
  FakeDriver driver;
  Raw raw;
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0xFF);
  for (int i = 0; i < 3; ++i) {
    Bytes bad = FakeDriver::Frame(0, 0xFF, RawAnswer(0, 9, {0x44}));
    bad.back() ^= 0x01;
    driver.QueueResponse(bad);
  }
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0xFF);
  driver.QueueOk({0x00});
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0xFF);
  driver.QueueResponse(FakeDriver::Frame(0, 0x0A, {}));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0xFF);
  EXPECT_EQ(raw.recvBits, 0xBEEF);
  EXPECT_EQ(raw.elapsed, -7);
  EXPECT_EQ(raw.recv, Fill(64));
}

TEST(PiccExChangBlock, ThreeFailedAttemptsAreALinkFailureWhateverTheBufferHolds) {
  // A damaged frame, then two short deliveries of the good one: the stale tail
  // of the damaged frame completes the good one in the buffer, but no attempt
  // delivered a whole frame with a valid check byte.
  FakeDriver driver;
  const Bytes good = FakeDriver::Frame(0, 0, RawAnswer(4, 0, {0x0A}));
  Bytes damaged = good;
  damaged[3] = 0x05;  // the check byte no longer matches
  driver.QueueResponse(damaged);
  driver.QueueResponse(Bytes(good.begin(), good.begin() + 5));
  driver.QueueResponse(Bytes(good.begin(), good.begin() + 5));
  Raw raw;
  EXPECT_EQ(raw.Run(3, 7, {0xAA}, 8), 0xFF);
  EXPECT_EQ(driver.reads(), 3);
  EXPECT_EQ(raw.recvBits, 0xBEEF);
  EXPECT_EQ(raw.elapsed, -7);
  EXPECT_EQ(raw.recv, Fill(64));
}

TEST(PiccExChangBlock, NeverWritesMoreThan58Bytes) {
  FakeDriver driver;
  Raw raw;
  Bytes answer(58);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i + 1);
  driver.QueueOk(RawAnswer(0, 0, answer));
  EXPECT_EQ(raw.Run(3, 7, {0xA0}, 8), 0);
  EXPECT_EQ(raw.recvBits, 58 * 8);
  EXPECT_EQ(Bytes(raw.recv.begin(), raw.recv.begin() + 58), answer);
  EXPECT_EQ(Bytes(raw.recv.begin() + 58, raw.recv.end()), Fill(6));
}

TEST(RawExchange, SmallerCapacityStopsThereWithBufferTooSmall) {
  FakeDriver driver;
  Bytes recv = Fill(8);
  std::size_t bits = 0;
  int elapsed = 0;
  const std::uint8_t send[1] = {0x30};
  driver.QueueOk(RawAnswer(0, 3, {1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(ostrel::iso::RawExchange(3, 7, send, 8, recv.data(), 4, &bits, &elapsed),
            OSTREL_BUFFER_TOO_SMALL);
  EXPECT_EQ(recv, (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(bits, 32u);
  EXPECT_EQ(elapsed, 3 * 128 * 10000 / 8475);

  driver.QueueOk(RawAnswer(4, 0, {0x0A}));
  EXPECT_EQ(ostrel::iso::RawExchange(3, 7, send, 8, recv.data(), 1, &bits, &elapsed), 0);
  EXPECT_EQ(bits, 4u);
}
