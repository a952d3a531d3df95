// Level 3 reads, writes and value commands against the card model.
#include <cstring>

#include "mfplus/sl3_data.h"
#include "plus_fixture.h"

namespace ostrel::test {
namespace {

Block Filled(std::uint8_t first) {
  Block b{};
  for (std::size_t i = 0; i < 16; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

class Sl3DataTest : public PlusTest {
 protected:
  void SetUp() override {
    for (std::uint16_t block = 4; block < 40; ++block) {
      model_.blocks[block] = Filled(static_cast<std::uint8_t>(block * 16));
    }
    Authenticate();
  }

  Bytes kMac() { return Of(session().kMac, 16); }
  Bytes Ti() { return Of(session().ti, 4); }
};

TEST_F(Sl3DataTest, MacedPlainReadOfOneBlock) {
  std::uint8_t out[16] = {};
  ASSERT_EQ(PLUSSL3Read(0x33, 0x0004, 1, out), 0);
  ASSERT_EQ(card_.commands().size(), 1u);
  const Bytes& command = card_.commands()[0];
  // code, block, count and the MAC over code, R_Ctr, TI, block, count.
  Bytes input = Hex("33 0000");
  Bytes ti = Ti();
  input.insert(input.end(), ti.begin(), ti.end());
  Bytes tail = Hex("0400 01");
  input.insert(input.end(), tail.begin(), tail.end());
  Bytes expected = Hex("33 0400 01");
  Bytes mac = Mac(input, session().kMac);
  expected.insert(expected.end(), mac.begin(), mac.end());
  EXPECT_EQ(command, expected);

  Block want = model_.blocks[4];
  EXPECT_EQ(Of(out, 16), Bytes(want.begin(), want.end()));
  EXPECT_EQ(session().readCounter, 1);
  EXPECT_EQ(session().readMacLength, 0);
  EXPECT_EQ(model_.lastReadMacLength, 26u);
}

TEST_F(Sl3DataTest, UnmacedReadsFoldIntoTheNextMacedRead) {
  std::uint8_t out[16];
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  EXPECT_EQ(session().readMacLength, 26);
  ASSERT_EQ(PLUSSL3Read(0x32, 5, 1, out), 0);
  EXPECT_EQ(session().readMacLength, 45);
  // The buffer holds 0x90, the latest R_Ctr, TI, then block, count, data per read.
  const auto& s = session();
  EXPECT_EQ(Of(s.readMacBuffer, 3), Hex("90 0200"));
  EXPECT_EQ(Of(s.readMacBuffer + 26, 3), Hex("0500 01"));
  ASSERT_EQ(PLUSSL3Read(0x33, 6, 1, out), 0);
  EXPECT_EQ(model_.lastReadMacLength, 64u);
  EXPECT_EQ(session().readMacLength, 0);
  Block want = model_.blocks[6];
  EXPECT_EQ(Of(out, 16), Bytes(want.begin(), want.end()));
}

TEST_F(Sl3DataTest, AFailedMacedReadEmptiesTheInputAsTheCardDoes) {
  std::uint8_t out[16];
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  ASSERT_EQ(PLUSSL3Read(0x32, 5, 1, out), 0);
  model_.wrongAnswerMac = true;
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(PLUSSL3Read(0x33, 6, 1, out), 0xB8);
  EXPECT_EQ(Of(out, 16), Bytes(16, 0xEE));
  EXPECT_EQ(session().readMacLength, 0);
  EXPECT_EQ(session().readCounter, 3);
  // One bad answer does not poison the reads after it; a refusal keeps the input.
  model_.wrongAnswerMac = false;
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  EXPECT_EQ(PLUSSL3Read(0x33, 0x0100, 1, out), 0xBA);
  EXPECT_EQ(session().readMacLength, 26);
  ASSERT_EQ(PLUSSL3Read(0x33, 5, 1, out), 0);
  EXPECT_EQ(model_.lastReadMacLength, 45u);
  Block want = model_.blocks[5];
  EXPECT_EQ(Of(out, 16), Bytes(want.begin(), want.end()));
  // A MACed answer cut short: the card has emptied its input all the same.
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  card_.QueueAnswer({0x90, 0x01, 0x02});
  EXPECT_EQ(PLUSSL3Read(0x33, 4, 1, out), OSTREL_BAD_LENGTH);
  EXPECT_EQ(session().readMacLength, 0);
}

TEST_F(Sl3DataTest, ReadCodesChooseMacsAndEncryption) {
  std::uint8_t out[48];
  ASSERT_EQ(PLUSSL3Read(0x36, 4, 1, out), 0);
  EXPECT_EQ(card_.commands().back(), Hex("36 0400 01"));
  // Encrypted data comes back decrypted with kEnc and the advanced response IV.
  ASSERT_EQ(PLUSSL3Read(0x31, 7, 3, out), 0);
  EXPECT_EQ(card_.commands().back().size(), 12u);
  for (int b = 0; b < 3; ++b) {
    Block want = model_.blocks[static_cast<std::uint16_t>(7 + b)];
    EXPECT_EQ(Of(out + 16 * b, 16), Bytes(want.begin(), want.end())) << b;
  }
  // Codes outside the read range behave as 0x33.
  ASSERT_EQ(PLUSSL3Read(0x40, 4, 1, out), 0);
  EXPECT_EQ(card_.commands().back()[0], 0x33);
  EXPECT_EQ(card_.commands().back().size(), 12u);
  EXPECT_EQ(session().readMacLength, 0);
}

TEST_F(Sl3DataTest, ReadBoundsAreCheckedWithoutTraffic) {
  std::uint8_t out[16 * 18];
  EXPECT_EQ(PLUSSL3Read(0x33, 4, OSTREL_SL3_MAX_READ_BLOCKS + 1, out), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(PLUSSL3Read(0x33, 4, 1, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_TRUE(card_.commands().empty());

  // 21 unmaced reads of 18 blocks fill 7 + 21 x 291 = 6118 bytes; a 22nd would overflow.
  for (int i = 0; i < 21; ++i) ASSERT_EQ(PLUSSL3Read(0x32, 4, 18, out), 0) << i;
  EXPECT_EQ(session().readMacLength, 6118);
  const std::size_t sent = card_.commands().size();
  EXPECT_EQ(PLUSSL3Read(0x32, 4, 18, out), OSTREL_BUFFER_OVERFLOW);
  EXPECT_EQ(card_.commands().size(), sent);
  EXPECT_EQ(session().readCounter, 21);
  // A maced read that still fits checks one MAC over all 6137 bytes.
  ASSERT_EQ(PLUSSL3Read(0x33, 4, 1, out), 0);
  EXPECT_EQ(model_.lastReadMacLength, 6137u);
  EXPECT_EQ(session().readMacLength, 0);
  // The largest read decrypts all 288 bytes, past what one 8-bit CBC length holds.
  ASSERT_EQ(PLUSSL3Read(0x31, 4, 18, out), 0);
  for (int b = 0; b < 18; ++b) {
    Block want = model_.blocks[static_cast<std::uint16_t>(4 + b)];
    ASSERT_EQ(Of(out + 16 * b, 16), Bytes(want.begin(), want.end())) << b;
  }
}

TEST_F(Sl3DataTest, RefusedOrShortReadsLeaveTheCallerBufferAlone) {
  std::uint8_t out[16];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(PLUSSL3Read(0x33, 0x0100, 1, out), 0xBA);  // the card has no such block
  EXPECT_EQ(session().readCounter, 0);
  EXPECT_EQ(session().readMacLength, 0);
  // 0x90 without the data the read asked for.
  card_.QueueAnswer({0x90, 0x01});
  EXPECT_EQ(PLUSSL3Read(0x32, 4, 1, out), OSTREL_BAD_LENGTH);
  EXPECT_EQ(Of(out, 16), Bytes(16, 0xEE));
  EXPECT_EQ(session().readMacLength, 0);
}

TEST_F(Sl3DataTest, CountersWrapAround) {
  session().readCounter = 0xFFFF;
  session().writeCounter = 0xFFFF;
  model_.readCounter = 0xFFFF;
  model_.writeCounter = 0xFFFF;
  std::uint8_t out[16];
  ASSERT_EQ(PLUSSL3Read(0x33, 4, 1, out), 0);
  ASSERT_EQ(PLUSSL3Write(0xA1, 4, 1, out), 0);
  EXPECT_EQ(session().readCounter, 0);
  EXPECT_EQ(session().writeCounter, 0);
  EXPECT_EQ(Of(session().ivResponse, 12), Bytes(12, 0));
}

TEST_F(Sl3DataTest, EncryptedThreeBlockWrite) {
  Bytes data(48);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xC0 ^ i);
  ASSERT_EQ(PLUSSL3Write(0xA1, 0x0010, 3, data.data()), 0);
  const Bytes& command = card_.commands().back();
  ASSERT_EQ(command.size(), 59u);
  EXPECT_EQ(Bytes(command.begin(), command.begin() + 3), Hex("A1 1000"));
  // The payload on the air is the CBC encryption under kEnc and ivCommand.
  Bytes payload(48);
  const std::uint8_t ivCommand[16] = {0x5A, 0x17, 0xC0, 0x3E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  crypto::CbcEncrypt(payload.data(), data.data(), 48, session().kEnc, ivCommand);
  EXPECT_EQ(Bytes(command.begin() + 3, command.begin() + 51), payload);
  for (int b = 0; b < 3; ++b) {
    Block got = model_.blocks[static_cast<std::uint16_t>(0x10 + b)];
    EXPECT_EQ(Bytes(got.begin(), got.end()),
              Bytes(data.begin() + 16 * b, data.begin() + 16 * b + 16))
        << b;
  }
  EXPECT_EQ(session().writeCounter, 1);
  EXPECT_EQ(Of(session().ivCommand, 16), Hex("5A17C03E 00000100 00000100 00000100"));
}

TEST_F(Sl3DataTest, WriteAnswerMacUsesTheAdvancedCounter) {
  std::uint8_t data[16] = {1, 2, 3};
  model_.wrongAnswerMac = true;
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 1, data), 0xB8);
  // The card did write, so the counter advanced anyway.
  EXPECT_EQ(session().writeCounter, 1);
  model_.wrongAnswerMac = false;
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 1, data), 0);
  // A MACed write answer without its MAC.
  card_.QueueAnswer({0x90});
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 1, data), OSTREL_BAD_LENGTH);
  // Without answer MAC the short answer is complete.
  card_.QueueAnswer({0x90});
  EXPECT_EQ(PLUSSL3Write(0xA2, 4, 1, data), 0);
}

TEST_F(Sl3DataTest, WriteCountsAndCodeFallback) {
  std::uint8_t data[64] = {};
  std::uint8_t out[16];
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 4, data), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(card_.commands().size(), 1u);
  EXPECT_NE(session().readMacLength, 0);  // a refused count empties nothing

