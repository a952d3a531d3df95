// The proximity check and the virtual card commands.
#include <cstring>

#include "plus_fixture.h"

namespace ostrel::test {
namespace {

class ProximityTest : public PlusTest {
 protected:
  const Bytes cardRandom_ = Hex("C1 C2 C3 C4 C5 C6 C7");

  // 0xFD (the host's) or the card's status 0x90 (the card's), the parameter,
  // the card's seven random bytes, RndC.
  Bytes MacInput(std::uint8_t first, std::uint8_t parameter, const Bytes& rndC) {
    Bytes input{first, parameter};
    input.insert(input.end(), cardRandom_.begin(), cardRandom_.end());
    input.insert(input.end(), rndC.begin(), rndC.end());
    return input;
  }

  // Prepare accepted, the check answered with the card's 7 random bytes after
  // `timer` counts, the verify answered with `verifyTail` after the header.
  void QueueCard(std::uint8_t cid, const Bytes& verifyTail, std::uint8_t timer = 12) {
    card_.QueueRaw(RawReply{{0x0A, cid, 0x90}, 0});
    Bytes check = cardRandom_;
    check.insert(check.end(), {0xAB, 0xCD});
    card_.QueueRaw(RawReply{check, 0, 0, timer});
    Bytes verify{0x0A, cid};
    verify.insert(verify.end(), verifyTail.begin(), verifyTail.end());
    card_.QueueRaw(RawReply{verify, 0});
  }

  // A card that knows the key: its verify answer carries the MAC of its own input.
  void QueueHappyCard(std::uint8_t cid, std::uint8_t parameter, const std::uint8_t* key) {
    Bytes tail{0x90};
    const Bytes mac = Mac(MacInput(0x90, parameter, PredictableRandom::Peek(7)), key);
    tail.insert(tail.end(), mac.begin(), mac.end());
    QueueCard(cid, tail);
  }

  Bytes ExpectedVerify(std::uint8_t cid, std::uint8_t parameter, const Bytes& rndC,
                       const std::uint8_t* key) {
    Bytes verify{0x0A, cid, 0xFD};
    Bytes mac = Mac(MacInput(0xFD, parameter, rndC), key);
    verify.insert(verify.end(), mac.begin(), mac.end());
    return verify;
  }
};

TEST_F(ProximityTest, ChecksWithTheSessionMacKeyOrTheGivenKey) {
  Authenticate();
  const Bytes rndC = PredictableRandom::Peek(7);
  QueueHappyCard(0x0A, 0x5E, session().kMac);
  ASSERT_EQ(PLUSSL3ProximityCheck(0x0A, 0x5E, 0, nullptr), 0);
  const auto& raw = card_.rawRequests();
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[0].bytes, Hex("0A 0A F0"));
  EXPECT_EQ(raw[0].options, 3);
  Bytes check = Hex("0B 0A F2 07");
  check.insert(check.end(), rndC.begin(), rndC.end());
  EXPECT_EQ(raw[1].bytes, check);
  EXPECT_EQ(raw[1].options, 1);
  EXPECT_EQ(raw[1].timerExponent, 7);
  EXPECT_EQ(raw[2].bytes, ExpectedVerify(0x0A, 0x5E, rndC, session().kMac));
  EXPECT_EQ(raw[2].options, 3);

