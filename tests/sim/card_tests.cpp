#include <gtest/gtest.h>

#include <cstring>

#include "access.h"
#include "mfplus/crypto.h"
#include "sim_test_support.h"

namespace pelkin::test {
namespace {

const std::uint8_t kFF6[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes AuthKey(std::uint8_t mode, std::uint8_t sector, const std::uint8_t key[6]) {
  Bytes data{mode, sector};
  data.insert(data.end(), key, key + 6);
  return data;
}

Bytes Block17(std::uint8_t block, const Bytes& bytes) {
  Bytes data{block};
  data.insert(data.end(), bytes.begin(), bytes.end());
  return data;
}

Bytes Value(std::uint8_t mode, std::uint8_t block, std::int32_t value, std::uint8_t to) {
  const auto v = static_cast<std::uint32_t>(value);
  return {mode,
          block,
          static_cast<std::uint8_t>(v),
          static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24),
          to};
}

Bytes ValueBlock(std::int32_t value, std::uint8_t address) {
  Bytes b(16);
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    b[i + 4] = static_cast<std::uint8_t>(~b[i]);
    b[i + 8] = b[i];
  }
  b[12] = b[14] = address;
  b[13] = b[15] = static_cast<std::uint8_t>(~address);
  return b;
}

TEST(TypeA, FourByteUidInOneCascadeLevel) {
  Bench bench(Variant{false, false, false});
  EXPECT_EQ(bench.Send(0x41, {0}).data, (Bytes{0x04, 0x00}));
  Answer part = bench.Send(0x42, {0});
  ASSERT_EQ(part.status, 0);
  EXPECT_EQ(part.data, bench.card().image().uid);
  Answer sak = bench.Send(0x43, part.data);
  ASSERT_EQ(sak.status, 0);
  EXPECT_EQ(sak.data, Bytes{0x20});  // Level 0 speaks ISO 14443-4
}

TEST(TypeA, SevenByteUidCarriesTheCascadeTag) {
  Bench bench(Variant{false, true, true});
  EXPECT_EQ(bench.Send(0x41, {1}).data, (Bytes{0x44, 0x00}));
  Answer level1 = bench.Send(0x74, {0x93, 0});
  ASSERT_EQ(level1.data.size(), 4u);
  EXPECT_EQ(level1.data[0], 0x88);
  Bytes select{0x93};
  select.insert(select.end(), level1.data.begin(), level1.data.end());
  EXPECT_EQ(bench.Send(0x75, select).data, Bytes{0x04});
  Bytes uid;
  EXPECT_EQ(bench.Activate(&uid), 0x20);
  EXPECT_EQ(uid, bench.card().image().uid);
  EXPECT_EQ(uid[0], 0x04);
}

TEST(TypeA, SakAndAtqFollowTheLevel) {
  struct Case {
    Variant variant;
    int level;
    std::uint8_t sak;
    std::uint8_t atq;
  };
  const Case cases[] = {
      {{false, false, false}, 1, 0x08, 0x04}, {{false, true, false}, 1, 0x18, 0x02},
      {{false, true, true}, 1, 0x18, 0x42},   {{false, false, false}, 2, 0x10, 0x04},
      {{false, true, false}, 2, 0x11, 0x04},  {{true, true, false}, 3, 0x20, 0x04}};
  for (const Case& c : cases) {
    Bench bench(CardAtLevel(c.variant, c.level));
    EXPECT_EQ(bench.Send(0x41, {1}).data.at(0), c.atq) << VariantName(c.variant) << c.level;
    EXPECT_EQ(bench.Activate(), c.sak) << VariantName(c.variant) << c.level;
  }
}

TEST(TypeA, HaltedCardWakesOnlyToTheWakeUpRequest) {
  Bench bench;
  bench.Activate();
  EXPECT_EQ(bench.Send(0x45).status, 0);
  EXPECT_EQ(bench.Send(0x41, {0}).status, kStNoCard);
  EXPECT_EQ(bench.Send(0x41, {1}).status, 0);
  // A request while the card is selected goes unanswered; the repeat finds it idle again.
  bench.Activate();
  EXPECT_EQ(bench.Send(0x41, {1}).status, kStNoCard);
  EXPECT_EQ(bench.Send(0x41, {1}).status, 0);
  EXPECT_EQ(bench.Send(0x74, {0x95, 0}).status, kStNoCard);  // wrong cascade level
}

TEST(TypeA, AtsNamesTheVariant) {
  for (bool s : {false, true}) {
    Bench bench(Variant{s, true, false});
    bench.Activate();
    Answer ats = bench.Send(0x91, {10});
    ASSERT_EQ(ats.status, 0);
    ASSERT_EQ(ats.data.size(), ats.data[0]);
    EXPECT_EQ(Bytes(ats.data.begin() + 9, ats.data.begin() + 12),
              s ? (Bytes{0x00, 0x35, 0xC7}) : (Bytes{0x01, 0xBC, 0xD6}));
    EXPECT_EQ(bench.Send(0x92).status, 0);
    EXPECT_EQ(bench.Send(0x91, {10}).status, kStAtsError);  // already at layer 4
    EXPECT_EQ(bench.Send(0x93).status, 0);
    EXPECT_EQ(bench.Send(0x92).status, kStPpsError);  // deselected
  }
}

TEST(Personalization, CommitWaitsForTheFourCardKeysOnTheRawPath) {
  Bench bench;
  bench.Activate();
  int bits = 0;
  EXPECT_EQ(bench.RawBytes({0xAA}, &bits), Bytes{kNakNotAllowed});
  EXPECT_EQ(bits, 4);
  const Bytes key(16, 0x5C);
  for (std::uint16_t a = 0x9000; a <= 0x9003; ++a) {
    Bytes frame{0xA8, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8)};
    frame.insert(frame.end(), key.begin(), key.end());
    EXPECT_EQ(bench.RawBytes(frame, &bits), Bytes{kAck});
    EXPECT_EQ(bits, 4);
    if (a < 0x9003) {
      EXPECT_EQ(bench.RawBytes({0xAA}, &bits), Bytes{kNakNotAllowed});
    }
  }
  Bytes toBlock0{0xA8, 0x00, 0x00};
  toBlock0.insert(toBlock0.end(), key.begin(), key.end());
  EXPECT_EQ(bench.RawBytes(toBlock0, &bits), Bytes{kNakArgument});  // manufacturer block
  EXPECT_EQ(bench.RawBytes({0xAA}, &bits), Bytes{kAck});
  EXPECT_EQ(bench.card().image().level, 1);
  EXPECT_EQ(bench.card().activeLevel(), 0);  // shows at the next activation
  EXPECT_EQ(bench.card().image().keys.at(0x9001), Filled(0x5C));
  EXPECT_EQ(bench.Activate(), 0x18);
}

