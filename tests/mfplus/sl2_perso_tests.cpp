// Personalization on both paths and the Level 2 commands.
#include <cstring>

#include "plus_fixture.h"

namespace ostrel::test {
namespace {

class Sl2PersoTest : public PlusTest {
 protected:
  // Plays the card model behind the raw exchange, as a Level 2 card answers
  // authentication steps: 17 whole bytes, or a 4-bit refusal.
  void ServeModelOverRaw() {
    model_.zeroIvs = true;
    card_.OnRaw([this](const RawRequest& request) {
      Bytes answer = model_.Handle(request.bytes);
      if (answer.size() == 1) return RawReply::Nibble(0x04);
      return RawReply{answer, 0};
    });
  }
};

TEST_F(Sl2PersoTest, WritePersoClassicFrameAndAcknowledgements) {
  card_.QueueRaw(RawReply::Nibble(0x0A));
  ASSERT_EQ(PLUSWritePersoClassic(0x9000, key_.data()), 0);
  ASSERT_EQ(card_.rawRequests().size(), 1u);
  const RawRequest& request = card_.rawRequests()[0];
  Bytes expected = Hex("A8 00 90");
  expected.insert(expected.end(), key_.begin(), key_.end());
  EXPECT_EQ(request.bytes, expected);
  EXPECT_EQ(request.bits, 152);
  EXPECT_EQ(request.options, 3);
  EXPECT_EQ(request.timerExponent, 7);

  card_.QueueRaw(RawReply::Nibble(0x05));
  EXPECT_EQ(PLUSWritePersoClassic(0x9000, key_.data()), OSTREL_NAK_CRC);
  card_.QueueRaw(RawReply{{0x0A}, 8});
  EXPECT_EQ(PLUSWritePersoClassic(0x9000, key_.data()), OSTREL_BAD_LENGTH);
  card_.QueueRaw(RawReply{{0x0A}, 4, 0x0E});  // the reader itself reports a failure
  EXPECT_EQ(PLUSWritePersoClassic(0x9000, key_.data()), 0x0E);
  EXPECT_EQ(PLUSWritePersoClassic(0x9000, nullptr), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(card_.rawRequests().size(), 4u);
}

TEST_F(Sl2PersoTest, CommitPersoOnBothPaths) {
  card_.QueueRaw(RawReply::Nibble(0x0A));
  EXPECT_EQ(PLUSCommitPersoClassic(), 0);
  EXPECT_EQ(card_.rawRequests().back().bytes, Hex("AA"));
  EXPECT_EQ(card_.rawRequests().back().bits, 8);

  card_.QueueAnswer({0x90});
  EXPECT_EQ(PLUSCommitPersoTCL(), 0);
  EXPECT_EQ(card_.commands().back(), Hex("AA"));
  card_.QueueAnswer({0x0C});
  EXPECT_EQ(PLUSCommitPersoTCL(), 0xBC);

  card_.QueueAnswer({0x90});
  const std::uint8_t data[16] = {0x11, 0x22};
  EXPECT_EQ(PLUSWritePersoTCL(0xB001, data), 0);
  EXPECT_EQ(card_.commands().back(), Hex("A8 01 B0 1122 0000000000000000000000000000"));
}

TEST_F(Sl2PersoTest, Level2AesAuthenticationDerivesOnlyTheEncryptionKey) {
  Authenticate();  // a Level 3 session whose kMac must survive
  const Bytes kMac = Of(session().kMac, 16);
  ServeModelOverRaw();
  const Bytes rndA = PredictableRandom::Peek(16);

  ASSERT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), 0);
  ASSERT_EQ(card_.rawRequests().size(), 2u);
  EXPECT_EQ(card_.rawRequests()[0].bytes, Hex("76 02 40"));
  EXPECT_EQ(card_.rawRequests()[0].bits, 24);
  EXPECT_EQ(card_.rawRequests()[1].bits, 264);
  EXPECT_EQ(card_.rawRequests()[1].options, 3);
  EXPECT_EQ(model_.rndASeen, rndA);

