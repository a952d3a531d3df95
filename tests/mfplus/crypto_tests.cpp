// AES-128, CBC and CMAC against the published vectors (FIPS-197, SP 800-38A,
// RFC 4493) plus the length rules the MIFARE Plus layer relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "hex.h"
#include "mfplus/crypto.h"

namespace {

using ostrel::crypto::Aes128CbcDecrypt;
using ostrel::crypto::Aes128CbcEncrypt;
using Bytes = std::vector<std::uint8_t>;
using ostrel::test::Hex;

const Bytes kRfcKey = Hex("2b7e151628aed2a6abf7158809cf4f3c");
// SP 800-38A / RFC 4493 example plaintext, four blocks.
const Bytes kPlain =
    Hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
const Bytes kCbcIv = Hex("000102030405060708090a0b0c0d0e0f");
const Bytes kCbcCipher =
    Hex("7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
        "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7");

Bytes Tag(const Bytes& message, std::size_t length, const Bytes& key = kRfcKey) {
  Bytes tag(16);
  const std::uint8_t zero[16] = {};
  ostrel::crypto::Cmac(tag.data(), message.data(), length, key.data(), zero);
  return tag;
}

Bytes Truncated(const Bytes& message, std::size_t length, const Bytes& key = kRfcKey) {
  Bytes mac(8);
  ostrel::crypto::CmacTruncated(mac.data(), message.data(), length, key.data());
  return mac;
}

Bytes OddBytes(const Bytes& tag) {
  Bytes out;
  for (std::size_t i = 1; i < tag.size(); i += 2) out.push_back(tag[i]);
  return out;
}

Bytes Pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return out;
}

TEST(Aes128, MatchesFips197Vectors) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Vector vectors[] = {
      // Appendix C.1 and the Appendix B walk-through.
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
       "3925841d02dc09fbdc118597196a0b32"},
  };
  for (const auto& v : vectors) {
    Bytes key = Hex(v.key), plain = Hex(v.plain), cipher = Hex(v.cipher), out(16);
    ostrel::crypto::AesEncryptBlock(key.data(), plain.data(), out.data());
    EXPECT_EQ(out, cipher) << v.key;
    ostrel::crypto::AesDecryptBlock(key.data(), cipher.data(), out.data());
    EXPECT_EQ(out, plain) << v.key;
  }
}

TEST(Aes128, ManyKeysRoundTripInPlace) {
  // Exercises every decryption table entry path through the equivalent inverse cipher.
  Bytes key = Pattern(16);
  for (int round = 0; round < 64; ++round) {
    Bytes block = Pattern(16);
    block[0] = static_cast<std::uint8_t>(round);
    const Bytes original = block;
    ostrel::crypto::AesEncryptBlock(key.data(), block.data(), block.data());
    EXPECT_NE(block, original);
    ostrel::crypto::AesDecryptBlock(key.data(), block.data(), block.data());
    ASSERT_EQ(block, original) << round;
    key[static_cast<std::size_t>(round) % 16] ^= static_cast<std::uint8_t>(round * 37 + 1);
  }
}

TEST(Cbc, MatchesSp80038aBothWaysAndKeepsTheIv) {
  Bytes iv = kCbcIv;
  Bytes out(64);
  Aes128CbcEncrypt(out.data(), kPlain.data(), 64, kRfcKey.data(), iv.data());
  EXPECT_EQ(out, kCbcCipher);
  EXPECT_EQ(iv, kCbcIv);
  Aes128CbcDecrypt(out.data(), kCbcCipher.data(), 64, kRfcKey.data(), iv.data());
  EXPECT_EQ(out, kPlain);
  EXPECT_EQ(iv, kCbcIv);

  // In place gives the same bytes.
  Bytes inPlace = kPlain;
  Aes128CbcEncrypt(inPlace.data(), inPlace.data(), 64, kRfcKey.data(), iv.data());
  EXPECT_EQ(inPlace, kCbcCipher);
  Aes128CbcDecrypt(inPlace.data(), inPlace.data(), 64, kRfcKey.data(), iv.data());
  EXPECT_EQ(inPlace, kPlain);
}

TEST(Cbc, EncryptTakesBlockCountFromBitsFourToSix) {
  const Bytes filler(128, 0xEE);
  auto encrypted = [&](std::uint8_t length) {
    Bytes out = filler;
    Aes128CbcEncrypt(out.data(), kPlain.data(), length, kRfcKey.data(), kCbcIv.data());
    return out;
  };
  Bytes one = encrypted(20);
  EXPECT_TRUE(std::equal(one.begin(), one.begin() + 16, kCbcCipher.begin()));
  EXPECT_TRUE(std::all_of(one.begin() + 16, one.end(), [](std::uint8_t b) { return b == 0xEE; }));
  Bytes three = encrypted(48);
  EXPECT_TRUE(std::equal(three.begin(), three.begin() + 48, kCbcCipher.begin()));
  EXPECT_EQ(three[48], 0xEE);
  EXPECT_EQ(encrypted(128), filler);
}

