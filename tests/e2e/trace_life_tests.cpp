// The frame trace of a whole card life holds no key the library sent: AES keys
// of personalization (both paths) and of plain Level 3 key writes, CRYPTO1 keys
// in sector trailers (personalization, Level 1 and Level 2 writes) and in the
// authentications.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

// Bytes that look random, so that no four-byte run of one key turns up by
// chance in another key or in the other traffic.
Bytes Distinct(unsigned seed, std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t x = seed * 0x9E3779B1u + static_cast<std::uint32_t>(i) * 0x85EBCA6Bu;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    b[i] = static_cast<unsigned char>(x >> 8);
  }
  return b;
}

Bytes Trailer(const Bytes& keyA, const Bytes& keyB) {
  Bytes t = keyA;
  const Bytes access = {0xFF, 0x07, 0x80, 0x69};
  t.insert(t.end(), access.begin(), access.end());
  t.insert(t.end(), keyB.begin(), keyB.end());
  return t;
}

std::string HexRun(const Bytes& b, std::size_t from, std::size_t n) {
  std::string text;
  char pair[4];
  for (std::size_t i = from; i < from + n; ++i) {
    std::snprintf(pair, sizeof pair, i == from ? "%02X" : " %02X", b[i]);
    text += pair;
  }
  return text;
}

class TraceLife : public CardTest {
 protected:
  void TearDown() override {
    ReaderCommExit();
    ::unsetenv("OSTREL_TRACE");
    std::remove(path_.c_str());
  }
  std::string path_ = testing::TempDir() + "trace_life_" + std::to_string(::getpid()) + ".log";
};

TEST_F(TraceLife, NoKeyTheLibrarySendsReachesTheTrace) {
  std::remove(path_.c_str());
  ::setenv("OSTREL_TRACE", path_.c_str(), 1);
  if (!Open()) return;

  const Bytes master = Distinct(1, 16), config = Distinct(2, 16), level2 = Distinct(3, 16),
              level3 = Distinct(4, 16), sector0 = Distinct(5, 16), sector1 = Distinct(6, 16),
              proximity = Distinct(7, 16), vcEnc = Distinct(8, 16), vcMac = Distinct(9, 16),
              newSector1 = Distinct(10, 16);
  const Bytes a1 = Distinct(11, 6), b1 = Distinct(12, 6), a2 = Distinct(13, 6),
              b2 = Distinct(14, 6), a3 = Distinct(15, 6), b3 = Distinct(16, 6);
  const Bytes plainData = Distinct(17, 16);  // not a key: must stay readable

  // Level 0: card keys, sector keys and virtual card keys on both paths, and a trailer.
  Activate();
  const std::pair<unsigned short, const Bytes*> classic[] = {
      {0x9000, &master},  {0x9001, &config},  {0x9002, &level2},   {0x9003, &level3},
      {0x4000, &sector0}, {0x4002, &sector1}, {0xA000, &proximity}};
  for (const auto& [address, key] : classic) {
    EXPECT_EQ(PLUSWritePersoClassic(address, key->data()), 0) << address;
  }
  EXPECT_EQ(PLUSWritePersoClassic(0x0007, Trailer(a1, b1).data()), 0);
  ActivateLayer4();
  EXPECT_EQ(PLUSWritePersoTCL(0xA080, vcEnc.data()), 0);
  EXPECT_EQ(PLUSWritePersoTCL(0xA081, vcMac.data()), 0);
  EXPECT_EQ(PLUSCommitPersoTCL(), 0);

  // Level 1: CRYPTO1 authentication and a trailer write with new keys.
  Activate();
  EXPECT_EQ(PiccAuthKey(0x00, a1.data(), 1), 0);
  EXPECT_EQ(PiccWriteBlock(7, Trailer(a2, b2).data()), 0);

  // Level 2: AES then CRYPTO1 authentication, a multi-block trailer write.
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9002, level2.data()), 0);
  Activate();
  EXPECT_EQ(PLUSSL2AESAuth(0x4002, sector1.data()), 0);
  EXPECT_EQ(PLUSSL2CryptoAuth(0x00, 1, a2.data()), 0);
  PLUSSL2MultiBlockWrite(7, 1, Trailer(a3, b3).data());

  // Level 3: a plain data write, and a sector key written in plain (whatever
  // the card makes of it, the key went out).
  ActivateLayer4();
  EXPECT_EQ(PLUSSL3FirstAuth(0x9003, level3.data()), 0);
  ActivateLayer4();
  ASSERT_EQ(PLUSSL3FirstAuth(0x4002, sector1.data()), 0);
  EXPECT_EQ(PLUSSL3Write(0xA3, 4, 1, plainData.data()), 0);
  PLUSSL3Write(0xA3, 0x4002, 1, newSector1.data());
  ReaderCommExit();

  std::ifstream in(path_);
  std::stringstream text;
  text << in.rdbuf();
  const std::string trace = text.str();
  ASSERT_NE(trace.find("> 00 90 "), std::string::npos) << "no raw exchange traced";
  ASSERT_NE(trace.find(HexRun(plainData, 0, 16)), std::string::npos)
      << "plain data must be readable: the search would find a key";
  const Bytes* keys[] = {&master,    &config, &level2, &level3,     &sector0, &sector1,
                         &proximity, &vcEnc,  &vcMac,  &newSector1, &a1,      &b1,
                         &a2,        &b2,     &a3,     &b3};
  for (const Bytes* key : keys) {
    for (std::size_t i = 0; i + 4 <= key->size(); ++i) {
      const std::string run = HexRun(*key, i, 4);
      EXPECT_EQ(trace.find(run), std::string::npos) << "key bytes " << run << " in the trace";
    }
  }
}

}  // namespace
}  // namespace e2e