  ASSERT_EQ(PLUSSL3Write(0x55, 4, 0, data), 0);
  EXPECT_EQ(card_.commands().back().size(), 11u);
  EXPECT_EQ(card_.commands().back()[0], 0xA3);
  EXPECT_EQ(session().readMacLength, 0);

  // A failed write still empties the read MAC input.
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  card_.QueueAnswer({0x08});
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 1, data), 0xB8);
  EXPECT_EQ(session().readMacLength, 0);
  EXPECT_EQ(session().writeCounter, 1);
}

TEST_F(Sl3DataTest, ValueBlockLayout) {
  ASSERT_EQ(PLUSSL3WriteValue(0xA3, 0x0005, 100), 0);
  const Bytes& command = card_.commands().back();
  ASSERT_EQ(command.size(), 27u);
  EXPECT_EQ(Bytes(command.begin() + 3, command.begin() + 19),
            Hex("64000000 9BFFFFFF 64000000 05FA05FA"));

  std::uint8_t block[16];
  mfplus::BuildValueBlock(block, 0x05, -2);
  EXPECT_EQ(Of(block, 16), Hex("FEFFFFFF 01000000 FEFFFFFF 05FA05FA"));
  std::int32_t value = 0;
  EXPECT_TRUE(mfplus::ParseValueBlock(block, &value));
  EXPECT_EQ(value, -2);
  block[9] ^= 0x01;  // bytes 8..11 differ from bytes 0..3
  EXPECT_FALSE(mfplus::ParseValueBlock(block, &value));
  mfplus::BuildValueBlock(block, 0x05, 7);
  block[5] ^= 0x10;  // the complement is broken
  EXPECT_FALSE(mfplus::ParseValueBlock(block, &value));
}