  const auto& s = session();
  EXPECT_EQ(Of(s.ivCommand, 16), Bytes(16, 0));
  EXPECT_EQ(Of(s.ivResponse, 16), Bytes(16, 0));
  EXPECT_EQ(Of(s.kMac, 16), kMac);
  Bytes input;
  for (int i = 0; i < 5; ++i) input.push_back(s.rndA[11 + i]);
  for (int i = 0; i < 5; ++i) input.push_back(s.rndB[11 + i]);
  for (int i = 0; i < 5; ++i)
    input.push_back(static_cast<std::uint8_t>(s.rndA[4 + i] ^ s.rndB[4 + i]));
  input.push_back(0x33);
  Bytes expected(16);
  crypto::AesEncryptBlock(key_.data(), input.data(), expected.data());
  EXPECT_EQ(Of(s.kEnc, 16), expected);
}

TEST_F(Sl2PersoTest, Level2AesAuthenticationAnswerRules) {
  ServeModelOverRaw();
  model_.keys.clear();  // the card refuses the key address with a 4-bit NAK 0x4
  EXPECT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), OSTREL_BAD_ARGUMENT);

  card_.QueueRaw(RawReply{Bytes(16, 0x90), 128});  // 16 bytes where 17 belong
  EXPECT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), OSTREL_BAD_LENGTH);
  // A failed link reports no bit count: also 0xFC.
  driver_.QueueReadFailure();
  driver_.QueueReadFailure();
  driver_.QueueReadFailure();
  EXPECT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), OSTREL_BAD_LENGTH);
  // A reader without raw exchanges says so; that is no length fault of the card.
  card_.QueueRaw(RawReply{{}, 0, OSTREL_NOT_SUPPORTED});
  EXPECT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), OSTREL_NOT_SUPPORTED);

  model_.keys[kKeyAddress] = key_;
  model_.wrongRndAPrime = true;
  EXPECT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), OSTREL_AUTH_MISMATCH);
  EXPECT_EQ(Of(session().kEnc, 16), Bytes(16, 0));
}

TEST_F(Sl2PersoTest, CryptoAuthBindsTheKeyToTheDerivedKey) {
  ServeModelOverRaw();
  ASSERT_EQ(PLUSSL2AESAuth(kKeyAddress, key_.data()), 0);
  const std::uint8_t crypto1[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(PLUSSL2CryptoAuth(0x04, 0x08, crypto1), 0);
  ASSERT_EQ(card_.otherFrames().size(), 1u);
  const Bytes& frame = card_.otherFrames()[0];
  EXPECT_EQ(frame[1], 0x73);
  Bytes expected{0x04, 0x08};
  for (int i = 0; i < 6; ++i)
    expected.push_back(static_cast<std::uint8_t>(session().kEnc[i] ^ 0xFF));
  EXPECT_EQ(Bytes(frame.begin() + 3, frame.end() - 1), expected);
}

TEST_F(Sl2PersoTest, MultiBlockReadLengthRules) {
  std::uint8_t out[48];
  EXPECT_EQ(PLUSSL2MultiBlockRead(4, 0, out), OSTREL_BAD_COUNT);
  EXPECT_EQ(PLUSSL2MultiBlockRead(4, 4, out), OSTREL_BAD_COUNT);
  EXPECT_TRUE(card_.rawRequests().empty());

  Bytes data(48);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  card_.QueueRaw(RawReply{data, 0});
  ASSERT_EQ(PLUSSL2MultiBlockRead(4, 3, out), 0);
  EXPECT_EQ(Of(out, 48), data);
  EXPECT_EQ(card_.rawRequests().back().bytes, Hex("38 04 03"));
  EXPECT_EQ(card_.rawRequests().back().bits, 24);

  // 256 bits for three blocks: 0xFC, and nothing is copied.
  std::memset(out, 0xEE, sizeof out);
  card_.QueueRaw(RawReply{Bytes(data.begin(), data.begin() + 32), 0});
  EXPECT_EQ(PLUSSL2MultiBlockRead(4, 3, out), OSTREL_BAD_LENGTH);
  EXPECT_EQ(Of(out, 48), Bytes(48, 0xEE));

  card_.QueueRaw(RawReply{{}, 0, 0x0E});
  EXPECT_EQ(PLUSSL2MultiBlockRead(4, 1, out), 0x0E);
}

TEST_F(Sl2PersoTest, MultiBlockWriteSendsHeaderThenData) {
  Bytes data(32, 0x5C);
  EXPECT_EQ(PLUSSL2MultiBlockWrite(4, 0, data.data()), OSTREL_BAD_COUNT);
  EXPECT_EQ(PLUSSL2MultiBlockWrite(4, 4, data.data()), OSTREL_BAD_COUNT);
  EXPECT_TRUE(card_.rawRequests().empty());

  card_.QueueRaw(RawReply::Nibble(0x0A));
  card_.QueueRaw(RawReply::Nibble(0x0A));
  ASSERT_EQ(PLUSSL2MultiBlockWrite(9, 2, data.data()), 0);
  ASSERT_EQ(card_.rawRequests().size(), 2u);
  EXPECT_EQ(card_.rawRequests()[0].bytes, Hex("A8 09 02"));
  EXPECT_EQ(card_.rawRequests()[1].bytes, data);
  EXPECT_EQ(card_.rawRequests()[1].bits, 256);

  // A refused header sends no data.
  card_.QueueRaw(RawReply::Nibble(0x04));
  EXPECT_EQ(PLUSSL2MultiBlockWrite(9, 2, data.data()), OSTREL_BAD_ARGUMENT);
  EXPECT_EQ(card_.rawRequests().size(), 3u);
}

}  // namespace
}  // namespace ostrel::test