  card_.ClearLog();
  const Key other{0x99, 0x98};
  const Bytes nextRndC = PredictableRandom::Peek(7);
  EXPECT_NE(nextRndC, rndC);
  QueueHappyCard(0x03, 0x01, other.data());
  ASSERT_EQ(PLUSSL3ProximityCheck(0x03, 0x01, 1, other.data()), 0);
  EXPECT_EQ(card_.rawRequests()[2].bytes, ExpectedVerify(0x03, 0x01, nextRndC, other.data()));
}

TEST_F(ProximityTest, MalformedAnswersStopBeforeTheVerify) {
  const Key other{};
  card_.QueueRaw(RawReply{{0x0A, 0x00, 0x06}, 0});
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, other.data()), 0xB6);
  EXPECT_EQ(card_.rawRequests().size(), 1u);

  card_.QueueRaw(RawReply{{0x0A, 0x00}, 0});  // no status byte after the header
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, other.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(card_.rawRequests().size(), 2u);

  card_.ClearLog();
  card_.QueueRaw(RawReply{{0x0A, 0x00, 0x90}, 0});
  card_.QueueRaw(RawReply{{0xC1, 0xC2, 0xC3}, 20});
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, other.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(card_.rawRequests().size(), 2u);

  // Ten answer bytes would overrun the 16-byte MAC input.
  card_.ClearLog();
  card_.QueueRaw(RawReply{{0x0A, 0x00, 0x90}, 0});
  card_.QueueRaw(RawReply{Bytes(10, 0xC1), 0});
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, other.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(card_.rawRequests().size(), 2u);

  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, nullptr), OSTREL_BAD_ARGUMENT);
}

TEST_F(ProximityTest, PrepareAndVerifyAnswersMustCarryTheHeaderAndCidSent) {
  const Key key{0x42, 0x43};
  const std::uint8_t cid = 3;
  struct Case {
    const char* name;
    Bytes prepareHead, verifyHead;
    std::uint8_t expected;
    std::size_t rawFrames;  // the exchanges made before it stopped
  };
  const Case cases[] = {
      {"as sent", {0x0A, cid}, {0x0A, cid}, 0, 3},
      {"prepare from another CID", {0x0A, 0x04}, {0x0A, cid}, OSTREL_OTHER_ERROR, 1},
      {"prepare with another header", {0x0B, cid}, {0x0A, cid}, OSTREL_OTHER_ERROR, 1},
      {"verify from another CID", {0x0A, cid}, {0x0A, 0x05}, OSTREL_OTHER_ERROR, 3},
      {"verify with another header", {0x0A, cid}, {0x02, cid}, OSTREL_OTHER_ERROR, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card_.ClearLog();
    Bytes prepare = c.prepareHead;
    prepare.push_back(0x90);
    card_.QueueRaw(RawReply{prepare, 0});
    // Only the answers the check will ask for: none after a refused prepare.
    if (c.rawFrames == 1) {
      EXPECT_EQ(PLUSSL3ProximityCheck(cid, 0, 1, key.data()), c.expected);
      EXPECT_EQ(card_.rawRequests().size(), c.rawFrames);
      continue;
    }
    Bytes check = cardRandom_;
    check.insert(check.end(), {0xAB, 0xCD});
    card_.QueueRaw(RawReply{check, 0, 0, 12});
    // A verify answer whose MAC is right: only its header or CID is wrong.
    Bytes verify = c.verifyHead;
    verify.push_back(0x90);
    const Bytes mac = Mac(MacInput(0x90, 0, PredictableRandom::Peek(7)), key.data());
    verify.insert(verify.end(), mac.begin(), mac.end());
    card_.QueueRaw(RawReply{verify, 0});
    EXPECT_EQ(PLUSSL3ProximityCheck(cid, 0, 1, key.data()), c.expected);
    EXPECT_EQ(card_.rawRequests().size(), c.rawFrames);
  }
}

TEST_F(ProximityTest, TheCardMustAnswerInTimeAndProveItsAnswer) {
  const Key key{0x42, 0x43};
  const Bytes goodMac = Mac(MacInput(0x90, 0, PredictableRandom::Peek(7)), key.data());
  Bytes forged{0x90};
  forged.insert(forged.end(), goodMac.begin(), goodMac.end());
  forged.back() ^= 0x01;
  QueueCard(0, forged);
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, key.data()), OSTREL_PC_BAD_MAC);

  // Any answer that merely ends in 0x90 proves nothing.
  QueueCard(0, {0x90});
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, key.data()), OSTREL_BAD_LENGTH);
  // The card refusing the host's MAC is the card's status.
  QueueCard(0, {0x08});
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, key.data()), 0xB8);

  // 33 timer counts at exponent 7 are 4984 us, within the bound; 34 (5135 us) are not,
  // and no verify frame follows.
  card_.ClearLog();
  Bytes tail{0x90};
  const Bytes mac = Mac(MacInput(0x90, 0, PredictableRandom::Peek(7)), key.data());
  tail.insert(tail.end(), mac.begin(), mac.end());
  QueueCard(0, tail, 33);
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, key.data()), 0);
  card_.ClearLog();
  QueueCard(0, tail, 34);
  EXPECT_EQ(PLUSSL3ProximityCheck(0, 0, 1, key.data()), OSTREL_PC_TOO_LATE);
  EXPECT_EQ(card_.rawRequests().size(), 2u);
}