TEST_F(Sl3DataTest, ValueOperationsEndToEnd) {
  ASSERT_EQ(PLUSSL3WriteValue(0xA1, 5, 100), 0);
  int value = 0;
  ASSERT_EQ(PLUSSL3ReadValue(0x31, 5, &value), 0);
  EXPECT_EQ(value, 100);

  ASSERT_EQ(PLUSSL3ValueOperation(0xB1, 5, 20), 0);
  EXPECT_EQ(card_.commands().back().size(), 27u);
  ASSERT_EQ(PLUSSL3Transfer(0xB5, 5), 0);
  EXPECT_EQ(card_.commands().back().size(), 11u);
  ASSERT_EQ(PLUSSL3ReadValue(0x33, 5, &value), 0);
  EXPECT_EQ(value, 120);

  ASSERT_EQ(PLUSSL3ValueOperTran(0xB9, 5, 6, 30), 0);
  const Bytes& command = card_.commands().back();
  ASSERT_EQ(command.size(), 29u);
  EXPECT_EQ(Bytes(command.begin(), command.begin() + 5), Hex("B9 0500 0600"));
  ASSERT_EQ(PLUSSL3ReadValue(0x33, 6, &value), 0);
  EXPECT_EQ(value, 90);

  ASSERT_EQ(PLUSSL3Restore(0xC3, 6), 0);
  ASSERT_EQ(PLUSSL3Transfer(0xB4, 7), 0);
  ASSERT_EQ(PLUSSL3ValueOperation(0xB2, 5, 1), 0);
  ASSERT_EQ(PLUSSL3Transfer(0xB5, 5), 0);
  ASSERT_EQ(PLUSSL3ReadValue(0x33, 5, &value), 0);
  EXPECT_EQ(value, 119);
  EXPECT_EQ(session().writeCounter, 8);

  // Value, transfer and restore commands leave the read MAC input alone.
  std::uint8_t out[16];
  ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0);
  ASSERT_EQ(PLUSSL3Transfer(0xB5, 5), 0);
  EXPECT_EQ(session().readMacLength, 26);
}

