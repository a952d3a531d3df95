// The chained T=CL transfer: chunking, link sequence numbers in both phases,
// every flag and sequence mismatch, and answers bounded by the buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "fake_driver.h"
#include "iso14443/tcl.h"
#include "ostrel.h"

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

namespace {

Bytes Pattern(std::size_t n, std::uint8_t start = 1) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), start);
  return b;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// A well-behaved reader: acknowledges command parts that announce more,
// then hands out `parts` of the card's answer one frame each.
struct TclReader {
  std::vector<Bytes> parts;
  std::size_t next = 0;
  std::vector<Bytes> commandParts;

  FakeDriver::Responder Responder() {
    return [this](const Bytes& request) -> std::optional<Bytes> {
      const std::uint8_t control = request[0];
      const std::uint8_t sequence = control & 0x3F;
      if ((control & 0x80) == 0) {
        commandParts.push_back(Slice(request, 3, request[2]));
        if (control & 0x40) return FakeDriver::Frame(sequence | 0x40, 0);
        next = 0;
      }
      const bool more = next + 1 < parts.size();
      const Bytes& part = parts.empty() ? Bytes() : parts[next++];
      return FakeDriver::Frame(static_cast<std::uint8_t>(sequence | 0x80 | (more ? 0x40 : 0)), 0,
                               part);
    };
  }
  Bytes Command() const {
    Bytes all;
    for (const Bytes& p : commandParts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
};

struct Answer {
  Bytes buffer = Bytes(OSTREL_TPCL_MAX_ANSWER + 16, 0xEE);
  unsigned short length = 0xBEEF;
  Bytes Got() const { return Bytes(buffer.begin(), buffer.begin() + length); }
  bool GuardIntactFrom(std::size_t offset) const {
    return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(offset), buffer.end(),
                       [](std::uint8_t b) { return b == 0xEE; });
  }
};

}  // namespace

TEST(PiccTPCL, AnAnswerToTheFirstFrameEndsTheCall) {
  // Empty and 60-byte commands fit one frame with control 0x00; a longer one
  // whose first frame is already answered sends nothing more.
  for (std::size_t n : {0u, 60u, 150u}) {
    SCOPED_TRACE(n);
    FakeDriver driver;
    driver.QueueResponse(FakeDriver::Frame(0x80, 0, {0x90, 0x01}));
    const Bytes command = Pattern(n);
    Answer a;
    EXPECT_EQ(PiccTPCL(n > 0 ? command.data() : nullptr, static_cast<unsigned short>(n),
                       a.buffer.data(), &a.length),
              0);
    ASSERT_EQ(driver.writes().size(), 1u);
    const std::uint8_t control = n > 60 ? 0x40 : 0x00;
    EXPECT_EQ(driver.writes()[0],
              FakeDriver::Request(control, 0x94, Slice(command, 0, std::min<std::size_t>(n, 60))));
    EXPECT_EQ(a.Got(), (Bytes{0x90, 0x01}));
    EXPECT_TRUE(a.GuardIntactFrom(2));
  }
  EXPECT_EQ(FakeDriver::Request(0x00, 0x94), (Bytes{0x00, 0x94, 0x00, 0x6B}));
}

TEST(PiccTPCL, LongCommandsAreSplitIntoSixtyByteFrames) {
  for (std::size_t n : {61u, 120u, 121u}) {
    SCOPED_TRACE(n);
    FakeDriver driver;
    TclReader reader;
    reader.parts = {{0x90}};
    driver.SetResponder(reader.Responder());
    const Bytes command = Pattern(n);
    Answer a;
    EXPECT_EQ(PiccTPCL(command.data(), static_cast<unsigned short>(n), a.buffer.data(), &a.length),
              0);
    const std::size_t frames = (n + 59) / 60;
    ASSERT_EQ(driver.writes().size(), frames);
    for (std::size_t i = 0; i < frames; ++i) {
      const bool last = i + 1 == frames;
      const std::uint8_t control = static_cast<std::uint8_t>(i | (last ? 0x00 : 0x40));
      EXPECT_EQ(driver.writes()[i],
                FakeDriver::Request(control, 0x94, Slice(command, i * 60, last ? n - i * 60 : 60)));
    }
    EXPECT_EQ(reader.Command(), command);
    EXPECT_EQ(a.Got(), (Bytes{0x90}));
  }
}

