// pelkin-sim as a process: its address line, framing on the stream, one
// client at a time, recovery from broken clients, signals and its options.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "loopback.h"
#include "sim_process.h"

namespace transport_test {
namespace {

using Clock = std::chrono::steady_clock;

// A request every reader model answers: the reader's information record.
const Bytes kGetInfo = Frame(0, 0x4F);

class Server : public testing::Test {
 protected:
  void Start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--listen", "127.0.0.1:0", "--seed", "5"});
    ASSERT_TRUE(sim.Start(PELKIN_SIM, args)) << "pelkin-sim did not announce itself";
    ASSERT_EQ(sim.address().rfind("tcp:127.0.0.1:", 0), 0u) << sim.address();
    ASSERT_NE(sim.address(), "tcp:127.0.0.1:0") << "the port actually bound is printed";
  }

  static Bytes Ask(const Peer& peer, const Bytes& request, int timeoutMs = 2000) {
    peer.Send(request);
    return peer.ReceiveFrame(timeoutMs);
  }

  SimProcess sim;
};

TEST_F(Server, AnswersFramesSentBackToBackOrInPieces) {
  Start();
  Peer client = Connect(sim.address());
  ASSERT_TRUE(client.valid());
  const Bytes first = Ask(client, kGetInfo);
  ASSERT_TRUE(ValidFrame(first)) << first.size();

  // Three requests in one burst: three answers, in order.
  Bytes burst;
  for (int i = 0; i < 3; ++i) burst.insert(burst.end(), kGetInfo.begin(), kGetInfo.end());
  client.Send(burst);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.ReceiveFrame(), first) << i;

  // A request in single bytes with pauses shorter than the reader's patience.
  for (std::uint8_t b : kGetInfo) {
    client.Send({b});
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  EXPECT_EQ(client.ReceiveFrame(), first);
}

TEST_F(Server, BrokenOrStalledRequestsLeaveItReady) {
  Start();
  const Bytes good = [&] {
    Peer probe = Connect(sim.address());
    return Ask(probe, kGetInfo);
  }();
  ASSERT_TRUE(ValidFrame(good));

  // A client that vanishes mid-frame: the next client starts from a clean slate.
  {
    Peer quitter = Connect(sim.address());
    ASSERT_TRUE(quitter.valid());
    quitter.Send({0x00, 0x4F});
  }
  Peer next = Connect(sim.address());
  EXPECT_EQ(Ask(next, kGetInfo), good);

  // Half a frame that then stalls is dropped; a whole frame after it is answered.
  next.Send({0x00, 0x61, 0x02});
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // twice the server's patience
  EXPECT_EQ(Ask(next, kGetInfo), good);
}

TEST_F(Server, OneClientAtATime) {
  Start();
  Peer first = Connect(sim.address());
  ASSERT_TRUE(ValidFrame(Ask(first, kGetInfo)));
  Peer second = Connect(sim.address());  // waits in the queue
  ASSERT_TRUE(second.valid());
  second.Send(kGetInfo);
  EXPECT_TRUE(second.Receive(1, 300).empty()) << "served while the first client is still there";
  EXPECT_TRUE(ValidFrame(Ask(first, kGetInfo)));
  first.Close();
  EXPECT_TRUE(ValidFrame(second.ReceiveFrame(2000))) << "served once the first has gone";
}

TEST_F(Server, AnIdleClientGivesWayOnlyWhenAnotherWaits) {
  Start({"--idle-timeout", "1"});
  Peer first = Connect(sim.address());
  ASSERT_TRUE(ValidFrame(Ask(first, kGetInfo)));
  // Alone, an idle client keeps the reader well past the time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(ValidFrame(Ask(first, kGetInfo))) << "dropped with nobody waiting";

  Peer second = Connect(sim.address());
  ASSERT_TRUE(second.valid());
  const auto start = Clock::now();
  second.Send(kGetInfo);
  EXPECT_TRUE(ValidFrame(second.ReceiveFrame(4000))) << "the waiting client was never served";
  EXPECT_GE(MillisecondsSince(start), 700) << "the idle client had its time first";
  EXPECT_TRUE(first.SeesEnd(1000)) << "the idle client is told it was dropped";
}

TEST_F(Server, ASecondServerOnTheSameStateFileSaysSoAndStops) {
  const std::string state =
      testing::TempDir() + "locked_card_" + std::to_string(::getpid()) + ".json";
  std::remove(state.c_str());
  Start({"--state", state});
  SimProcess second;
  EXPECT_FALSE(second.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state}, 3000));
  EXPECT_EQ(second.Wait(3000), 1);
  // The first one still serves, and saves, its card.
  Peer client = Connect(sim.address());
  EXPECT_TRUE(ValidFrame(Ask(client, kGetInfo)));
  client.Close();
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);
  SimProcess after;
  EXPECT_TRUE(after.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state}))
      << "free once the first has gone";
  EXPECT_EQ(after.Stop(SIGINT, 3000), 0);
  std::remove(state.c_str());
  std::remove((state + ".lock").c_str());
}

