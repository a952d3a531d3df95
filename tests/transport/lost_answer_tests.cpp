// A chained card answer whose second part is lost on the reader link: the
// reader cannot send that part again, so a read with an answer MAC is asked
// for once more, in step with the card's read counter; other reads report the
// loss. Either way the session goes on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "level3_card.h"
#include "link/driver.h"
#include "ostrel.h"
#include "reader.h"

namespace transport_test {
namespace {

// The simulated reader as the library's driver; it can lose the answer to
// the next request for the second part of a chained answer.
std::unique_ptr<pelkin::Reader> g_reader;
std::vector<std::uint8_t> g_answer;
bool g_loseNextPart = false;

int Write(const unsigned char* frame, int length, int) {
  g_answer = g_reader->Handle(frame, static_cast<std::size_t>(length)).frame;
  // Control bit 7 with sequence 1: the host asks for the second part.
  if (g_loseNextPart && length >= 2 && frame[1] == 0x94 && frame[0] == 0x81) {
    g_loseNextPart = false;
    g_answer.clear();
  }
  return 0;
}

int Read(unsigned char* buffer, int capacity, int) {
  if (g_answer.empty() || g_answer.size() > static_cast<std::size_t>(capacity)) return -1;
  std::memcpy(buffer, g_answer.data(), g_answer.size());
  const int n = static_cast<int>(g_answer.size());
  g_answer.clear();
  return n;
}

int Open() {
  return 0;
}

class LostAnswerPart : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    pelkin::SimOptions options;
    options.seed = 11;
    g_reader = pelkin::CreateReader(options, &error);
    ASSERT_TRUE(g_reader) << error;
    ostrel::link::InstallDriver(&driver_);
    ASSERT_EQ(MakeLevel3Card(), "");
    ASSERT_EQ(StartSession(1), 0);
  }
  void TearDown() override {
    ostrel::link::InstallDriver(nullptr);
    g_reader.reset();
  }
  ostrel::link::Driver driver_{&Read, &Write, &Open, &Open};
};

TEST_F(LostAnswerPart, AMacedReadIsAskedForAgainOthersReportTheLoss) {
  struct Case {
    unsigned char code;
    bool lose;
    unsigned char status;
  };
  const Case cases[] = {
      {0x31, false, 0},
      {0x31, true, 0},
      {0x33, true, 0},
      {0x30, true, OSTREL_LINK_SEQUENCE},
      // The card's MAC input now holds the answer that was lost: a MACed read
      // cannot match it until a new authentication.
      {0x33, false, 0xB8},
  };
  unsigned char expected[64];
  ASSERT_EQ(PLUSSL3Read(0x31, kFirstTestBlock, 4, expected), 0) << "four blocks, two frames";
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << std::hex << int(c.code) << " lose " << c.lose);
    unsigned char out[64] = {};
    g_loseNextPart = c.lose;
    EXPECT_EQ(PLUSSL3Read(c.code, kFirstTestBlock, 4, out), c.status);
    EXPECT_FALSE(g_loseNextPart) << "the answer came in one frame: nothing to lose";
    if (c.status == 0) {
      EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);
    }
    // The session is still in step with the card: a MACed read after a
    // read without a MAC would fail on the lost answer, so the next case
    // after such a loss reads without one first.
    unsigned char again[16];
    EXPECT_EQ(PLUSSL3Read(0x30, kFirstTestBlock, 1, again), 0);
  }
  ASSERT_EQ(StartSession(1), 0);
  unsigned char out[64] = {};
  EXPECT_EQ(PLUSSL3Read(0x33, kFirstTestBlock, 4, out), 0);
  EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);
}

}  // namespace
}  // namespace transport_test