class VirtualCardTest : public PlusTest {
 protected:
  const Bytes iid_ = Hex("00112233445566778899AABBCCDDEEFF");
  const Key enc_{0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
                 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};
  const Key mac_{0xA0, 0xA1, 0xA2};

  // The card's Support Last answer for a decrypted first block `plain`,
  // optionally followed by the MAC the card computes over the exchange.
  Bytes SupportLastAnswer(const Bytes& plain, const Bytes& rndQ, bool withMac) {
    Bytes cryptogram(16);
    crypto::CbcEncrypt(cryptogram.data(), plain.data(), 16, enc_.data(), session().ivResponse);
    Bytes answer{0x90};
    answer.insert(answer.end(), cryptogram.begin(), cryptogram.end());
    if (withMac) {
      Bytes input{0x90};
      input.insert(input.end(), session().pcdCap2, session().pcdCap2 + 3);
      input.insert(input.end(), cryptogram.begin(), cryptogram.end());
      input.insert(input.end(), rndQ.begin(), rndQ.end());
      Bytes mac = Mac(input, mac_.data());
      answer.insert(answer.end(), mac.begin(), mac.end());
    }
    return answer;
  }
};

TEST_F(VirtualCardTest, SupportAndDeselectFrames) {
  card_.QueueAnswer({0x90});
  EXPECT_EQ(PLUSSL3VCSupport(iid_.data()), 0);
  Bytes expected{0x42};
  expected.insert(expected.end(), iid_.begin(), iid_.end());
  EXPECT_EQ(card_.commands().back(), expected);
  card_.QueueAnswer({0x05});
  EXPECT_EQ(PLUSSL3VCSupport(iid_.data()), 0xB5);

  card_.QueueAnswer({0x90});
  EXPECT_EQ(PLUSSL3VCDeselect(), 0);
  EXPECT_EQ(card_.commands().back(), Hex("48"));
}