TEST_F(Server, StopSignalsEndItCleanlyEvenMidSession) {
  Start();
  Peer client = Connect(sim.address());
  ASSERT_TRUE(ValidFrame(Ask(client, kGetInfo)));
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);

  SimProcess other;
  ASSERT_TRUE(other.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0"}));
  EXPECT_EQ(other.Stop(SIGINT, 3000), 0);
}

TEST_F(Server, StopSavesTheCardAndAnUnusableStateFileIsRefused) {
  const std::string state =
      testing::TempDir() + "server_card_" + std::to_string(::getpid()) + ".json";
  std::remove(state.c_str());
  Start({"--state", state});
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);
  std::ifstream saved(state);
  ASSERT_TRUE(saved.good()) << "no state file after SIGTERM";

  SimProcess reload;
  EXPECT_TRUE(reload.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state}));
  EXPECT_EQ(reload.Stop(SIGINT, 3000), 0);

  { std::ofstream(state, std::ios::trunc) << "{\"truncated"; }
  SimProcess refused;
  EXPECT_FALSE(refused.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state}, 3000))
      << "a damaged card must not be replaced by a fresh one";
  EXPECT_NE(refused.Wait(3000), 0);
  std::ifstream kept(state);
  std::string contents((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "{\"truncated") << "the damaged file is left for its owner";
  std::remove(state.c_str());
}

TEST_F(Server, LostRequestsGoUnanswered) {
  Start({"--lose-request", "1"});
  Peer client = Connect(sim.address());
  client.Send(kGetInfo);
  EXPECT_TRUE(client.Receive(1, 300).empty());
}

TEST_F(Server, DelayedAnswersComeLate) {
  Start({"--delay", "1", "--delay-ms", "300"});
  Peer client = Connect(sim.address());
  auto start = Clock::now();
  EXPECT_TRUE(ValidFrame(Ask(client, kGetInfo, 3000)));
  EXPECT_GE(MillisecondsSince(start), 290);
}

TEST(ServerOptions, BadOptionsAreRefusedWithUsage) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--corrupt", "1.5"},
                                        {"--lose-answer", "x"},
                                        {"--bogus"},
                                        {"--seed", "-3"},
                                        {"--listen"},
                                        {"--listen", "127.0.0.1:http"},
                                        // a card in vpcd has no reader link to disturb
                                        {"--vpcd", "127.0.0.1:1", "--corrupt", "0.1"},
                                        {"--vpcd", "127.0.0.1:1", "--delay-ms", "5"},
                                        {"--vpcd", "127.0.0.1:1", "--sim", "lose-answer=1"},
                                        {"--vpcd", "127.0.0.1:1", "--pty"},
                                        {"--vpcd", "127.0.0.1:1", "--listen", "127.0.0.1:0"},
                                        {"--vpcd", "no-port"}}) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start(PELKIN_SIM, args, 3000)) << args[0];
    EXPECT_NE(sim.Wait(3000), 0) << args[0];
  }
}

TEST(ServerPty, SerialBackendReachesItThroughAPseudoTerminal) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start(PELKIN_SIM, {"--pty"}));
  ASSERT_EQ(sim.address().rfind("serial:/dev/", 0), 0u) << sim.address();
  Hollink driver = Hollink::Bind();
  ASSERT_EQ(driver.Open(sim.address()), 0);
  unsigned char answer[64];
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(driver.write(kGetInfo.data(), static_cast<int>(kGetInfo.size()), 1000), 0);
    int got = driver.read(answer, 64, 2000);
    ASSERT_GT(got, 0) << round;
    EXPECT_TRUE(ValidFrame(Bytes(answer, answer + got)));
    // Closing and reopening the device (a reset) finds the server still there.
    ASSERT_EQ(driver.reset(), 0);
  }
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);
}

}  // namespace
}  // namespace transport_test