TEST(PiccTPCL, AnswerInSeveralFramesIsConcatenated) {
  // The reader answers the last command frame (sequence 1) with bit 6 set;
  // the library asks for more with 0x82, then 0x83. An answer that echoes the
  // request's control byte is accepted with or without bit 6.
  FakeDriver driver;
  const Bytes command = Pattern(61);
  driver.QueueResponse(FakeDriver::Frame(0x40, 0));  // accepts the second command frame
  driver.QueueResponse(FakeDriver::Frame(0xC1, 0, {1, 2, 3}));
  driver.QueueResponse(FakeDriver::Frame(0xC2, 0, {4, 5}));
  driver.QueueResponse(FakeDriver::Frame(0x83, 0, {6}));
  Answer a;
  EXPECT_EQ(PiccTPCL(command.data(), 61, a.buffer.data(), &a.length), 0);
  EXPECT_EQ(a.Got(), (Bytes{1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(driver.writes().size(), 4u);
  EXPECT_EQ(driver.writes()[2], FakeDriver::Request(0x82, 0x94));
  EXPECT_EQ(driver.writes()[3], FakeDriver::Request(0x83, 0x94));
  EXPECT_TRUE(a.GuardIntactFrom(6));
}

TEST(PiccTPCL, EveryFlagOrSequenceMismatchIsLinkSequence) {
  struct Case {
    const char* name;
    std::size_t commandLength;
    std::vector<Bytes> responses;
    std::size_t expectedLength;
  };
  const Case cases[] = {
      {"first of two frames acknowledged without bit 6", 61, {FakeDriver::Frame(0x00, 0)}, 0},
      {"acknowledgement with the wrong sequence", 61, {FakeDriver::Frame(0x41, 0)}, 0},
      {"answer with the wrong sequence", 10, {FakeDriver::Frame(0x81, 0, {1})}, 0},
      {"last frame acknowledged as if more could come", 10, {FakeDriver::Frame(0x40, 0)}, 0},
      {"second frame with the wrong sequence",
       61,
       {FakeDriver::Frame(0x40, 0), FakeDriver::Frame(0x80, 0, {1})},
       0},
      {"next answer part with the wrong sequence",
       5,
       {FakeDriver::Frame(0xC0, 0, {1, 2}), FakeDriver::Frame(0x82, 0, {3})},
       2},
      {"next answer part without bit 7",
       5,
       {FakeDriver::Frame(0xC0, 0, {1, 2}), FakeDriver::Frame(0x01, 0, {3})},
       2},
      {"next answer part echoing sequence 0",
       5,
       {FakeDriver::Frame(0xC0, 0, {1, 2}), FakeDriver::Frame(0x80, 0, {3})},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    for (const Bytes& r : c.responses) driver.QueueResponse(r);
    const Bytes command = Pattern(c.commandLength);
    Answer a;
    EXPECT_EQ(PiccTPCL(command.data(), static_cast<unsigned short>(c.commandLength),
                       a.buffer.data(), &a.length),
              OSTREL_LINK_SEQUENCE);
    EXPECT_EQ(driver.writes().size(), c.responses.size());  // nothing after the mismatch
    // Bytes appended before the mismatch stay and are counted.
    EXPECT_EQ(a.length, c.expectedLength);
    EXPECT_EQ(a.Got(), Pattern(c.expectedLength));
  }
}

TEST(PiccTPCL, ReaderStatusAndLinkFailureStopTheTransfer) {
  FakeDriver driver;
  const Bytes command = Pattern(61);
  Answer a;
  driver.QueueResponse(FakeDriver::Frame(0x40, 0x0A));
  EXPECT_EQ(PiccTPCL(command.data(), 61, a.buffer.data(), &a.length), 0x0A);
  EXPECT_EQ(driver.writes().size(), 1u);
  EXPECT_EQ(a.length, 0);

  driver.ClearLog();
  driver.QueueResponse(FakeDriver::Frame(0xC0, 0, {7, 7}));
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(PiccTPCL(command.data(), 10, a.buffer.data(), &a.length), 0xFF);
  EXPECT_EQ(a.length, 2);

  // The next call starts again at sequence number 0.
  driver.ClearLog();
  driver.QueueResponse(FakeDriver::Frame(0x80, 0, {1}));
  EXPECT_EQ(PiccTPCL(command.data(), 10, a.buffer.data(), &a.length), 0);
  EXPECT_EQ(driver.writes()[0][0], 0x00);

  driver.ClearLog();
  driver.QueueResponse(FakeDriver::Frame(0xC0, 0, {7, 7}));
  driver.QueueResponse(FakeDriver::Frame(0x81, 0x6E, {8}));
  EXPECT_EQ(PiccTPCL(command.data(), 10, a.buffer.data(), &a.length), 0x6E);
  EXPECT_EQ(a.length, 2);
}

TEST(PiccTPCL, SequenceNumbersWrapModulo64OnALongAnswer) {
  FakeDriver driver;
  TclReader reader;
  for (int i = 0; i < 70; ++i) reader.parts.push_back({static_cast<std::uint8_t>(i)});
  driver.SetResponder(reader.Responder());
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCL(command, 1, a.buffer.data(), &a.length), 0);
  EXPECT_EQ(a.Got(), Pattern(70, 0));
  ASSERT_EQ(driver.writes().size(), 70u);
  for (std::size_t i = 1; i < 70; ++i) {
    EXPECT_EQ(driver.writes()[i],
              FakeDriver::Request(static_cast<std::uint8_t>(0x80 | (i % 64)), 0x94))
        << "request " << i;
  }
}

TEST(TclTransfer, CommandsBeyondSixteenBitsKeepWrappingTheSequence) {
  FakeDriver driver;
  TclReader reader;
  reader.parts = {{0x90, 0x00}};
  driver.SetResponder(reader.Responder());
  const std::size_t n = 70001;
  Bytes command(n);
  for (std::size_t i = 0; i < n; ++i) command[i] = static_cast<std::uint8_t>(i * 7);
  Bytes answer(4, 0xEE);
  std::size_t length = 99;
  EXPECT_EQ(ostrel::iso::TclTransfer(command.data(), n, answer.data(), 2, &length), 0);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(answer, (Bytes{0x90, 0x00, 0xEE, 0xEE}));
  const std::size_t frames = (n + 59) / 60;
  ASSERT_EQ(driver.writes().size(), frames);
  EXPECT_EQ(reader.Command(), command);
  EXPECT_EQ(driver.writes().back()[0], (frames - 1) % 64);
  EXPECT_EQ(driver.writes()[frames - 2][0], 0x40 | ((frames - 2) % 64));
}

TEST(PiccTPCL, SameBufferForCommandAndAnswer) {
  FakeDriver driver;
  TclReader reader;
  const Bytes long_answer = Pattern(130, 0x80);
  reader.parts = {Slice(long_answer, 0, 60), Slice(long_answer, 60, 60),
                  Slice(long_answer, 120, 10)};
  driver.SetResponder(reader.Responder());
  const Bytes command = Pattern(120);
  Bytes buffer = command;
  buffer.resize(OSTREL_TPCL_MAX_ANSWER, 0xEE);
  unsigned short length = 0;
  EXPECT_EQ(PiccTPCL(buffer.data(), 120, buffer.data(), &length), 0);
  EXPECT_EQ(reader.Command(), command);  // no answer byte leaked into the command
  EXPECT_EQ(length, 130);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 130), long_answer);
}

TEST(PiccTPCLEx, AnswerBeyondCapacityStopsThereAndLeavesTheGuardIntact) {
  FakeDriver driver;
  TclReader reader;
  reader.parts = {Pattern(40), Pattern(40, 41)};
  driver.SetResponder(reader.Responder());
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCLEx(command, 1, a.buffer.data(), 50, &a.length), OSTREL_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.length, 50);
  EXPECT_EQ(a.Got(), Pattern(50));
  EXPECT_TRUE(a.GuardIntactFrom(50));

  // Exactly the capacity fits.
  reader.next = 0;
  Answer b;
  EXPECT_EQ(PiccTPCLEx(command, 1, b.buffer.data(), 80, &b.length), 0);
  EXPECT_EQ(b.Got(), Pattern(80));
  EXPECT_TRUE(b.GuardIntactFrom(80));

  // No capacity at all: no buffer needed, any answer byte overflows.
  unsigned short length = 7;
  EXPECT_EQ(PiccTPCLEx(command, 1, nullptr, 0, &length), OSTREL_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0);
}

