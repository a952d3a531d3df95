#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace pelkin::test {
namespace {

TEST(ReaderFrames, DamagedOrUnknownRequestsGetAFailureStatus) {
  Bench bench;
  std::uint8_t bad[] = {0x00, 0x3F, 0x00, 0xC1};  // check byte should be C0
  Reply reply = bench.reader().Handle(bad, sizeof bad);
  ASSERT_EQ(reply.frame.size(), 4u);
  EXPECT_EQ(reply.frame[1], kStBadFrame);
  std::uint8_t shortFrame[] = {0x00, 0x3F, 0x05, 0xC5};  // claims five data bytes
  EXPECT_EQ(bench.reader().Handle(shortFrame, sizeof shortFrame).frame[1], kStBadFrame);
  EXPECT_EQ(bench.reader().Handle(bad, 2).frame[1], kStBadFrame);
  EXPECT_EQ(bench.Send(0x99).status, kStUnknownCommand);
  EXPECT_EQ(bench.Send(0x43, {1, 2}).status, kStBadLength);
  EXPECT_EQ(bench.Send(0x3F).status, 0);
}

TEST(ReaderFrames, EepromKeepsWhatIsWrittenWithinItsRange) {
  Bench bench;
  EXPECT_EQ(bench.Send(0x62, {0x10, 3, 0xA1, 0xB2, 0xC3}).status, 0);
  Answer read = bench.Send(0x61, {0x0F, 5});
  ASSERT_EQ(read.status, 0);
  EXPECT_EQ(read.data, (Bytes{0x00, 0xA1, 0xB2, 0xC3, 0x00}));
  EXPECT_EQ(bench.Send(0x61, {0xF0, 0x20}).status, kStBadAddress);
  EXPECT_EQ(bench.Send(0x61, {0x00, 61}).status, kStBadLength);
  EXPECT_EQ(bench.Send(0x62, {0x10, 3, 0xA1}).status, kStBadLength);
  Answer info = bench.Send(0x4F);
  ASSERT_EQ(info.status, 0);
  EXPECT_FALSE(info.data.empty());
}

TEST(TclLink, LongCommandsAreTakenInPartsAndSequenceErrorsRefused) {
  Bench bench;  // Level 0 card
  bench.ActivateLayer4();
  Bytes longCommand(70, 0x11);
  longCommand[0] = 0xA8;
  Answer first = bench.Send(0x94, Bytes(longCommand.begin(), longCommand.begin() + 60), 0x40);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.control, 0x40);
  EXPECT_TRUE(first.data.empty());
  Answer last = bench.Send(0x94, Bytes(longCommand.begin() + 60, longCommand.end()), 0x01);
  EXPECT_EQ(last.status, 0);
  EXPECT_EQ(last.control, 0x81);
  EXPECT_EQ(last.data, Bytes{kCardLengthError});

  EXPECT_EQ(bench.Send(0x94, {0xAA}, 0x40).control, 0x40);
  EXPECT_EQ(bench.Send(0x94, {0xAA}, 0x05).status, kStSequence);  // expected sequence 1
  EXPECT_EQ(bench.Send(0x94, {}, 0x81).status, kStSequence);      // no answer pending
}

TEST(TclLink, LongAnswersComeBackInSeveralFrames) {
  Bench bench(CardAtLevel({false, true, false}, 3));
  bench.ActivateLayer4();
  HostSession host;
  const std::uint16_t key = 0x4000 + 2 * 32;  // sector 32 has 16 blocks
  ASSERT_EQ(host.FirstAuth(bench, key, Filled(0xFF), Filled(0x21)), 0x90);
  Bytes data;
  // 1 + 64 + 8 bytes: two frames, the Bench checks the continuation flags.
  ASSERT_EQ(host.Read(bench, 0x31, 128, 4, &data), 0x90);
  EXPECT_EQ(data, Bytes(64, 0));
}

TEST(RawExchange, SilentCardStillGivesTwoDataBytes) {
  Bench bench;
  Answer answer = bench.Send(0x90, {0xC0, 7, 0xAA});
  EXPECT_EQ(answer.status, kStNoCard);
  EXPECT_EQ(answer.data.size(), 2u);
}

}  // namespace
}  // namespace pelkin::test

namespace pelkin::test {
namespace {

// Arbitrary well-framed requests at every level: the reader always answers with a
// well-formed frame (the Bench checks length and check byte) and never misbehaves.
TEST(ReaderFrames, ArbitraryRequestsAlwaysGetAWellFormedAnswer) {
  const std::uint8_t commands[] = {0x3F, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x4C, 0x4E,
                                   0x4F, 0x50, 0x60, 0x61, 0x62, 0x70, 0x71, 0x72, 0x73, 0x74,
                                   0x75, 0x77, 0x90, 0x91, 0x92, 0x93, 0x94, 0xEE};
  for (int level = 0; level <= 3; ++level) {
    Bench bench(CardAtLevel({level == 2, true, level % 2 == 1}, level), 11);
    Rng rng(static_cast<std::uint64_t>(level) + 100);
    for (int i = 0; i < 4000; ++i) {
      if (i % 50 == 0) bench.ActivateLayer4();
      const std::uint8_t command = commands[rng.Next() % sizeof commands];
      Bytes data(rng.Next() % 61);
      rng.Fill(data.data(), data.size());
      // Give the card commands a plausible first byte now and then.
      if (command == 0x94 && !data.empty() && (rng.Next() & 1)) {
        const std::uint8_t codes[] = {0x70, 0x72, 0x76, 0x78, 0x31, 0xA1, 0xB0,
                                      0xB6, 0xC2, 0x42, 0x4B, 0x40, 0xA8, 0xAA};
        data[0] = codes[rng.Next() % sizeof codes];
      }
      if (command == 0x90 && data.size() > 2 && (rng.Next() & 1)) {
        const std::uint8_t codes[] = {0x0A, 0x0B, 0x76, 0x72, 0x38, 0xA8, 0xAA};
        data[2] = codes[rng.Next() % sizeof codes];
      }
      const std::uint8_t control = command == 0x94 ? static_cast<std::uint8_t>(rng.Next()) : 0;
      Answer answer = bench.Send(command, data, control);
      ASSERT_LE(answer.data.size(), 60u);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace pelkin::test
