// Level 3 authentication, session keys, IVs and the status mappings.
#include <cstring>

#include "plus_fixture.h"

namespace ostrel::test {
namespace {

using mfplus::PlusSession;

Bytes RotateLeft(const Bytes& in) {
  Bytes out(in.begin() + 1, in.end());
  out.push_back(in[0]);
  return out;
}

Bytes Decrypt(const Bytes& cipher, const Key& key, const Bytes& iv) {
  Bytes plain(cipher.size());
  crypto::CbcDecrypt(plain.data(), cipher.data(), cipher.size(), key.data(), iv.data());
  return plain;
}

Key Encrypted(const Key& key, const Bytes& block) {
  Key out{};
  crypto::AesEncryptBlock(key.data(), block.data(), out.data());
  return out;
}

using SessionTest = PlusTest;

TEST_F(SessionTest, FirstAuthenticateSendsCapabilitiesAndStartsTheSession) {
  const Bytes rndA = PredictableRandom::Peek(16);
  ASSERT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), 0);

  ASSERT_EQ(card_.commands().size(), 2u);
  // Right after load the capabilities are six zero bytes.
  EXPECT_EQ(card_.commands()[0], Hex("70 02 40 06 00 00 00 00 00 00"));
  EXPECT_EQ(model_.pcdCap2Seen, Bytes(6, 0));
  EXPECT_EQ(card_.commands()[1].size(), 33u);
  EXPECT_EQ(model_.rndASeen, rndA);

  const PlusSession& s = session();
  EXPECT_EQ(Of(s.ti, 4), Bytes(model_.ti.begin(), model_.ti.end()));
  EXPECT_EQ(Of(s.pdCap2, 6), Bytes(model_.pdCap2.begin(), model_.pdCap2.end()));
  EXPECT_EQ(s.readCounter, 0);
  EXPECT_EQ(s.writeCounter, 0);
  EXPECT_EQ(Of(s.ivCommand, 16), Hex("5A17C03E 00000000 00000000 00000000"));
  EXPECT_EQ(Of(s.ivResponse, 16), Hex("00000000 00000000 00000000 5A17C03E"));
  // Both ends derived the same keys.
  EXPECT_EQ(Of(s.kEnc, 16), Bytes(model_.kEnc.begin(), model_.kEnc.end()));
  EXPECT_EQ(Of(s.kMac, 16), Bytes(model_.kMac.begin(), model_.kMac.end()));

  // The next First Authenticate offers the card's capabilities as the host's own.
  card_.ClearLog();
  ASSERT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), 0);
  EXPECT_EQ(card_.commands()[0], Hex("70 02 40 06 01 02 03 04 05 06"));
}

TEST_F(SessionTest, DerivationInputsEndIn11And22) {
  Authenticate();
  const PlusSession& s = session();
  const Bytes a = Of(s.rndA, 16);
  const Bytes b = Of(s.rndB, 16);
  Bytes encInput, macInput;
  for (int i = 0; i < 5; ++i) encInput.push_back(a[11 + i]);
  for (int i = 0; i < 5; ++i) encInput.push_back(b[11 + i]);
  for (int i = 0; i < 5; ++i) encInput.push_back(static_cast<std::uint8_t>(a[4 + i] ^ b[4 + i]));
  encInput.push_back(0x11);
  for (int i = 0; i < 5; ++i) macInput.push_back(a[7 + i]);
  for (int i = 0; i < 5; ++i) macInput.push_back(b[7 + i]);
  for (int i = 0; i < 5; ++i) macInput.push_back(static_cast<std::uint8_t>(a[i] ^ b[i]));
  macInput.push_back(0x22);
  const Key enc = Encrypted(key_, encInput);
  EXPECT_EQ(Of(s.kEnc, 16), Bytes(enc.begin(), enc.end()));
  const Key mac = Encrypted(key_, macInput);
  EXPECT_EQ(Of(s.kMac, 16), Bytes(mac.begin(), mac.end()));
}

TEST_F(SessionTest, EveryAuthenticationDrawsAFreshChallenge) {
  Authenticate();
  const Bytes first = model_.rndASeen;
  Authenticate();
  EXPECT_NE(model_.rndASeen, first);
  EXPECT_EQ(PredictableRandom::draws, 2);
}

TEST_F(SessionTest, ARecordedCardAnswerCannotBeReplayed) {
  // Record one whole session opening, then play the card's answers back.
  Bytes answers[2];
  card_.OnCommand([&](const Bytes& command) {
    Bytes answer = model_.Handle(command);
    answers[command[0] == 0x70 ? 0 : 1] = answer;
    return answer;
  });
  Authenticate();
  const Bytes keptKey = Of(session().kEnc, 16);
  card_.QueueAnswer(answers[0]);
  card_.QueueAnswer(answers[1]);
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_AUTH_MISMATCH);
  EXPECT_EQ(Of(session().kEnc, 16), keptKey);
}

