// The tcp: and serial: backends of libhollink.so, driven through its ordinal
// table against a peer the test controls byte by byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "loopback.h"

namespace transport_test {
namespace {

using Clock = std::chrono::steady_clock;

class TcpBackend : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(driver.Open(listener.address()), 0);
    peer = listener.Accept();
    ASSERT_TRUE(peer.valid());
  }

  int Read(int capacity = 64, int timeoutMs = 1000) {
    buffer.assign(static_cast<std::size_t>(capacity), 0xEE);
    int got = driver.read(buffer.data(), capacity, timeoutMs);
    if (got > 0) buffer.resize(static_cast<std::size_t>(got));
    return got;
  }
  int Write(const Bytes& frame) {
    return driver.write(frame.data(), static_cast<int>(frame.size()), 1000);
  }

  Hollink driver = Hollink::Bind();
  Listener listener;
  Peer peer;
  Bytes buffer;
};

TEST_F(TcpBackend, FramesCrossTheStreamWholeWhateverTheirPieces) {
  const Bytes request = Frame(0, 0x61, {0x10, 0x04});
  ASSERT_EQ(Write(request), 0);
  EXPECT_EQ(peer.Receive(request.size() + 1, 300), request) << "nothing may be added";

  // The answer dribbles in three pieces; read waits for the whole frame.
  const Bytes answer = Frame(0, 0, {1, 2, 3, 4});
  std::thread sender([&] {
    peer.Send(Bytes(answer.begin(), answer.begin() + 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    peer.Send(Bytes(answer.begin() + 2, answer.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    peer.Send(Bytes(answer.begin() + 5, answer.end()));
  });
  EXPECT_EQ(Read(), static_cast<int>(answer.size()));
  sender.join();
  EXPECT_EQ(buffer, answer);

  // Two frames back to back in one burst are two reads, split by their length bytes.
  const Bytes first = Frame(0, 0, {9});
  const Bytes second = Frame(0, 0x0A);
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  peer.Send(both);
  ASSERT_EQ(Read(), static_cast<int>(first.size()));
  EXPECT_EQ(buffer, first);
  ASSERT_EQ(Read(), static_cast<int>(second.size()));
  EXPECT_EQ(buffer, second);
}

TEST_F(TcpBackend, ReadHonoursItsTimeOut) {
  auto start = Clock::now();
  EXPECT_EQ(Read(64, 250), -1);
  long took = MillisecondsSince(start);
  EXPECT_GE(took, 240);
  EXPECT_LT(took, 1000);

  // A frame that stops half-way is a failed read after the same time-out.
  peer.Send({0x00, 0x00, 0x05, 0x01});
  start = Clock::now();
  EXPECT_EQ(Read(64, 250), -1);
  EXPECT_GE(MillisecondsSince(start), 240);
}

TEST_F(TcpBackend, OversizedFrameOrLateAnswerDoesNotPoisonTheNextExchange) {
  // A length byte of 200 cannot fit a 64-byte buffer: refused at once, and its
  // remaining bytes are discarded rather than read as the next frame's header.
  Bytes big = {0x00, 0x00, 200};
  big.resize(204, 0x00);
  peer.Send(big);
  auto start = Clock::now();
  EXPECT_EQ(Read(64, 1000), -1);
  EXPECT_LT(MillisecondsSince(start), 500);

  // An answer that arrives after its read gave up is stale by the next write.
  peer.Send(Frame(0, 0x33, {7}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(Write(Frame(0, 0x3F)), 0);
  EXPECT_EQ(peer.Receive(4, 500), Frame(0, 0x3F));
  const Bytes fresh = Frame(0, 0, {0x42});
  peer.Send(fresh);
  ASSERT_EQ(Read(), static_cast<int>(fresh.size()));
  EXPECT_EQ(buffer, fresh);
}

TEST_F(TcpBackend, FrameLargerThanTheCapacityFails) {
  const Bytes answer = Frame(0, 0, Bytes(10, 0x55));  // 14 bytes
  peer.Send(answer);
  EXPECT_EQ(Read(13), -1);
  peer.Send(answer);
  EXPECT_EQ(Read(14), 14);
}

TEST_F(TcpBackend, PeerThatVanishesMidFrameFailsFastAndIsReconnected) {
  peer.Send({0x00, 0x00, 0x08, 0x01, 0x02});
  peer.Close();
  auto start = Clock::now();
  EXPECT_EQ(Read(64, 2000), -1);
  EXPECT_LT(MillisecondsSince(start), 1000) << "end of stream must not wait for the time-out";

  // The next write reconnects by itself, so a restarted reader is found again.
  ASSERT_EQ(Write(Frame(0, 0x3F)), 0);
  Peer again = listener.Accept(1000);
  ASSERT_TRUE(again.valid());
  EXPECT_EQ(again.Receive(4, 500), Frame(0, 0x3F));
  again.Send(Frame(0, 0));
  EXPECT_EQ(Read(), 4);
}

TEST_F(TcpBackend, WritingToAGonePeerFailsWithoutKillingTheHost) {
  // With SIGPIPE at its default a send into a reset connection would end this process.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  struct sigaction old {};
  sigaction(SIGPIPE, &dfl, &old);
  listener.Close();
  peer.Close();
  int failures = 0;
  for (int i = 0; i < 5; ++i) {
    if (Write(Frame(0, 0x3F)) != 0) ++failures;
    Read(64, 20);
  }
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_GT(failures, 0);
}

TEST_F(TcpBackend, ResetReconnects) {
  ASSERT_EQ(driver.reset(), 0);
  EXPECT_TRUE(peer.SeesEnd(1000)) << "the old connection is closed";
  Peer again = listener.Accept(1000);
  ASSERT_TRUE(again.valid());
  ASSERT_EQ(Write(Frame(0, 0x4F)), 0);
  EXPECT_EQ(again.Receive(4, 500), Frame(0, 0x4F));

  listener.Close();
  again.Close();
  testing::internal::CaptureStderr();
  EXPECT_NE(driver.reset(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(Write(Frame(0, 0x4F)), 0);
  EXPECT_EQ(Read(64, 50), -1);
}

volatile sig_atomic_t g_alarms = 0;
extern "C" void CountAlarm(int) {
  g_alarms = g_alarms + 1;
}

TEST_F(TcpBackend, SignalsDuringTheWaitNeitherCutItShortNorLoseTheFrame) {
  struct sigaction on_alarm {};
  on_alarm.sa_handler = CountAlarm;  // no SA_RESTART: poll and read see EINTR
  struct sigaction old {};
  sigaction(SIGALRM, &on_alarm, &old);
  itimerval every_20ms{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20ms, nullptr);
  g_alarms = 0;

  auto start = Clock::now();
  int timed_out = Read(64, 200);
  long took = MillisecondsSince(start);

  const Bytes answer = Frame(0, 0, {5, 6});
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Send(answer);
  });
  int got = Read(64, 1000);
  sender.join();

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  EXPECT_GT(g_alarms, 3);
  EXPECT_EQ(timed_out, -1);
  EXPECT_GE(took, 190);
  EXPECT_EQ(got, static_cast<int>(answer.size()));
  EXPECT_EQ(buffer, answer);
}

TEST(TcpOpen, NothingListeningFailsNamingTheAddress) {
  Hollink driver = Hollink::Bind();
  const std::string address = "tcp:127.0.0.1:" + std::to_string(UnusedPort());
  testing::internal::CaptureStderr();
  int result = driver.Open(address);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(result, 0);
  EXPECT_NE(err.find(address), std::string::npos) << err;

  for (const char* bad :
       {"tcp:127.0.0.1", "tcp:127.0.0.1:0", "tcp::99", "tcp:host:70000", "tcp:127.0.0.1:12ab"}) {
    testing::internal::CaptureStderr();
    EXPECT_NE(driver.Open(bad), 0) << bad;
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(bad), std::string::npos) << err;
  }
  unsigned char frame[4] = {0, 0x3F, 0, 0xC0};
  EXPECT_NE(driver.write(frame, 4, 100), 0) << "no reader after a failed open";
}

TEST(TcpOpen, BracketedIpv6LoopbackIsAccepted) {
  // Only a parse check: the address must reach the connect, which then fails or not.
  Hollink driver = Hollink::Bind();
  testing::internal::CaptureStderr();
  driver.Open("tcp:[::1]:" + std::to_string(UnusedPort()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("expected tcp:HOST:PORT"), std::string::npos) << err;
}

speed_t LineSpeed(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  const bool ok = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
  if (fd >= 0) ::close(fd);
  return ok ? ::cfgetospeed(&tio) : B0;
}

class SerialBackend : public testing::Test {
 protected:
  Hollink driver = Hollink::Bind();
  PtyPeer pty;
};

TEST_F(SerialBackend, RawFramesBothWays) {
  ASSERT_EQ(driver.Open("serial:" + pty.path() + "@9600"), 0);
  // Bytes a cooked terminal would echo, translate or swallow: CR, LF, XON, XOFF, ^C, ^D.
  const Bytes request = Frame(0, 0x62, {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x7F});
  ASSERT_EQ(driver.write(request.data(), static_cast<int>(request.size()), 1000), 0);
  EXPECT_EQ(pty.master().Receive(request.size() + 1, 300), request);

  const Bytes answer = Frame(0x80, 0, {0x0D, 0x0A, 0x03, 0x1A, 0xFF});
  pty.master().Send(answer);
  unsigned char buffer[64];
  ASSERT_EQ(driver.read(buffer, 64, 1000), static_cast<int>(answer.size()));
  EXPECT_EQ(Bytes(buffer, buffer + answer.size()), answer);

  // Nothing may have been echoed back to the host side either.
  auto start = Clock::now();
  EXPECT_EQ(driver.read(buffer, 64, 150), -1);
  EXPECT_GE(MillisecondsSince(start), 140);

  ASSERT_EQ(driver.reset(), 0);
  ASSERT_EQ(driver.write(request.data(), static_cast<int>(request.size()), 1000), 0);
  EXPECT_EQ(pty.master().Receive(request.size(), 300), request);
  EXPECT_EQ(LineSpeed(pty.path()), B9600);
  ASSERT_EQ(driver.Open("serial:" + pty.path()), 0);
  EXPECT_EQ(LineSpeed(pty.path()), B115200) << "the default rate";
}

TEST_F(SerialBackend, UnusableDeviceOrBaudFailsNamingIt) {
  for (std::string reader : {std::string("serial:/nonexistent/ttyUSB9"),
                             std::string("serial:/dev/null"), "serial:" + pty.path() + "@12345",
                             "serial:" + pty.path() + "@fast", std::string("serial:")}) {
    testing::internal::CaptureStderr();
    EXPECT_NE(driver.Open(reader), 0) << reader;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(reader), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace transport_test