TEST_F(VirtualCardTest, SupportLastUidForms) {
  Authenticate();  // gives non-zero capabilities and a running response IV
  std::uint8_t uid[7];
  std::uint8_t uidLength = 0;
  std::uint8_t cryptogram[16];

  Bytes rndQ = PredictableRandom::Peek(12);
  Bytes answer = SupportLastAnswer(Hex("83 0000 A1A2A3A4 000000000000000000"), rndQ, false);
  card_.QueueAnswer(answer);
  ASSERT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram), 0);
  Bytes command{0x4B};
  command.insert(command.end(), iid_.begin(), iid_.end());
  command.insert(command.end(), rndQ.begin(), rndQ.end());
  command.insert(command.end(), {0x03, 0x01, 0x02, 0x03});
  EXPECT_EQ(card_.commands().back(), command);
  EXPECT_EQ(uidLength, 4);
  EXPECT_EQ(Of(uid, 4), Hex("A1A2A3A4"));
  EXPECT_EQ(Of(cryptogram, 16), Bytes(answer.begin() + 1, answer.end()));

  rndQ = PredictableRandom::Peek(12);
  card_.QueueAnswer(SupportLastAnswer(Hex("03 0000 B1B2B3B4B5B6B7 000000000000"), rndQ, true));
  ASSERT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram), 0);
  EXPECT_EQ(uidLength, 7);
  EXPECT_EQ(Of(uid, 7), Hex("B1B2B3B4B5B6B7"));

  // Another leading byte leaves the UID outputs as the caller had them.
  std::memset(uid, 0xEE, sizeof uid);
  uidLength = 0x55;
  rndQ = PredictableRandom::Peek(12);
  answer = SupportLastAnswer(Hex("00 0000 B1B2B3B4B5B6B7 000000000000"), rndQ, true);
  card_.QueueAnswer(answer);
  ASSERT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram), 0);
  EXPECT_EQ(uidLength, 0x55);
  EXPECT_EQ(Of(uid, 7), Bytes(7, 0xEE));
  EXPECT_EQ(Of(cryptogram, 16), Bytes(answer.begin() + 1, answer.begin() + 17));
}

TEST_F(VirtualCardTest, SupportLastRejectsAWrongMacAndShortAnswers) {
  std::uint8_t uid[7] = {};
  std::uint8_t uidLength = 0;
  std::uint8_t cryptogram[16] = {};
  Bytes rndQ = PredictableRandom::Peek(12);
  Bytes answer = SupportLastAnswer(Hex("83 0000 A1A2A3A4 000000000000000000"), rndQ, true);
  answer.back() ^= 0x01;
  card_.QueueAnswer(answer);
  EXPECT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram),
      OSTREL_SUPPORT_LAST_MAC);
  EXPECT_EQ(uidLength, 0);
  EXPECT_EQ(Of(cryptogram, 16), Bytes(16, 0));

  answer.resize(20);  // a MAC cut short
  card_.QueueAnswer(answer);
  EXPECT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram),
      OSTREL_BAD_LENGTH);
  card_.QueueAnswer({0x90, 0x01, 0x02});
  EXPECT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram),
      OSTREL_BAD_LENGTH);
  card_.QueueAnswer({0x05});
  EXPECT_EQ(
      PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, &uidLength, cryptogram),
      0xB5);
  EXPECT_EQ(Of(cryptogram, 16), Bytes(16, 0));
  EXPECT_EQ(PLUSSL3VCSupportLast(iid_.data(), enc_.data(), mac_.data(), uid, nullptr, cryptogram),
            OSTREL_BAD_ARGUMENT);
}

TEST_F(VirtualCardTest, SelectMacsTheCryptogramFromTheResponseIv) {
  Bytes data(16);
  for (std::size_t i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0x70 + i);
  Bytes input = data;
  input[0] = 0x40;

  card_.QueueAnswer({0x90});
  ASSERT_EQ(PLUSSL3VCSelect(data.data(), mac_.data()), 0);
  // With a zero response IV the MAC is the plain truncated CMAC.
  Bytes expected{0x40};
  Bytes mac = Mac(input, mac_.data());
  expected.insert(expected.end(), mac.begin(), mac.end());
  EXPECT_EQ(card_.commands().back(), expected);

  Authenticate();
  card_.QueueAnswer({0x90});
  ASSERT_EQ(PLUSSL3VCSelect(data.data(), mac_.data()), 0);
  Bytes chained(8);
  crypto::CmacTruncatedIv(chained.data(), input.data(), 16, mac_.data(), session().ivResponse);
  EXPECT_NE(chained, mac);
  EXPECT_EQ(Bytes(card_.commands().back().begin() + 1, card_.commands().back().end()), chained);
  card_.QueueAnswer({0x0B});
  EXPECT_EQ(PLUSSL3VCSelect(data.data(), mac_.data()), 0xBB);
}

}  // namespace
}  // namespace ostrel::test