TEST_F(Sl3DataTest, ReadValueRejectsBrokenValueBlocks) {
  model_.blocks[8] = Filled(0);
  int value = 42;
  EXPECT_EQ(PLUSSL3ReadValue(0x33, 8, &value), 0xC3);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(PLUSSL3ReadValue(0x33, 8, nullptr), OSTREL_BAD_ARGUMENT);
}

TEST_F(Sl3DataTest, CodesOutsideTheirRangeAreRefusedWithoutTraffic) {
  EXPECT_EQ(PLUSSL3ValueOperation(0xB4, 5, 1), OSTREL_BAD_CODE);
  EXPECT_EQ(PLUSSL3ValueOperation(0xAF, 5, 1), OSTREL_BAD_CODE);
  EXPECT_EQ(PLUSSL3Transfer(0xB6, 5), OSTREL_BAD_CODE);
  EXPECT_EQ(PLUSSL3Restore(0xC4, 5), OSTREL_BAD_CODE);
  EXPECT_EQ(PLUSSL3ValueOperTran(0xB5, 5, 6, 1), OSTREL_BAD_CODE);
  EXPECT_EQ(PLUSSL3ValueOperTran(0xBA, 5, 6, 1), OSTREL_BAD_CODE);
  EXPECT_TRUE(card_.commands().empty());
  EXPECT_EQ(session().writeCounter, 0);
}

TEST_F(Sl3DataTest, RefusedWriteTypeCommandsAdvanceNothing) {
  card_.QueueAnswer({0x0B});
  EXPECT_EQ(PLUSSL3Transfer(0xB5, 5), 0xBB);
  card_.QueueAnswer({0x09});
  EXPECT_EQ(PLUSSL3ValueOperation(0xB1, 5, 1), 0xB9);
  EXPECT_EQ(session().writeCounter, 0);
  EXPECT_EQ(Of(session().ivCommand, 16), Hex("5A17C03E 00000000 00000000 00000000"));
}

}  // namespace
}  // namespace ostrel::test