TEST_F(SessionTest, RefusedFirstStepChangesNothing) {
  Authenticate();
  ASSERT_EQ(PLUSSL3Read(0x33, 0, 0, nullptr), 0);
  card_.ClearLog();
  const PlusSession before = session();
  card_.QueueAnswer({0x06});
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), 0xB6);
  EXPECT_EQ(std::memcmp(&before, &session(), sizeof before), 0);
  EXPECT_EQ(card_.commands().size(), 1u);
}

TEST_F(SessionTest, ShortAnswersGiveBadLengthWithoutReadingStaleBytes) {
  Authenticate();
  const PlusSession before = session();
  card_.QueueAnswer({0x90, 0x01, 0x02});
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(std::memcmp(&before, &session(), sizeof before), 0);
  // An empty answer has no status byte at all.
  card_.QueueAnswer({});
  EXPECT_EQ(PLUSSL3RestAuth(), OSTREL_BAD_LENGTH);
  // A second step of 17 bytes where 33 are needed.
  card_.OnCommand([this](const Bytes& command) {
    Bytes answer = model_.Handle(command);
    if (command[0] == 0x72) answer.resize(17);
    return answer;
  });
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_BAD_LENGTH);
  EXPECT_EQ(Of(session().ti, 4), Of(before.ti, 4));
}

TEST_F(SessionTest, RndAMismatchResetsCountersButKeepsKeys) {
  Authenticate();
  std::uint8_t data[16];
  ASSERT_EQ(PLUSSL3Write(0xA3, 0, 0, data), 0);
  ASSERT_EQ(PLUSSL3Read(0x32, 0, 0, data), 0);
  ASSERT_NE(session().readMacLength, 0);
  const Bytes kEnc = Of(session().kEnc, 16);
  const Bytes kMac = Of(session().kMac, 16);
  model_.wrongRndAPrime = true;
  model_.ti = {0x01, 0x02, 0x03, 0x04};

  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_AUTH_MISMATCH);
  const PlusSession& s = session();
  EXPECT_EQ(s.readCounter, 0);
  EXPECT_EQ(s.writeCounter, 0);
  EXPECT_EQ(s.readMacLength, 0);
  EXPECT_EQ(Of(s.ti, 4), Hex("01020304"));
  EXPECT_EQ(Of(s.ivCommand, 16), Hex("01020304 00000000 00000000 00000000"));
  EXPECT_EQ(Of(s.kEnc, 16), kEnc);
  EXPECT_EQ(Of(s.kMac, 16), kMac);
}

TEST_F(SessionTest, FollowingAuthenticateUsesTheRunningIvsAndKeepsCounting) {
  Authenticate();
  model_.blocks[4] = Block{};
  std::uint8_t data[16] = {};
  ASSERT_EQ(PLUSSL3Read(0x33, 4, 1, data), 0);
  ASSERT_EQ(PLUSSL3Read(0x33, 4, 1, data), 0);
  ASSERT_EQ(PLUSSL3Write(0xA3, 4, 1, data), 0);
  card_.ClearLog();
  const Bytes oldMac = Of(session().kMac, 16);
  const Bytes rndA = PredictableRandom::Peek(16);

  ASSERT_EQ(PLUSSL3FollowingAuth(kKeyAddress, key_.data()), 0);
  ASSERT_EQ(card_.commands().size(), 2u);
  EXPECT_EQ(card_.commands()[0], Hex("76 02 40"));
  // The second step is encrypted with ivCommand = TI || (02 00 01 00) x 3.
  const Bytes iv = Hex("5A17C03E 02000100 02000100 02000100");
  const Bytes step = card_.commands()[1];
  Bytes plain = Decrypt(Bytes(step.begin() + 1, step.end()), key_, iv);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 16), rndA);
  EXPECT_EQ(Bytes(plain.begin() + 16, plain.end()), RotateLeft(Of(session().rndB, 16)));

  const PlusSession& s = session();
  EXPECT_EQ(s.readCounter, 2);
  EXPECT_EQ(s.writeCounter, 1);
  EXPECT_NE(Of(s.kMac, 16), oldMac);
  EXPECT_EQ(Of(s.kMac, 16), Bytes(model_.kMac.begin(), model_.kMac.end()));
  // The session goes on under the new keys.
  EXPECT_EQ(PLUSSL3Read(0x33, 4, 1, data), 0);
}

TEST_F(SessionTest, FollowingAuthenticateRejectsAWrongRndA) {
  Authenticate();
  const Bytes kEnc = Of(session().kEnc, 16);
  model_.wrongRndAPrime = true;
  EXPECT_EQ(PLUSSL3FollowingAuth(kKeyAddress, key_.data()), OSTREL_AUTH_MISMATCH);
  EXPECT_EQ(Of(session().kEnc, 16), kEnc);
}

TEST_F(SessionTest, ResetAuthenticateZeroesCountersOnlyWhenAccepted) {
  Authenticate();
  std::uint8_t data[16] = {};
  ASSERT_EQ(PLUSSL3Write(0xA3, 0, 0, data), 0);
  ASSERT_EQ(PLUSSL3Read(0x33, 0, 0, data), 0);
  const Bytes ivCommand = Of(session().ivCommand, 16);

  card_.QueueAnswer({0x06});
  EXPECT_EQ(PLUSSL3RestAuth(), 0xB6);
  EXPECT_EQ(session().readCounter, 1);
  EXPECT_EQ(session().writeCounter, 1);

  EXPECT_EQ(PLUSSL3RestAuth(), 0);
  EXPECT_EQ(card_.commands().back(), Hex("78"));
  EXPECT_EQ(session().readCounter, 0);
  EXPECT_EQ(session().writeCounter, 0);
  EXPECT_EQ(Of(session().ivCommand, 16), ivCommand);
}

