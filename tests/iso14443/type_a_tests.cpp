// Type A selection and the CRYPTO1 block and value commands against the
// scripted reader: exact frames, copied outputs, activation and value blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "fake_driver.h"
#include "iso14443/type_a.h"
#include "ostrel.h"

using ostrel::test::Bytes;
using ostrel::test::FakeDriver;

namespace {

const unsigned char kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const unsigned char kPart[4] = {0x11, 0x22, 0x33, 0x44};

Bytes Fill(std::size_t n) {
  return Bytes(n, 0xEE);
}

}  // namespace

TEST(TypeACommands, FramesAreBuiltExactlyAsTabled) {
  struct Case {
    const char* name;
    std::function<unsigned char()> call;
    Bytes expected;
  };
  unsigned char part[4];
  unsigned char sak = 0;
  unsigned char block[16];
  const unsigned char data[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const Case cases[] = {
      {"anticollision", [&] { return PiccAntion(0x20, part); },
       FakeDriver::Request(0, 0x42, {0x20})},
      {"select", [&] { return PiccSelect(kPart, &sak); },
       FakeDriver::Request(0, 0x43, {0x11, 0x22, 0x33, 0x44})},
      {"auth", [] { return PiccAuth(0x60, 0x08); }, FakeDriver::Request(0, 0x44, {0x60, 0x08})},
      {"halt", [] { return PiccHalt(); }, FakeDriver::Request(0, 0x45)},
      {"read block", [&] { return PiccReadBlock(0x3F, block); },
       FakeDriver::Request(0, 0x46, {0x3F})},
      {"write block", [&] { return PiccWriteBlock(0x09, data); },
       FakeDriver::Request(0, 0x47, {0x09, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})},
      {"value 1000", [] { return PiccValue(0xC1, 0x05, 1000, 0x06); },
       FakeDriver::Request(0, 0x70, {0xC1, 0x05, 0xE8, 0x03, 0x00, 0x00, 0x06})},
      {"value -2", [] { return PiccValue(0xC0, 0x05, -2, 0x05); },
       FakeDriver::Request(0, 0x70, {0xC0, 0x05, 0xFE, 0xFF, 0xFF, 0xFF, 0x05})},
      {"anticoll2", [&] { return PiccAnticoll2(0x01, 0x02, part); },
       FakeDriver::Request(0, 0x71, {0x01, 0x02})},
      {"auth2", [] { return PiccAuth2(0x01, 0x02, 0x03); },
       FakeDriver::Request(0, 0x72, {0x01, 0x02, 0x03})},
      {"auth key: sector before key", [] { return PiccAuthKey(0x04, kKey, 8); },
       FakeDriver::Request(0, 0x73, {0x04, 0x08, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5})},
      {"cascade anticollision: select code first", [&] { return PiccCaseAntion(0x10, 0x95, part); },
       FakeDriver::Request(0, 0x74, {0x95, 0x10})},
      {"cascade select", [&] { return PiccCaseSelect(0x97, kPart, &sak); },
       FakeDriver::Request(0, 0x75, {0x97, 0x11, 0x22, 0x33, 0x44})},
      {"value debit", [] { return PiccValueDebit(0x02, 0x04, 0x01020304); },
       FakeDriver::Request(0, 0x77, {0x02, 0x04, 0x04, 0x03, 0x02, 0x01})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    driver.QueueOk(Bytes(16, 0x5A));
    EXPECT_EQ(c.call(), 0);
    ASSERT_EQ(driver.writes().size(), 1u);
    EXPECT_EQ(driver.writes()[0], c.expected);
  }
}

TEST(TypeACommands, RequestSendsOneOnlyForWakeUpAll) {
  FakeDriver driver;
  unsigned char atq[2] = {0xEE, 0xEE};
  driver.QueueOk({0x44, 0x00});
  driver.QueueOk({0x04, 0x00});
  EXPECT_EQ(ostrel::iso::PiccRequest(0x52, atq), 0);
  EXPECT_EQ(Bytes(atq, atq + 2), (Bytes{0x44, 0x00}));
  EXPECT_EQ(ostrel::iso::PiccRequest(0x26, atq), 0);
  EXPECT_EQ(Bytes(atq, atq + 2), (Bytes{0x04, 0x00}));
  EXPECT_EQ(driver.writes()[0], FakeDriver::Request(0, 0x41, {0x01}));
  EXPECT_EQ(driver.writes()[1], FakeDriver::Request(0, 0x41, {0x00}));
}

TEST(TypeACommands, OutputsAreCopiedOnlyOnSuccess) {
  FakeDriver driver;
  Bytes block = Fill(17);
  const Bytes stored = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

  driver.QueueOk(stored);
  EXPECT_EQ(PiccReadBlock(4, block.data()), 0);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 16), stored);
  EXPECT_EQ(block[16], 0xEE);

  block = Fill(16);
  driver.QueueResponse(FakeDriver::Frame(0, 0x0A, stored));
  EXPECT_EQ(PiccReadBlock(4, block.data()), 0x0A);
  EXPECT_EQ(block, Fill(16));

  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(PiccReadBlock(4, block.data()), 0xFF);
  EXPECT_EQ(block, Fill(16));

  unsigned char sak = 0xEE;
  driver.QueueOk({0x20, 0x99});
  EXPECT_EQ(PiccSelect(kPart, &sak), 0);
  EXPECT_EQ(sak, 0x20);
  driver.QueueResponse(FakeDriver::Frame(0, 0x02, {0x08}));
  EXPECT_EQ(PiccCaseSelect(0x93, kPart, &sak), 0x02);
  EXPECT_EQ(sak, 0x20);

  unsigned char part[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  driver.QueueOk({0xDE, 0xAD, 0xBE, 0xEF});
  EXPECT_EQ(PiccCaseAntion(0, 0x93, part), 0);
  EXPECT_EQ(Bytes(part, part + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(TypeACommands, AnAnswerShorterThanTheOutputIsRefused) {
  // Copying 16 bytes from a 4-byte answer would hand out the check byte and
  // stale buffer contents as card data.
  FakeDriver driver;
  Bytes block = Fill(16);
  driver.QueueOk({1, 2, 3, 4});
  EXPECT_EQ(PiccReadBlock(4, block.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(block, Fill(16));

  unsigned char sak = 0xEE;
  driver.QueueOk();
  EXPECT_EQ(PiccSelect(kPart, &sak), OSTREL_BAD_LENGTH);
  EXPECT_EQ(sak, 0xEE);

  unsigned char part[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  driver.QueueOk({1, 2, 3});
  EXPECT_EQ(PiccAntion(0, part), OSTREL_BAD_LENGTH);
  EXPECT_EQ(Bytes(part, part + 4), Fill(4));
}

TEST(TypeACommands, NullPointersAreRefusedWithoutTraffic) {
  FakeDriver driver;
  unsigned char buffer[16] = {};
  unsigned char sak = 0;
  EXPECT_EQ(PiccAntion(0, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccSelect(nullptr, &sak), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccSelect(kPart, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccReadBlock(0, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccWriteBlock(0, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccAnticoll2(0, 0, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccAuthKey(0, nullptr, 0), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccCaseAntion(0, 0x93, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccCaseSelect(0x93, nullptr, &sak), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccCaseSelect(0x93, kPart, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccReadValue(0, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(ostrel::iso::PiccRequest(0x52, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccActivate(0x52, nullptr, buffer, &sak, &sak), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccActivate(0x52, buffer, nullptr, &sak, &sak), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccActivate(0x52, buffer, buffer, nullptr, &sak), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PiccActivate(0x52, buffer, buffer, &sak, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(driver.writes().empty());
}

// ---- Activation --------------------------------------------------------------

namespace {

// A card in the reader's field: answers request, cascade anticollision and
// cascade select with the UID parts of its cascade levels.
struct Card {
  Bytes atq{0x44, 0x00};
  std::vector<Bytes> parts;  // one 4-byte part per cascade level
  std::vector<std::uint8_t> saks;
  int failRequests = 0;  // the first n requests get status 0x14
  int failAtLevel = -1;  // anticollision at this level gets status 0x0B

  FakeDriver::Responder Responder() {
    return [this](const Bytes& request) -> std::optional<Bytes> {
      const std::uint8_t command = request[1];
      if (command == 0x41) {
        if (failRequests > 0) {
          --failRequests;
          return FakeDriver::Frame(0, 0x14);
        }
        return FakeDriver::Frame(0, 0, atq);
      }
      const std::size_t level = (request[3] - 0x93u) / 2;
      if (level >= parts.size()) return FakeDriver::Frame(0, 0x0C);
      if (command == 0x74) {
        if (static_cast<int>(level) == failAtLevel) return FakeDriver::Frame(0, 0x0B);
        return FakeDriver::Frame(0, 0, parts[level]);
      }
      if (command == 0x75) return FakeDriver::Frame(0, 0, {saks[level]});
      return std::nullopt;
    };
  }
};

struct Activation {
  unsigned char atq[2] = {0xEE, 0xEE};
  unsigned char uid[11];
  unsigned char uidLength = 0xEE;
  unsigned char sak = 0xEE;
  unsigned char status = 0;

  Activation() { std::fill(std::begin(uid), std::end(uid), 0xEE); }
  void Run(unsigned char mode = 0x52) { status = PiccActivate(mode, atq, uid, &uidLength, &sak); }
  Bytes Uid(std::size_t n) const { return Bytes(uid, uid + n); }
};

}  // namespace

TEST(PiccActivate, AssemblesFourSevenAndTenByteUids) {
  struct Case {
    const char* name;
    unsigned char mode;
    std::vector<Bytes> parts;
    std::vector<std::uint8_t> saks;
    Bytes uid;
  };
  const Case cases[] = {
      {"4 bytes", 0x52, {{0xA1, 0xB2, 0xC3, 0xD4}}, {0x20}, {0xA1, 0xB2, 0xC3, 0xD4}},
      {"7 bytes",
       0x26,
       {{0x88, 0x04, 0x51, 0x62}, {0x73, 0x84, 0x95, 0xA6}},
       {0x04, 0x20},
       {0x04, 0x51, 0x62, 0x73, 0x84, 0x95, 0xA6}},
      // Tags other than 0x88: the tag is dropped by position, not by value.
      {"10 bytes",
       0x52,
       {{0x01, 0x10, 0x11, 0x12}, {0x02, 0x13, 0x14, 0x15}, {0x16, 0x17, 0x18, 0x19}},
       {0x24, 0x04, 0x08},
       {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    Card card;
    card.parts = c.parts;
    card.saks = c.saks;
    driver.SetResponder(card.Responder());
    Activation a;
    a.Run(c.mode);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.uidLength, c.uid.size());
    Bytes uid = c.uid;
    uid.push_back(0xEE);  // nothing beyond the UID is written
    EXPECT_EQ(a.Uid(uid.size()), uid);
    EXPECT_EQ(a.sak, c.saks.back());
    EXPECT_EQ(Bytes(a.atq, a.atq + 2), (Bytes{0x44, 0x00}));

    const std::uint8_t all = c.mode == 0x52 ? 1 : 0;
    std::vector<Bytes> expected = {FakeDriver::Request(0, 0x41, Bytes(1, all))};
    for (std::size_t level = 0; level < c.parts.size(); ++level) {
      const auto code = static_cast<std::uint8_t>(0x93 + 2 * level);
      Bytes select(5, code);
      std::copy(c.parts[level].begin(), c.parts[level].end(), select.begin() + 1);
      expected.push_back(FakeDriver::Request(0, 0x74, {code, 0x00}));
      expected.push_back(FakeDriver::Request(0, 0x75, select));
    }
    EXPECT_EQ(driver.writes(), expected);
  }
}

TEST(PiccActivate, UidStillIncompleteAfterThreeLevelsFails) {
  FakeDriver driver;
  Card card;
  card.parts = {{0x88, 1, 2, 3}, {0x88, 4, 5, 6}, {0x88, 7, 8, 9}};
  card.saks = {0x04, 0x04, 0x04};
  driver.SetResponder(card.Responder());
  Activation a;
  a.Run();
  EXPECT_EQ(a.status, OSTREL_NO_CARD);
  EXPECT_EQ(a.uidLength, 0xEE);
  EXPECT_EQ(driver.writes().size(), 7u);  // no fourth level is tried
  EXPECT_EQ(a.Uid(10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE}));
}

TEST(PiccActivate, TheRequestIsRetriedOnce) {
  for (int failures : {1, 2}) {
    SCOPED_TRACE(failures);
    FakeDriver driver;
    Card card;
    card.parts = {{0xA1, 0xB2, 0xC3, 0xD4}};
    card.saks = {0x08};
    card.failRequests = failures;
    driver.SetResponder(card.Responder());
    Activation a;
    a.Run();
    if (failures == 1) {
      EXPECT_EQ(a.status, 0);
      EXPECT_EQ(a.uidLength, 4);
      ASSERT_EQ(driver.writes().size(), 4u);
      EXPECT_EQ(driver.writes()[0], driver.writes()[1]);
    } else {
      // No anticollision frame follows two failed requests; nothing is written.
      EXPECT_EQ(a.status, OSTREL_NO_CARD);
      EXPECT_EQ(driver.writes().size(), 2u);
      EXPECT_EQ(Bytes(a.atq, a.atq + 2), (Bytes{0xEE, 0xEE}));
      EXPECT_EQ(a.uidLength, 0xEE);
      EXPECT_EQ(a.sak, 0xEE);
    }
  }
}

TEST(PiccActivate, FailureAtLevelTwoKeepsWhatEarlierStepsWrote) {
  FakeDriver driver;
  Card card;
  card.parts = {{0x88, 0x04, 0x51, 0x62}, {0x73, 0x84, 0x95, 0xA6}};
  card.saks = {0x04, 0x20};
  card.failAtLevel = 1;
  driver.SetResponder(card.Responder());
  Activation a;
  a.Run();
  // The reader's own status (0x0B) is not passed on.
  EXPECT_EQ(a.status, OSTREL_NO_CARD);
  EXPECT_EQ(Bytes(a.atq, a.atq + 2), (Bytes{0x44, 0x00}));
  EXPECT_EQ(a.sak, 0x04);
  EXPECT_EQ(a.Uid(4), (Bytes{0x04, 0x51, 0x62, 0xEE}));
  EXPECT_EQ(a.uidLength, 0xEE);
}

TEST(PiccActivate, LinkFailureAndFailedSelectAreNoCardToo) {
  FakeDriver driver;
  driver.QueueOk({0x44, 0x00});
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  Activation a;
  a.Run();
  EXPECT_EQ(a.status, OSTREL_NO_CARD);

  driver.ClearLog();
  driver.QueueOk({0x44, 0x00});
  driver.QueueOk({1, 2, 3, 4});
  driver.QueueStatus(0x0C);
  Activation b;
  b.Run();
  EXPECT_EQ(b.status, OSTREL_NO_CARD);
  EXPECT_EQ(b.sak, 0xEE);
  EXPECT_EQ(driver.writes().size(), 3u);
}

// ---- Value blocks ----------------------------------------------------------

TEST(PiccWriteValue, EncodesValueComplementCopyAndAddress) {
  FakeDriver driver;
  driver.QueueOk();
  driver.QueueOk();
  driver.QueueStatus(0x06);
  EXPECT_EQ(PiccWriteValue(5, 1), 0);
  EXPECT_EQ(PiccWriteValue(0x21, -1), 0);
  EXPECT_EQ(PiccWriteValue(0x21, -1), 0x06);
  EXPECT_EQ(driver.writes()[0],
            FakeDriver::Request(0, 0x47,
                                {0x05, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00,
                                 0x00, 0x00, 0x05, 0xFA, 0x05, 0xFA}));
  EXPECT_EQ(driver.writes()[1],
            FakeDriver::Request(0, 0x47,
                                {0x21, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0x21, 0xDE, 0x21, 0xDE}));
}

namespace {

Bytes ValueBlock(std::int32_t value, std::uint8_t address) {
  const auto v = static_cast<std::uint32_t>(value);
  Bytes b(16);
  for (int i = 0; i < 4; ++i) {
    b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    b[4 + i] = static_cast<std::uint8_t>(~b[i]);
    b[8 + i] = b[i];
  }
  b[12] = address;
  b[13] = static_cast<std::uint8_t>(~address);
  b[14] = address;
  b[15] = b[13];
  return b;
}

}  // namespace

TEST(PiccReadValue, DecodesValuesIncludingNegativeAndForeignAddress) {
  FakeDriver driver;
  const std::int32_t values[] = {0, 1, -1, 123456789, INT32_MIN, INT32_MAX};
  for (std::int32_t v : values) {
    SCOPED_TRACE(v);
    driver.QueueOk(ValueBlock(v, 9));
    int read = 0x5555;
    EXPECT_EQ(PiccReadValue(9, &read), 0);
    EXPECT_EQ(read, v);
  }
  // A value block copied from block 4 reads from block 9 all the same.
  driver.QueueOk(ValueBlock(-300, 4));
  int read = 0;
  EXPECT_EQ(PiccReadValue(9, &read), 0);
  EXPECT_EQ(read, -300);
  EXPECT_EQ(driver.writes().back(), FakeDriver::Request(0, 0x46, {0x09}));
}

TEST(PiccReadValue, EveryBrokenRedundancyIsNotAValueBlock) {
  FakeDriver driver;
  // Flipping any single bit of bytes 0..15 breaks one of the redundancy tests.
  for (std::size_t index = 0; index < 16; ++index) {
    for (int bit : {0x01, 0x80}) {
      SCOPED_TRACE(testing::Message() << "byte " << index << " bit " << bit);
      Bytes block = ValueBlock(0x12345678, 7);
      block[index] = static_cast<std::uint8_t>(block[index] ^ bit);
      driver.QueueOk(block);
      int value = 42;
      EXPECT_EQ(PiccReadValue(7, &value), OSTREL_BAD_VALUE_BLOCK);
      EXPECT_EQ(value, 42);
    }
  }
  // Consistent copies of an address that is not complemented.
  Bytes block = ValueBlock(5, 7);
  block[13] = block[15] = 7;
  driver.QueueOk(block);
  int value = 42;
  EXPECT_EQ(PiccReadValue(7, &value), OSTREL_BAD_VALUE_BLOCK);
  EXPECT_EQ(value, 42);
}

TEST(PiccReadValue, ReadFailureIsPassedOnAndValueUntouched) {
  FakeDriver driver;
  driver.QueueStatus(0x0A);
  int value = 42;
  EXPECT_EQ(PiccReadValue(7, &value), 0x0A);
  for (int i = 0; i < 3; ++i) driver.QueueReadFailure();
  EXPECT_EQ(PiccReadValue(7, &value), 0xFF);
  EXPECT_EQ(value, 42);
}
