// A long run of Level 3 reads, writes and value operations through a reader
// that loses requests, loses answers after acting and corrupts answers. No call
// may report success wrongly: a read that succeeds returns what the card can
// hold given the calls made, a write or value operation that succeeds has
// taken effect, and the card's blocks afterwards are explained by the calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>

#include "level3_card.h"
#include "link/driver.h"
#include "loopback.h"
#include "ostrel.h"
#include "sim_process.h"

namespace transport_test {
namespace {

using Block = std::array<unsigned char, 16>;

constexpr unsigned short kDataBlock0 = kFirstTestBlock;      // data blocks 4 and 5
constexpr unsigned short kValueBlock = kFirstTestBlock + 2;  // value block 6
constexpr int kSessionTries = 40;

// What the card may hold: every content that the calls made so far explain.
struct Model {
  std::set<Block> data[2];
  std::set<int> value;
};

std::string Hex(unsigned code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

struct LinkCounts {
  int written = 0;
  int noFrame = 0;
  int badCheck = 0;
};

// Counts what the link layer saw, from the frame trace.
LinkCounts CountTrace(const std::string& path) {
  LinkCounts counts;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::size_t at = line.find_first_of("<>");
    if (at == std::string::npos) continue;
    if (line[at] == '>') {
      ++counts.written;
      continue;
    }
    if (line.find("(no frame)") != std::string::npos) {
      ++counts.noFrame;
      continue;
    }
    unsigned x = 0, last = 0;
    int bytes = 0;
    for (std::size_t i = at + 2; i + 1 < line.size(); i += 3) {
      last = static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16));
      x ^= last;
      ++bytes;
    }
    x ^= last;  // the check byte itself is not part of its own XOR
    if (bytes >= 4 && static_cast<unsigned char>(~x) != last) ++counts.badCheck;
  }
  return counts;
}

class FaultRun : public testing::Test {
 protected:
  void SetUp() override {
    state = testing::TempDir() + "fault_run_card_" + std::to_string(::getpid()) + ".json";
    trace = testing::TempDir() + "fault_run_trace_" + std::to_string(::getpid()) + ".log";
    std::remove(state.c_str());
    std::remove(trace.c_str());
  }
  void TearDown() override {
    unsetenv("OSTREL_TRACE");
    std::remove(state.c_str());
    std::remove(trace.c_str());
  }

  void Note(const char* operation, unsigned code) { outcomes[operation][Hex(code)]++; }
  void Run(const std::function<int()>& openFaulty, const std::function<void()>& closeFaulty,
           int operations, int minimumLostAnswers, int minimumBadChecks);

  std::string state;
  std::string trace;
  std::map<std::string, std::map<std::string, int>> outcomes;
};

