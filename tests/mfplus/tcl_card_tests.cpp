// The test card helper itself: long commands and answers cross the real
// T=CL transfer intact, and raw exchanges keep their bit counts.
#include "iso14443/tcl.h"
#include "plus_fixture.h"

namespace ostrel::test {
namespace {

TEST(TclCardHelper, LongCommandsAndAnswersCrossTheLinkIntact) {
  FakeDriver driver;
  TclCard card(driver);
  Bytes command(130), answer(130);
  for (std::size_t i = 0; i < 130; ++i) {
    command[i] = static_cast<std::uint8_t>(i);
    answer[i] = static_cast<std::uint8_t>(0xFF - i);
  }
  card.QueueAnswer(answer);
  std::uint8_t received[200];
  std::size_t length = 0;
  ASSERT_EQ(iso::TclTransfer(command.data(), command.size(), received, sizeof received, &length),
            0);
  ASSERT_EQ(card.commands().size(), 1u);
  EXPECT_EQ(card.commands()[0], command);
  EXPECT_EQ(Bytes(received, received + length), answer);
  // Three command frames, then two requests for the rest of the answer.
  ASSERT_EQ(driver.writes().size(), 5u);
  const std::uint8_t controls[] = {0x40, 0x41, 0x02, 0x83, 0x84};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(driver.writes()[i][0], controls[i]) << i;
}

TEST(TclCardHelper, RawExchangesKeepTheirBitCounts) {
  FakeDriver driver;
  TclCard card(driver);
  card.QueueRaw(RawReply::Nibble(0x0A));
  const std::uint8_t send[1] = {0x26};
  std::uint8_t received[58] = {};
  unsigned short bits = 0;
  int elapsed = 0;
  ASSERT_EQ(PiccExChangBlock(3, 7, send, 7, received, &bits, &elapsed), 0);
  ASSERT_EQ(card.rawRequests().size(), 1u);
  EXPECT_EQ(card.rawRequests()[0].bits, 7);
  EXPECT_EQ(card.rawRequests()[0].options, 3);
  EXPECT_EQ(card.rawRequests()[0].bytes, Bytes{0x26});
  EXPECT_EQ(bits, 4);
  EXPECT_EQ(received[0], 0x0A);
}

}  // namespace
}  // namespace ostrel::test
