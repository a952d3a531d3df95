// The frame trace: what reaches the file, how keys are hidden, and that a
// trace that cannot be written never breaks the link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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

// Secrets in frames other than the key commands: a plain Level 3 trailer write,
// the reader's EEPROM both ways. No key byte may reach the file.
TEST_F(FrameTrace, TrailerWritesAndEepromPayloadsAreMasked) {
  const Bytes keyA = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
  const Bytes keyB = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F};
  struct Case {
    const char* name;
    std::function<void()> run;
    char direction;  // the line that carried the secret
  };
  unsigned char trailer[16] = {};
  std::copy(keyA.begin(), keyA.end(), trailer);
  trailer[6] = 0xFF;
  trailer[7] = 0x07;
  trailer[8] = 0x80;
  std::copy(keyB.begin(), keyB.end(), trailer + 10);
  const Case cases[] = {
      {"plain Level 3 trailer write",
       [&] {
         driver.SetResponder([](const Bytes&) { return FakeDriver::Frame(0x80, 0, {0x90}); });
         PLUSSL3Write(0xA2, 7, 1, trailer);
       },
       '>'},
      {"EEPROM write",
       [&] {
         driver.SetResponder([](const Bytes&) { return FakeDriver::Frame(0, 0); });
         ReaderwriteE2(0x40, 6, keyB.data());
       },
       '>'},
      {"EEPROM read",
       [&] {
         driver.SetResponder([&](const Bytes&) {
           return FakeDriver::Frame(0, 0, {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F});
         });
         unsigned char out[6];
         ReaderReadE2(0x40, 6, out);
       },
       '<'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ostrel::link::trace::Configure(nullptr));
    std::remove(path.c_str());
    ASSERT_TRUE(ostrel::link::trace::Configure(path.c_str()));
    c.run();
    bool seen = false;
    for (const std::string& line : Lines(path)) {
      const std::string body = Body(line);
      seen = seen || (body[0] == c.direction && body.find("**") != std::string::npos);
      for (const Bytes* key : {&keyA, &keyB}) {
        char text[32];
        std::snprintf(text, sizeof text, "%02X %02X %02X", (*key)[0], (*key)[1], (*key)[2]);
        EXPECT_EQ(body.find(text), std::string::npos) << body;
      }
    }
    EXPECT_TRUE(seen) << "no masked line in that direction";
  }
}

TEST_F(FrameTrace, MoreSecretsThanItCanTrackMaskTheWholeFrame) {
  driver.SetResponder([](const Bytes&) { return FakeDriver::Frame(0, 0); });
  std::vector<std::array<std::uint8_t, 2>> many(40);
  std::vector<std::unique_ptr<ostrel::link::trace::SecretBytes>> guards;
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = {static_cast<std::uint8_t>(0xC0 + i), 0x00};
    guards.push_back(std::make_unique<ostrel::link::trace::SecretBytes>());
    guards.back()->Add(many[i].data(), 1);
  }
  EXPECT_EQ(ReaderBuzzer(0x01, 0x02, 0x03, 0xE7), 0);  // 0xE7: a secret beyond the table
  while (!guards.empty()) guards.pop_back();
  EXPECT_EQ(ReaderBuzzer(0x01, 0x02, 0x03, 0xE7), 0);  // no secrets any more
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Body(lines[0]), "> ** ** ** ** ** ** ** **");
  EXPECT_EQ(Body(lines[2]).substr(0, 22), "> 00 60 04 01 02 03 E7");
}

TEST(FrameTraceFile, NewFilesAre0600AndOnlyRegularWritableFilesAreUsed) {
  const std::string dir = testing::TempDir() + "trace_files_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/trace.log";
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  // the path given to the library
    bool opens;
    unsigned mode;  // of `file` afterwards (0: no such file)
  };
  auto existing = [&](unsigned mode) {
    std::ofstream(file) << "earlier\n";
    ::chmod(file.c_str(), mode);
  };
  const Case cases[] = {
      {"new file", [&] { return file; }, true, 0600},
      {"existing 0644 file",
       [&] {
         existing(0644);
         return file;
       },
       true, 0644},
      {"link to a file",
       [&] {
         existing(0640);
         std::filesystem::create_symlink(file, dir + "/link");
         return dir + "/link";
       },
       true, 0640},
      {"read-only file",
       [&] {
         existing(0444);
         return file;
       },
       false, 0444},
      {"directory",
       [&] {
         std::filesystem::create_directory(file);
         return file;
       },
       false, 0},
      {"fifo",
       [&] {
         ::mkfifo(file.c_str(), 0600);
         return file;
       },
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    std::filesystem::remove_all(file, ec);
    std::filesystem::remove(dir + "/link", ec);
    const std::string given = c.prepare();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ostrel::link::trace::Configure(given.c_str()), c.opens);
    const std::string err = testing::internal::GetCapturedStderr();
    if (!c.opens) {
      EXPECT_NE(err.find(given), std::string::npos) << err;
    }
    ostrel::link::trace::Configure(nullptr);
    struct stat st {};
    const bool regular = ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (c.mode != 0) {
      ASSERT_TRUE(regular);
      EXPECT_EQ(st.st_mode & 07777, c.mode);
    } else {
      EXPECT_FALSE(regular) << "nothing put in its place";
    }
  }
  std::filesystem::remove_all(dir);
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