// Runs `operations` random Level 3 operations on one card through the reader
// that `openFaulty` opens, after a clean setup and before a clean check.
void FaultRun::Run(const std::function<int()>& openFaulty, const std::function<void()>& closeFaulty,
                   int operations, int minimumLostAnswers, int minimumBadChecks) {
  // A clean card at Level 3 with known contents, kept in a state file.
  ASSERT_EQ(OpenReader("sim:state=" + state + ",seed=1"), 0);
  ASSERT_EQ(MakeLevel3Card(), "");
  Model model;
  Block initial{};
  for (int b = 0; b < 2; ++b) {
    initial.fill(static_cast<unsigned char>(0xA0 + b));
    ASSERT_EQ(PLUSSL3Write(0xA1, static_cast<unsigned short>(kDataBlock0 + b), 1, initial.data()),
              0);
    model.data[b] = {initial};
  }
  ASSERT_EQ(PLUSSL3WriteValue(0xA1, kValueBlock, 1000), 0);
  model.value = {1000};

  // The same card behind a reader with faults, every frame traced. The
  // in-process simulator lets go of the state file first: one at a time.
  ASSERT_EQ(OpenReader("sim:"), 0);
  setenv("OSTREL_TRACE", trace.c_str(), 1);
  ASSERT_EQ(openFaulty(), 0);
  ASSERT_EQ(StartSession(kSessionTries), 0);

  std::mt19937 rng(20261208);
  int successes = 0;
  for (int i = 0; i < operations; ++i) {
    unsigned char status = 0;
    const int kind = static_cast<int>(rng() % 5);
    if (kind == 0) {  // write one or both data blocks
      const unsigned char code = static_cast<unsigned char>(0xA0 + rng() % 4);
      const int first = static_cast<int>(rng() % 2);
      const int count = first == 0 ? 1 + static_cast<int>(rng() % 2) : 1;
      unsigned char data[32];
      for (unsigned char& d : data) d = static_cast<unsigned char>(rng());
      status = PLUSSL3Write(code, static_cast<unsigned short>(kDataBlock0 + first),
                            static_cast<unsigned char>(count), data);
      Note("PLUSSL3Write", status);
      for (int k = 0; k < count; ++k) {
        Block written;
        std::memcpy(written.data(), data + 16 * k, 16);
        auto& possible = model.data[first + k];
        if (status == 0)
          possible = {written};  // it took effect, and nothing else can be there
        else
          possible.insert(written);  // it may or may not have taken effect
      }
    } else if (kind == 1) {  // read one or both data blocks
      const unsigned char code = static_cast<unsigned char>(0x30 + rng() % 8);
      const int first = static_cast<int>(rng() % 2);
      const int count = first == 0 ? 1 + static_cast<int>(rng() % 2) : 1;
      unsigned char data[32];
      status = PLUSSL3Read(code, static_cast<unsigned short>(kDataBlock0 + first),
                           static_cast<unsigned char>(count), data);
      Note("PLUSSL3Read", status);
      if (status == 0) {
        for (int k = 0; k < count; ++k) {
          Block got;
          std::memcpy(got.data(), data + 16 * k, 16);
          auto& possible = model.data[first + k];
          ASSERT_EQ(possible.count(got), 1u) << "operation " << i << ": read 0x" << std::hex
                                             << int(code) << " returned bytes no call ever wrote";
          possible = {got};
        }
      }
    } else if (kind == 2) {
      const unsigned char code = static_cast<unsigned char>(0xA0 + rng() % 4);
      const int value = static_cast<int>(rng() % 100000);
      status = PLUSSL3WriteValue(code, kValueBlock, value);
      Note("PLUSSL3WriteValue", status);
      if (status == 0)
        model.value = {value};
      else
        model.value.insert(value);
    } else if (kind == 3) {
      const unsigned char code = static_cast<unsigned char>(0x30 + rng() % 4);
      int value = 0;
      status = PLUSSL3ReadValue(code, kValueBlock, &value);
      Note("PLUSSL3ReadValue", status);
      if (status == 0) {
        ASSERT_EQ(model.value.count(value), 1u)
            << "operation " << i << ": value " << value << " is explained by no call";
        model.value = {value};
      }
    } else {  // increment or decrement and transfer, onto the same block
      const unsigned char code = static_cast<unsigned char>(0xB6 + rng() % 4);
      const int delta = 1 + static_cast<int>(rng() % 50);
      status = PLUSSL3ValueOperTran(code, kValueBlock, kValueBlock, delta);
      Note("PLUSSL3ValueOperTran", status);
      const int sign = code < 0xB8 ? 1 : -1;
      std::set<int> after;
      for (int v : model.value) after.insert(v + sign * delta);
      if (status != 0) after.insert(model.value.begin(), model.value.end());
      model.value = after;
    }
    if (status == 0) {
      ++successes;
    } else {
      // A failure can leave the card's counters ahead of the host's: start over.
      unsigned char session = StartSession(kSessionTries);
      Note("StartSession", session);
      ASSERT_EQ(session, 0) << "no session after " << kSessionTries << " tries";
    }
  }

  // Afterwards, without faults, the card's contents must be ones the calls explain.
  unsetenv("OSTREL_TRACE");
  closeFaulty();
  ASSERT_EQ(OpenReader("sim:state=" + state + ",seed=3"), 0);
  ASSERT_EQ(StartSession(1), 0);
  unsigned char data[32];
  ASSERT_EQ(PLUSSL3Read(0x33, kDataBlock0, 2, data), 0);
  for (int k = 0; k < 2; ++k) {
    Block got;
    std::memcpy(got.data(), data + 16 * k, 16);
    EXPECT_EQ(model.data[k].count(got), 1u) << "block " << kDataBlock0 + k;
  }
  int value = 0;
  ASSERT_EQ(PLUSSL3ReadValue(0x33, kValueBlock, &value), 0);
  EXPECT_EQ(model.value.count(value), 1u) << value;

  // What each layer reported, for the record and as proof that faults happened.
  const LinkCounts link = CountTrace(trace);
  std::printf(
      "link: %d frames written, %d reads without a frame, %d frames with a bad check byte\n",
      link.written, link.noFrame, link.badCheck);
  for (const auto& [operation, codes] : outcomes) {
    std::printf("%-22s", operation.c_str());
    for (const auto& [code, count] : codes) std::printf(" %s x%d", code.c_str(), count);
    std::printf("\n");
  }
  EXPECT_GE(link.noFrame, minimumLostAnswers);
  EXPECT_GE(link.badCheck, minimumBadChecks);
  EXPECT_GT(successes, operations / 2);
}

TEST_F(FaultRun, InProcessReaderLosingAndCorruptingFrames) {
  Run(
      [&] {
        return OpenReader("sim:state=" + state +
                          ",seed=7,lose-request=0.05,lose-answer=0.05,corrupt=0.1");
      },
      [] {}, 500, 20, 20);
}