TEST(Personalization, TclPathAnswersWithStatusBytes) {
  Bench bench;
  bench.ActivateLayer4();
  EXPECT_EQ(bench.Tcl({0xAA}), Bytes{kCardLengthError});
  for (int a : {0x9000, 0x9001, 0x9002, 0x9003, 0x4003, 0xB001}) {
    Bytes frame{0xA8, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8)};
    frame.resize(19, 0x33);
    EXPECT_EQ(bench.Tcl(frame), Bytes{kCardOk}) << a;
  }
  Bytes unknown{0xA8, 0x34, 0x12};
  unknown.resize(19, 0);
  EXPECT_EQ(bench.Tcl(unknown), Bytes{kCardBadBlock});
  EXPECT_EQ(bench.Tcl({0xAA}), Bytes{kCardOk});
  EXPECT_EQ(bench.card().image().keys.at(0x4003), Filled(0x33));
}

TEST(Crypto1, SectorAccessFollowsKeysAndTrailer) {
  Bench bench(CardAtLevel({}, 1));
  bench.Activate();
  EXPECT_EQ(bench.Send(0x46, {4}).status, kStNotAuthenticated);
  ASSERT_EQ(bench.Send(0x73, AuthKey(0x00, 1, kFF6)).status, 0);
  const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(bench.Send(0x47, Block17(5, data)).status, 0);
  EXPECT_EQ(bench.Send(0x46, {5}).data, data);
  EXPECT_EQ(bench.Send(0x46, {8}).status, kStNotAuthenticated);  // another sector
  // Trailer: key A reads as zeros, access bits and (readable) key B come back.
  Bytes trailer = bench.Send(0x46, {7}).data;
  EXPECT_EQ(trailer,
            (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  // Key B is readable in the transport configuration, so it opens nothing.
  bench.Activate();
  ASSERT_EQ(bench.Send(0x73, AuthKey(0x04, 1, kFF6)).status, 0);
  EXPECT_EQ(bench.Send(0x46, {5}).status, kStReadError);

  // A wrong key leaves the card unselected.
  bench.Activate();
  const std::uint8_t wrong[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, wrong)).status, kStAuthFailed);
  EXPECT_EQ(bench.Send(0x46, {5}).status, kStNoCard);
}

