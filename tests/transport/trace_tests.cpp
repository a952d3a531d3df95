// The frame trace: what reaches the file, how keys are hidden, and that a
// trace that cannot be written never breaks the link.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "link/driver.h"
#include "link/trace.h"
#include "loopback.h"
#include "ostrel.h"

namespace {

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

std::string TempPath(const char* stem) {
  return testing::TempDir() + stem + std::to_string(::getpid()) + ".log";
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The part of a trace line after its time stamp, which must be well formed.
std::string Body(const std::string& line) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([<>].*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, stamp)) return "malformed: " + line;
  return m[1].str();
}

class FrameTrace : public testing::Test {
 protected:
  void SetUp() override {
    std::remove(path.c_str());
    ASSERT_TRUE(ostrel::link::trace::Configure(path.c_str()));
  }
  void TearDown() override {
    ostrel::link::trace::Configure(nullptr);
    std::remove(path.c_str());
  }
  std::string path = TempPath("frame_trace");
  FakeDriver driver;
};

TEST_F(FrameTrace, EveryAttemptIsTracedWithItsOutcome) {
  Bytes bad = FakeDriver::Frame(0, 0);
  bad.back() ^= 0x01;
  driver.QueueWriteResult(5);
  driver.QueueReadFailure();
  driver.QueueResponse(bad);
  driver.QueueOk({0xAB, 0xCD});
  // 1st attempt: write fails; 2nd: no frame; 3rd: bad check byte... and then no 4th.
  EXPECT_EQ(ReaderClose(), 0xFF);
  EXPECT_EQ(ReaderClose(), 0x00);

  std::vector<std::string> bodies;
  for (const std::string& line : Lines(path)) bodies.push_back(Body(line));
  const std::vector<std::string> expected = {
      "> 00 3F 00 C0  (write failed: 5)",
      "> 00 3F 00 C0",
      "< (no frame)",
      "> 00 3F 00 C0",
      "< 00 00 00 FE",
      "> 00 3F 00 C0",
      "< 00 00 02 AB CD 9B",
  };
  EXPECT_EQ(bodies, expected);
}

TEST_F(FrameTrace, KeyBytesAreMaskedInKeyAndEepromCommands) {
  const unsigned char key[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
  driver.SetResponder([](const Bytes&) { return FakeDriver::Frame(0, 0); });
  EXPECT_EQ(PiccAuthKey(0x60, key, 0x05), 0);
  EXPECT_EQ(ReaderLoadKey(0x01, 0x02, key), 0);
  EXPECT_EQ(ReaderwriteE2(0x10, 6, key), 0);

  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Body(lines[0]).substr(0, 17), "> 00 73 08 60 05 ");
  EXPECT_EQ(Body(lines[0]), "> 00 73 08 60 05 ** ** ** ** ** ** **") << "check byte included";
  EXPECT_EQ(lines[0].find("A1"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("F6"), std::string::npos) << lines[0];
  EXPECT_EQ(Body(lines[2]).substr(0, 17), "> 00 4C 08 01 02 ");
  EXPECT_NE(lines[2].find("** ** ** ** ** **"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[2].find("D4"), std::string::npos) << lines[2];
  // EEPROM data may be keys the reader keeps: hidden as well.
  EXPECT_EQ(Body(lines[4]), "> 00 62 08 10 06 ** ** ** ** ** ** **");
  // Masking is for the file only: the frames on the wire carry the real key.
  ASSERT_GE(driver.writes().size(), 2u);
  EXPECT_EQ(driver.writes()[0][5], 0xA1);
  EXPECT_EQ(driver.writes()[1][10], 0xF6);
}

int OverclaimingRead(unsigned char* buffer, int capacity, int) {
  for (int i = 0; i < capacity; ++i) buffer[i] = 0x11;
  return capacity + 500;
}
int AcceptingWrite(const unsigned char*, int, int) {
  return 0;
}

TEST_F(FrameTrace, ReadClaimingMoreThanTheBufferIsClippedToIt) {
  // A driver that claims more bytes than the capacity must not make the trace read past it.
  ostrel::link::Driver overclaiming{&OverclaimingRead, &AcceptingWrite, nullptr, nullptr};
  ostrel::link::InstallDriver(&overclaiming);
  unsigned char request[8] = {0x00, 0x4F, 0x00};
  unsigned char response[20];
  EXPECT_EQ(ReaderCommand(request, 4, response, 20, 100), 0xFF);
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Body(lines[1]).size(), 1 + 20 * 3u);
}

TEST(FrameTraceFile, UnwritableTraceWarnsAndTheLinkWorksOn) {
  FakeDriver driver;
  driver.QueueOk();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ostrel::link::trace::Configure("/nonexistent-folder/trace.log"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent-folder/trace.log"), std::string::npos) << err;
  EXPECT_EQ(ReaderClose(), 0);
}

// ReaderClose through the link while `peer` plays the reader and answers `answer`.
unsigned char CloseAnsweredBy(const transport_test::Peer& peer,
                              const transport_test::Bytes& answer) {
  std::thread reader_side([&] {
    if (peer.Receive(4, 2000).size() == 4) peer.Send(answer);
  });
  unsigned char status = ReaderClose();
  reader_side.join();
  return status;
}

// OSTREL_TRACE is read at ReaderCommInit; frames here cross a real TCP stream.
TEST(FrameTraceFile, EnvironmentVariableIsReadAtInit) {
  transport_test::Listener listener;
  const std::string path = TempPath("frame_trace_env");
  std::remove(path.c_str());
  setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  setenv("HOLLINK_READER", listener.address().c_str(), 1);
  setenv("OSTREL_TRACE", path.c_str(), 1);
  ASSERT_EQ(ReaderCommInit(), 0);
  transport_test::Peer peer = listener.Accept();
  ASSERT_TRUE(peer.valid());

  EXPECT_EQ(CloseAnsweredBy(peer, transport_test::Frame(0, 0x0A)), 0x0A);
  std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Body(lines[0]), "> 00 3F 00 C0");
  EXPECT_EQ(Body(lines[1]), "< 00 0A 00 F5");

  // Changing the variable takes effect at the next init, not before.
  unsetenv("OSTREL_TRACE");
  EXPECT_EQ(CloseAnsweredBy(peer, transport_test::Frame(0, 0)), 0);
  EXPECT_EQ(Lines(path).size(), 4u);

  ASSERT_EQ(ReaderCommInit(), 0);
  transport_test::Peer second = listener.Accept();
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(CloseAnsweredBy(second, transport_test::Frame(0, 0)), 0);
  EXPECT_EQ(Lines(path).size(), 4u) << "tracing stopped with the variable gone";
  std::remove(path.c_str());
}

}  // namespace