TEST(PiccTPCL, NeverWritesMoreThanItsFixedMaximum) {
  FakeDriver driver;
  TclReader reader;
  for (int i = 0; i < 10; ++i)
    reader.parts.push_back(Pattern(60, static_cast<std::uint8_t>(i * 60)));
  driver.SetResponder(reader.Responder());
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCL(command, 1, a.buffer.data(), &a.length), OSTREL_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.length, OSTREL_TPCL_MAX_ANSWER);
  EXPECT_EQ(a.Got(), Pattern(OSTREL_TPCL_MAX_ANSWER, 0));
  EXPECT_TRUE(a.GuardIntactFrom(OSTREL_TPCL_MAX_ANSWER));
}

TEST(PiccTPCL, EndlessMoreFollowsEndsInAStatus) {
  FakeDriver driver;
  int frames = 0;
  driver.SetResponder([&frames](const Bytes& request) -> std::optional<Bytes> {
    ++frames;
    return FakeDriver::Frame(static_cast<std::uint8_t>((request[0] & 0x3F) | 0xC0), 0,
                             Bytes(60, 0x77));
  });
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCL(command, 1, a.buffer.data(), &a.length), OSTREL_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.length, OSTREL_TPCL_MAX_ANSWER);
  EXPECT_TRUE(a.GuardIntactFrom(OSTREL_TPCL_MAX_ANSWER));
  EXPECT_EQ(frames, 9);

  // Endless empty parts never reach the capacity; the transfer still ends.
  frames = 0;
  driver.SetResponder([&frames](const Bytes& request) -> std::optional<Bytes> {
    ++frames;
    return FakeDriver::Frame(static_cast<std::uint8_t>((request[0] & 0x3F) | 0xC0), 0);
  });
  Answer b;
  EXPECT_EQ(PiccTPCL(command, 1, b.buffer.data(), &b.length), OSTREL_LINK_SEQUENCE);
  EXPECT_EQ(b.length, 0);
  EXPECT_EQ(frames, 64);
  EXPECT_TRUE(b.GuardIntactFrom(0));
}