TEST(Crypto1, TrailerWritesChangeRightsAndRefuseLockingBits) {
  Bench bench(CardAtLevel({}, 1));
  bench.Activate();
  ASSERT_EQ(bench.Send(0x73, AuthKey(0x00, 1, kFF6)).status, 0);
  // Group 1 read-only (010), the rest as before; new key A.
  std::uint8_t conditions[4] = {0, 2, 0, 1};
  std::uint8_t bits[3];
  EncodeAccessBits(conditions, bits);
  Bytes trailer{0xA0,    0xA1, 0xA2, 0xA3, 0xA4, 0xA5, bits[0], bits[1],
                bits[2], 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,    0xFF};
  ASSERT_EQ(bench.Send(0x47, Block17(7, trailer)).status, 0);
  EXPECT_EQ(bench.Send(0x47, Block17(5, Bytes(16, 1))).status, kStWriteError);
  EXPECT_EQ(bench.Send(0x47, Block17(4, Bytes(16, 1))).status, 0);
  Bytes locking = trailer;
  locking[7] = 0x0F;  // complements no longer match
  EXPECT_EQ(bench.Send(0x47, Block17(7, locking)).status, kStWriteError);

  bench.Activate();
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, kFF6)).status, kStAuthFailed);
  bench.Activate();
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, trailer.data())).status, 0);
  EXPECT_EQ(bench.Send(0x47, Block17(0, Bytes(16, 1))).status, kStNotAuthenticated);
}

TEST(Crypto1, ValueCommandsKeepTheValueFormat) {
  Bench bench(CardAtLevel({}, 1));
  bench.Activate();
  ASSERT_EQ(bench.Send(0x73, AuthKey(0x00, 2, kFF6)).status, 0);
  ASSERT_EQ(bench.Send(0x47, Block17(8, ValueBlock(100, 8))).status, 0);
  EXPECT_EQ(bench.Send(0x70, Value(0xC1, 8, 25, 9)).status, 0);
  EXPECT_EQ(bench.Send(0x46, {9}).data, ValueBlock(125, 8));  // address byte of the source
  EXPECT_EQ(bench.Send(0x70, Value(0xC0, 9, 200, 9)).status, 0);
  EXPECT_EQ(bench.Send(0x46, {9}).data, ValueBlock(-75, 8));
  EXPECT_EQ(bench.Send(0x70, Value(0xC2, 8, 0, 10)).status, 0);
  EXPECT_EQ(bench.Send(0x46, {10}).data, ValueBlock(100, 8));
  EXPECT_EQ(bench.Send(0x47, Block17(8, ValueBlock(INT32_MAX, 8))).status, 0);
  EXPECT_EQ(bench.Send(0x70, Value(0xC1, 8, 1, 8)).status, kStValueOverflow);
  EXPECT_EQ(bench.Send(0x47, Block17(8, Bytes(16, 7))).status, 0);
  EXPECT_EQ(bench.Send(0x70, Value(0xC1, 8, 1, 8)).status, kStIncrementError);
  EXPECT_EQ(bench.Send(0x70, Value(0xC1, 10, 1, 4)).status, kStNotAuthenticated);
}