// Over a real stream only faults that cost no time-out: every lost frame would
// cost a whole second. Late answers that still come in time must pair up right.
TEST_F(FaultRun, PelkinSimOverTcpCorruptingAndDelayingAnswers) {
  SimProcess sim;
  Run(
      [&] {
        if (!sim.Start(PELKIN_SIM, {"--listen", "127.0.0.1:0", "--state", state, "--seed", "7",
                                    "--corrupt", "0.1", "--delay", "0.1", "--delay-ms", "30"})) {
          return -1;
        }
        return OpenReader(sim.address());
      },
      [&] { EXPECT_EQ(sim.Stop(SIGTERM), 0); }, 150, 0, 10);
}

// The real driver, with the answer to one chosen request thrown away after
// the reader has acted on it: the exchange then writes the same frame again.
struct AnswerThief {
  static inline Hollink real;
  static inline bool armed = false;
  static inline std::vector<Bytes> writes;
  static inline std::vector<Bytes> answers;  // what the reads delivered, stolen ones too

  static int Write(const unsigned char* buffer, int length, int timeoutMs) {
    writes.emplace_back(buffer, buffer + length);
    return real.write(buffer, length, timeoutMs);
  }
  static int Read(unsigned char* buffer, int capacity, int timeoutMs) {
    int got = real.read(buffer, capacity, timeoutMs);
    answers.emplace_back(buffer, buffer + (got > 0 ? got : 0));
    const bool tcl = !writes.empty() && writes.back().size() > 1 && writes.back()[1] == 0x94;
    if (armed && tcl) {
      armed = false;
      return -1;
    }
    return got;
  }
  // Routes the library through the thief until the guard goes.
  struct Installed {
    Installed() {
      real = Hollink::Bind();
      ostrel::link::Driver driver{&Read, &Write, real.open, real.reset};
      ostrel::link::InstallDriver(&driver);
    }
    ~Installed() {
      ostrel::link::Driver driver{real.read, real.write, real.open, real.reset};
      ostrel::link::InstallDriver(&driver);
    }
  };
  static void Steal() {
    armed = true;
    writes.clear();
    answers.clear();
  }
};

std::string HexFrame(const Bytes& frame) {
  std::string text;
  for (unsigned char b : frame) text += Hex(b).substr(2) + " ";
  return text;
}

// A lost answer makes the host resend a command that the card has already
// carried out. The card must not carry it out twice, and whatever each layer
// reports, a success must be real.
TEST(LostAnswer, ResentCommandIsNotCarriedOutTwice) {
  ASSERT_EQ(OpenReader("sim:seed=5"), 0);
  ASSERT_EQ(MakeLevel3Card(), "");
  ASSERT_EQ(PLUSSL3WriteValue(0xA1, kValueBlock, 500), 0);
  Block before{};
  before.fill(0x5A);
  ASSERT_EQ(PLUSSL3Write(0xA1, kDataBlock0, 1, before.data()), 0);

  unsigned char write_status = 0, increment_status = 0;
  Block after{};
  after.fill(0xC3);
  {
    AnswerThief::Installed thief;
    AnswerThief::Steal();
    write_status = PLUSSL3Write(0xA1, kDataBlock0, 1, after.data());
    ASSERT_EQ(AnswerThief::writes.size(), 2u) << "the exchange wrote the request again";
    EXPECT_EQ(AnswerThief::writes[0], AnswerThief::writes[1]);
    std::printf(
        "write: first answer (lost) %s\n       second answer      %s\n       PLUSSL3Write -> %s\n",
        HexFrame(AnswerThief::answers[0]).c_str(), HexFrame(AnswerThief::answers[1]).c_str(),
        Hex(write_status).c_str());

    ASSERT_EQ(StartSession(1), 0);
    AnswerThief::Steal();
    increment_status = PLUSSL3ValueOperTran(0xB7, kValueBlock, kValueBlock, 25);
    ASSERT_EQ(AnswerThief::writes.size(), 2u);
    std::printf("increment: second answer %s\n           PLUSSL3ValueOperTran -> %s\n",
                HexFrame(AnswerThief::answers[1]).c_str(), Hex(increment_status).c_str());
  }

  // The card acted once on each: the block holds the new data, the value grew by 25 once.
  ASSERT_EQ(StartSession(1), 0);
  Block on_card{};
  ASSERT_EQ(PLUSSL3Read(0x33, kDataBlock0, 1, on_card.data()), 0);
  EXPECT_EQ(on_card, after);
  int value = 0;
  ASSERT_EQ(PLUSSL3ReadValue(0x33, kValueBlock, &value), 0);
  EXPECT_EQ(value, 525) << "an increment applied twice, or not at all";
  // The replay reaches the card with a stale counter: the card refuses it
  // (MAC status 0xB8 at the session layer) although the first copy took effect.
  EXPECT_NE(write_status, 0) << "the replay was refused, so no success can be reported";
  EXPECT_NE(increment_status, 0);
}

}  // namespace
}  // namespace transport_test