TEST(PiccTPCL, EmptyAnswerPartsBetweenDataAreAccepted) {
  FakeDriver driver;
  TclReader reader;
  reader.parts = {{1}, {}, {}, {2, 3}, {}};
  driver.SetResponder(reader.Responder());
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCL(command, 1, a.buffer.data(), &a.length), 0);
  EXPECT_EQ(a.Got(), (Bytes{1, 2, 3}));
}

TEST(PiccTPCL, MissingPointersAreRefusedWithoutTraffic) {
  FakeDriver driver;
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCL(nullptr, 1, a.buffer.data(), &a.length), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccTPCL(command, 1, nullptr, &a.length), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccTPCL(command, 1, a.buffer.data(), nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccTPCLEx(command, 1, nullptr, 5, &a.length), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(ostrel::iso::TclTransfer(command, 1, a.buffer.data(), 10, nullptr),
            OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());
  EXPECT_EQ(a.length, 0xBEEF);
}

TEST(PiccTPCLEx, AReaderStatusOf0xF2StillReportsTheBytesAppended) {
  // The first part of the answer arrives, then the reader itself answers 0xF2.
  FakeDriver driver;
  driver.SetResponder([](const Bytes& request) -> std::optional<Bytes> {
    if ((request[0] & 0x80) == 0) return FakeDriver::Frame(0xC0, 0, {0x90, 0x01, 0x02});
    return FakeDriver::Frame(request[0], OSTREL_BAD_ARGUMENT);
  });
  Answer a;
  const std::uint8_t command[1] = {0x30};
  EXPECT_EQ(PiccTPCLEx(command, 1, a.buffer.data(), 100, &a.length), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(a.Got(), (Bytes{0x90, 0x01, 0x02}));
}