TEST(Cbc, DecryptTakesBlockCountFromTheUpperFourBits) {
  Bytes plain = Pattern(256);
  Bytes cipher(256);
  ostrel::crypto::CbcEncrypt(cipher.data(), plain.data(), 240, kRfcKey.data(), kCbcIv.data());
  Bytes out(256, 0xEE);
  Aes128CbcDecrypt(out.data(), cipher.data(), 240, kRfcKey.data(), kCbcIv.data());
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 240, plain.begin()));
  EXPECT_EQ(out[240], 0xEE);
  // 0x0F: no whole block.
  Bytes untouched(16, 0xEE);
  Aes128CbcDecrypt(untouched.data(), cipher.data(), 0x0F, kRfcKey.data(), kCbcIv.data());
  EXPECT_EQ(untouched, Bytes(16, 0xEE));
}

TEST(Cmac, SubkeysMatchRfc4493) {
  Bytes k1(16), k2(16);
  ostrel::crypto::CmacGenerateSubkeys(k1.data(), k2.data(), kRfcKey.data());
  EXPECT_EQ(k1, Hex("fbeed618357133667c85e08f7236a8de"));
  EXPECT_EQ(k2, Hex("f7ddac306ae266ccf90bc11ee46d513b"));
}

TEST(Cmac, ShiftLeftDropsTheTopBitAndWorksInPlace) {
  Bytes value = Hex("80000000000000000000000000000081");
  ostrel::crypto::CmacShiftLeft(value.data(), value.data());
  EXPECT_EQ(value, Hex("00000000000000000000000000000102"));
  Bytes carry = Hex("00ff0000000000000000000000000000");
  Bytes out(16);
  ostrel::crypto::CmacShiftLeft(out.data(), carry.data());
  EXPECT_EQ(out, Hex("01fe0000000000000000000000000000"));
}

TEST(Cmac, Rfc4493ExamplesFullAndTruncated) {
  struct Example {
    std::size_t length;
    const char* tag;
  };
  const Example examples[] = {
      {0, "bb1d6929e95937287fa37d129b756746"},
      {16, "070a16b46b4d4144f79bdd9dd04a287c"},
      {40, "dfa66747de9ae63030ca32611497c827"},
      {64, "51f0bebf7e3b9d92fc49741779363cfe"},
  };
  for (const auto& e : examples) {
    Bytes expected = Hex(e.tag);
    EXPECT_EQ(Tag(kPlain, e.length), expected) << e.length;
    // The MIFARE Plus MAC is T[1], T[3], ..., T[15], not the first half.
    EXPECT_EQ(Truncated(kPlain, e.length), OddBytes(expected)) << e.length;
  }
  EXPECT_EQ(Truncated(kPlain, 16), Hex("0ab44d449b9d4a7c"));
}

TEST(Cmac, LongMessagesBeyondOneCbcCallAreMacedWhole) {
  // Reference tags from an independent AES-CMAC implementation; message byte i = 7i + 3.
  EXPECT_EQ(Tag(Pattern(128), 128), Hex("7d19658d1ad7edd7141c252850e71208"));
  EXPECT_EQ(Tag(Pattern(300), 300), Hex("72f107c2ccbe2c7cdd9605156dc8bd76"));
  EXPECT_EQ(Tag(Pattern(6144), 6144), Hex("043219873ae37310127694fd39219bdf"));
}

TEST(Cmac, StartValueChainsLikeAPrecedingBlock) {
  // A zero start value is plain CMAC.
  const std::uint8_t zero[16] = {};
  for (std::size_t length : {1u, 10u, 16u, 32u, 58u}) {
    Bytes withIv(8);
    ostrel::crypto::CmacTruncatedIv(withIv.data(), kPlain.data(), length, kRfcKey.data(), zero);
    EXPECT_EQ(withIv, Truncated(kPlain, length)) << length;
  }
  // Starting from S equals MACing a message whose first block is XORed with S.
  Bytes start = Pattern(16);
  Bytes shifted = kPlain;
  for (int i = 0; i < 16; ++i)
    shifted[static_cast<std::size_t>(i)] ^= start[static_cast<std::size_t>(i)];
  for (std::size_t length : {16u, 40u, 64u}) {
    Bytes withIv(8);
    ostrel::crypto::CmacTruncatedIv(withIv.data(), kPlain.data(), length, kRfcKey.data(),
                                    start.data());
    EXPECT_EQ(withIv, Truncated(shifted, length)) << length;
  }
}

}  // namespace