// AES authentication over raw frames with zero IVs; returns the Level 2 derived key.
Block Level2Aes(Bench& bench, std::uint16_t address, const Block& key) {
  namespace crypto = ostrel::crypto;
  const Block zero{}, rndA = Filled(0x3C);
  int bits = 0;
  Bytes first = bench.RawBytes(
      {0x76, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8)}, &bits);
  EXPECT_EQ(bits, 136);
  if (bits != 136) return {};
  Block rndB;
  crypto::CbcDecrypt(rndB.data(), first.data() + 1, 16, key.data(), zero.data());
  std::uint8_t plain[32];
  std::memcpy(plain, rndA.data(), 16);
  for (std::size_t i = 0; i < 16; ++i) plain[16 + i] = rndB[(i + 1) % 16];
  Bytes second(33);
  second[0] = 0x72;
  crypto::CbcEncrypt(second.data() + 1, plain, 32, key.data(), zero.data());
  Bytes reply = bench.RawBytes(second, &bits);
  EXPECT_EQ(bits, 136);
  if (bits != 136) return {};
  Block rndA1;
  crypto::CbcDecrypt(rndA1.data(), reply.data() + 1, 16, key.data(), zero.data());
  EXPECT_EQ(rndA1[15], rndA[0]);
  Block sv;
  for (std::size_t i = 0; i < 5; ++i) {
    sv[i] = rndA[11 + i];
    sv[5 + i] = rndB[11 + i];
    sv[10 + i] = static_cast<std::uint8_t>(rndA[4 + i] ^ rndB[4 + i]);
  }
  sv[15] = 0x33;
  Block derived;
  crypto::AesEncryptBlock(key.data(), sv.data(), derived.data());
  return derived;
}

TEST(Level2, Crypto1KeyIsBoundToTheAesAuthentication) {
  Bench bench(CardAtLevel({}, 2));
  bench.Activate();
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, kFF6)).status, kStAuthFailed);
  bench.Activate();
  const Block derived = Level2Aes(bench, 0x4002, Filled(0xFF));
  std::uint8_t bound[6];
  for (int i = 0; i < 6; ++i)
    bound[i] = static_cast<std::uint8_t>(0xFF ^ derived[static_cast<std::size_t>(i)]);
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, bound)).status, 0);

  int bits = 0;
  Bytes blocks(48);
  for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(bench.RawBytes({0xA8, 4, 3}, &bits), Bytes{kAck});  // blocks 4, 5, 6
  EXPECT_EQ(bench.RawBytes(blocks, &bits), Bytes{kAck});
  Bytes back = bench.RawBytes({0x38, 4, 3}, &bits);
  EXPECT_EQ(bits, 384);
  EXPECT_EQ(back, blocks);
  EXPECT_EQ(bench.RawBytes({0x38, 6, 2}, &bits).size(), 32u);  // block 7: the masked trailer
  EXPECT_EQ(bench.RawBytes({0x38, 8, 1}, &bits), Bytes{kNakNotAllowed});  // another sector
  EXPECT_EQ(bench.RawBytes({0x38, 4, 4}, &bits), Bytes{kNakArgument});

  bench.Activate();  // the binding lasts one activation
  EXPECT_EQ(bench.Send(0x73, AuthKey(0x00, 1, bound)).status, kStAuthFailed);
}

TEST(Level2, WrongAesKeyIsNakedAndCardKeysAreRefused) {
  Bench bench(CardAtLevel({}, 2));
  bench.Activate();
  int bits = 0;
  EXPECT_EQ(bench.RawBytes({0x76, 0x00, 0x90}, &bits), Bytes{kNakNotAllowed});
  EXPECT_EQ(bench.RawBytes({0x76, 0x00, 0x41}, &bits), Bytes{kNakArgument});  // no key at 0x4100
  Bytes first = bench.RawBytes({0x76, 0x02, 0x40}, &bits);
  ASSERT_EQ(bits, 136);
  Bytes second(33, 0x55);
  second[0] = 0x72;
  EXPECT_EQ(bench.RawBytes(second, &bits), Bytes{kNakNotAllowed});
  EXPECT_EQ(bits, 4);
}

}  // namespace
}  // namespace pelkin::test