TEST_F(SessionTest, NoRandomnessMeansNoAuthentication) {
  PredictableRandom::fail = true;
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_OTHER_ERROR);
  EXPECT_EQ(PLUSSL3FollowingAuth(kKeyAddress, key_.data()), OSTREL_OTHER_ERROR);
  EXPECT_TRUE(card_.commands().empty());
}

TEST_F(SessionTest, TransportFailuresPassThrough) {
  driver_.QueueReadFailure();
  driver_.QueueReadFailure();
  driver_.QueueReadFailure();
  EXPECT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), OSTREL_NO_RESPONSE);
  driver_.QueueResponse(FakeDriver::Frame(0, 0x0A));
  EXPECT_EQ(PLUSSL3RestAuth(), 0x0A);
}

TEST_F(SessionTest, HaltDeselectActivationAndResetsEndTheSessionButKeepTheCapabilities) {
  const std::pair<const char*, unsigned char (*)()> releases[] = {
      {"reader reset", [] { return ReaderReset(1); }},
      {"link reset", [] { return static_cast<unsigned char>(ReaderCommReset()); }},
      {"halt", &PiccHalt},
      {"deselect", &PiccDeSelect},
      {"activate", [] {
         unsigned char atq[2], uid[10], uidLength = 0, sak = 0;
         return PiccActivate(0x52, atq, uid, &uidLength, &sak);
       }}};
  const Bytes capabilities(model_.pdCap2.begin(), model_.pdCap2.end());
  model_.blocks[4] = Block{};
  for (const auto& [name, release] : releases) {
    ASSERT_EQ(PLUSSL3FirstAuth(kKeyAddress, key_.data()), 0) << name;
    std::uint8_t out[16];
    ASSERT_EQ(PLUSSL3Read(0x32, 4, 1, out), 0) << name;
    release();
    const PlusSession& s = session();
    const Bytes zero16(16, 0);
    EXPECT_EQ(Of(s.ti, 4), Bytes(4, 0)) << name;
    EXPECT_EQ(s.readCounter, 0) << name;
    EXPECT_EQ(s.readMacLength, 0) << name;
    for (const std::uint8_t* field : {s.kEnc, s.kMac, s.ivCommand, s.ivResponse, s.rndA, s.rndB}) {
      EXPECT_EQ(Of(field, 16), zero16) << name;
    }
    EXPECT_EQ(Of(s.pcdCap2, 6), capabilities) << name;
    EXPECT_EQ(Of(s.pdCap2, 6), capabilities) << name;
  }
}

TEST(SessionRules, IvLayoutPutsCountersLowByteFirst) {
  std::uint8_t ivc[16], ivr[16];
  const std::uint8_t ti[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  mfplus::BuildSessionIvs(ti, 0x0102, 0xFFFE, ivc, ivr);
  EXPECT_EQ(Of(ivc, 16), Hex("A1A2A3A4 0201FEFF 0201FEFF 0201FEFF"));
  EXPECT_EQ(Of(ivr, 16), Hex("0201FEFF 0201FEFF 0201FEFF A1A2A3A4"));
}

TEST(SessionRules, CardStatusMapping) {
  EXPECT_EQ(mfplus::CheckPlusStatus(0, 0x90), 0);
  EXPECT_EQ(mfplus::CheckPlusStatus(0, 0x06), 0xB6);
  EXPECT_EQ(mfplus::CheckPlusStatus(0, 0x0C), 0xBC);
  EXPECT_EQ(mfplus::CheckPlusStatus(0, 0x91), 0xB1);
  EXPECT_EQ(mfplus::CheckPlusStatus(0, 0x00), 0xB0);
  EXPECT_EQ(mfplus::CheckPlusStatus(0xFF, 0x90), 0xFF);
}

TEST(SessionRules, AcknowledgementNibbles) {
  struct Case {
    std::uint8_t transport, byte;
    std::uint16_t bits;
    std::uint8_t expected;
  };
  const Case cases[] = {
      {0, 0x0A, 4, 0},    {0, 0xFA, 4, 0},       {0, 0x00, 4, 0xEC}, {0, 0x01, 4, 0xFE},
      {0, 0x05, 4, 0xFE}, {0, 0x04, 4, 0xF2},    {0, 0x0B, 4, 0xE0}, {0, 0x0A, 8, 0xFC},
      {0, 0x0A, 0, 0xFC}, {0x17, 0x0A, 4, 0x17},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mfplus::CheckAckNibble(c.transport, c.byte, c.bits), c.expected)
        << int(c.byte) << " " << c.bits;
  }
}

}  // namespace
}  // namespace ostrel::test
