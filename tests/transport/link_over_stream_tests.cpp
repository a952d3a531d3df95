// The library's three-attempt exchange over a real TCP stream to readers that
// misbehave: one that never answers and one that answers garbage first.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "loopback.h"
#include "ostrel.h"

namespace transport_test {
namespace {

using Clock = std::chrono::steady_clock;

class LinkOverTcp : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("OSTREL_TRACE");
    setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
    setenv("HOLLINK_READER", listener.address().c_str(), 1);
    ASSERT_EQ(ReaderCommInit(), 0);
    peer = listener.Accept();
    ASSERT_TRUE(peer.valid());
  }
  Listener listener;
  Peer peer;
};

TEST_F(LinkOverTcp, SilentReaderCostsThreeTimeOutsAndThreeWholeRequests) {
  std::vector<Bytes> seen;
  std::atomic<bool> returned{false};
  std::thread reader_side([&] {
    // Listens until a little after the call returned (to catch a fourth
    // attempt), and never longer than five seconds.
    const auto start = Clock::now();
    long quiet_since = -1;
    while (seen.size() < 4 && MillisecondsSince(start) < 5000) {
      if (returned && quiet_since < 0) quiet_since = MillisecondsSince(start);
      if (quiet_since >= 0 && MillisecondsSince(start) > quiet_since + 300) break;
      Bytes frame = peer.ReceiveFrame(100);
      if (!frame.empty()) seen.push_back(frame);
    }
  });
  const auto start = Clock::now();
  EXPECT_EQ(ReaderClose(), OSTREL_NO_RESPONSE);  // the library's 1000 ms time-out
  const long took = MillisecondsSince(start);
  returned = true;
  reader_side.join();
  EXPECT_GE(took, 2950);
  EXPECT_LT(took, 4500);
  ASSERT_EQ(seen.size(), 3u);
  for (const Bytes& f : seen) EXPECT_EQ(f, Frame(0, 0x3F));
}

TEST_F(LinkOverTcp, GarbageThenAGoodAnswerSucceedsOnALaterAttempt) {
  std::thread reader_side([&] {
    if (peer.ReceiveFrame(2000).size() != 4) return;
    Bytes corrupt = Frame(0, 0x00, {1, 2, 3});
    corrupt[4] ^= 0x10;
    peer.Send(corrupt);  // attempt 1: bad check byte
    if (peer.ReceiveFrame(2000).size() != 4) return;
    peer.Send({0x00, 0x00, 0xF0, 0x01, 0x02});  // attempt 2: a length that cannot fit
    if (peer.ReceiveFrame(2000).size() != 4) return;
    peer.Send(Frame(0, 0x00, {0x5A}));  // attempt 3: good
  });
  unsigned char info[60] = {};
  const auto start = Clock::now();
  EXPECT_EQ(ReaderGetInfo(info), 0);
  reader_side.join();
  EXPECT_EQ(info[0], 0x5A);
  EXPECT_LT(MillisecondsSince(start), 900) << "no attempt waited for its time-out";
}

}  // namespace
}  // namespace transport_test
