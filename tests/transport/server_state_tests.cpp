// pelkin-sim killed outright in the middle of a burst of writes: its state
// file must still load and hold either the old or the new contents of the
// write in flight, never a mix.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "level3_card.h"
#include "loopback.h"
#include "ostrel.h"
#include "sim_process.h"

namespace transport_test {
namespace {

constexpr int kBlocks = 3;  // blocks 4, 5 and 6, written together

// The contents of block `k` in generation `g`; bytes 0 and 1 name the generation.
void Pattern(int g, int k, unsigned char out[16]) {
  out[0] = static_cast<unsigned char>(g);
  out[1] = static_cast<unsigned char>(g >> 8);
  for (int i = 2; i < 16; ++i) out[i] = static_cast<unsigned char>(g * 31 + k * 17 + i);
}

// The generation that all three blocks hold, or -1 when they are not one whole write.
int GenerationOnCard() {
  unsigned char data[16 * kBlocks];
  if (PLUSSL3Read(0x33, kFirstTestBlock, kBlocks, data) != 0) return -2;
  const int g = data[0] | (data[1] << 8);
  for (int k = 0; k < kBlocks; ++k) {
    unsigned char expected[16];
    Pattern(g, k, expected);
    if (std::memcmp(expected, data + 16 * k, 16) != 0) return -1;
  }
  return g;
}

TEST(ServerState, KilledMidBurstLeavesOldOrNewContentsNeverAMix) {
  const std::string state =
      testing::TempDir() + "killed_card_" + std::to_string(::getpid()) + ".json";
  std::remove(state.c_str());
  ASSERT_EQ(OpenReader("sim:state=" + state + ",seed=1"), 0);
  ASSERT_EQ(MakeLevel3Card(), "");
  unsigned char data[16 * kBlocks];
  for (int k = 0; k < kBlocks; ++k) Pattern(0, k, data + 16 * k);
  ASSERT_EQ(PLUSSL3Write(0xA3, kFirstTestBlock, kBlocks, data), 0);
  int on_card = 0;
  // The state file is one simulator's at a time.
  ASSERT_EQ(OpenReader("sim:"), 0);

  for (int round = 0; round < 3; ++round) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state, "--seed",
                                       std::to_string(10 + round)}));
    ASSERT_EQ(OpenReader(sim.address()), 0);
    ASSERT_EQ(StartSession(3), 0);

    // Write generation after generation until the server dies under us.
    const pid_t pid = sim.pid();
    std::thread killer([pid, round] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * round));
      ::kill(pid, SIGKILL);
    });
    int last_ok = on_card;
    const auto start = std::chrono::steady_clock::now();
    for (int g = on_card + 1; MillisecondsSince(start) < 5000; ++g) {
      for (int k = 0; k < kBlocks; ++k) Pattern(g, k, data + 16 * k);
      if (PLUSSL3Write(0xA3, kFirstTestBlock, kBlocks, data) != 0) break;
      last_ok = g;
    }
    killer.join();
    EXPECT_EQ(sim.Wait(3000), 128 + SIGKILL);
    EXPECT_GT(last_ok, on_card) << "round " << round << ": no write before the kill";

    // The file loads, and holds the last acknowledged write or the one in flight.
    ASSERT_EQ(OpenReader("sim:state=" + state + ",seed=2"), 0) << "round " << round;
    ASSERT_EQ(StartSession(1), 0);
    on_card = GenerationOnCard();
    ASSERT_GE(on_card, 0) << "round " << round << ": the blocks are not one whole write";
    EXPECT_TRUE(on_card == last_ok || on_card == last_ok + 1)
        << "round " << round << ": generation " << on_card << " after " << last_ok;
    ASSERT_EQ(OpenReader("sim:"), 0);
  }
  std::remove(state.c_str());
}

}  // namespace
}  // namespace transport_test
