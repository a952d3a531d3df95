// Whole-card work against the in-process simulated card through the real library:
// Level 1 reads that need key B for some blocks, trailer restores, Level 2 reads
// bound to the AES key, personalization of 2K cards and its refusals, value blocks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "air_clock.h"
#include "cardtools/card.h"

namespace cardtools {
namespace {

AesKey Aes(std::uint8_t value) {
  AesKey key;
  key.fill(value);
  return key;
}
Crypto1Key C1(std::uint8_t value) {
  Crypto1Key key;
  key.fill(value);
  return key;
}
Block Data(std::uint8_t seed) {
  Block block;
  for (std::size_t i = 0; i < 16; ++i) block[i] = static_cast<std::uint8_t>(seed + i);
  return block;
}

// Transport CRYPTO1 keys and an AES pair in every sector, and the four card keys.
KeyFile CardKeys() {
  KeyFile keys;
  for (int sector = 0; sector < 40; ++sector) {
    SectorKeys& set = keys.sectors[sector];
    set.aesA = Aes(static_cast<std::uint8_t>(sector + 1));
    set.aesB = Aes(static_cast<std::uint8_t>(sector + 0x81));
    set.crypto1A = set.crypto1B = C1(0xFF);
  }
  for (std::uint16_t address = 0x9000; address <= 0x9003; ++address)
    keys.cardKeys[address] = Aes(static_cast<std::uint8_t>(address & 0x0F));
  return keys;
}

class CardWalk : public ::testing::Test {
 protected:
  void TearDown() override { CloseReader(); }

  CardInfo Open(const std::string& variant) {
    ::setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
    EXPECT_TRUE(OpenReader("sim:seed=5,variant=" + variant).ok());
    return Activate();
  }
  CardInfo Activate() {
    CardInfo info;
    const Result result = ActivateCard(&info);
    EXPECT_TRUE(result.ok()) << result.message;
    return info;
  }
};

TEST_F(CardWalk, LevelOneReadsWithKeyBWhereKeyACannotAndRestoresATrailer) {
  KeyFile keys = CardKeys();
  // Sector 1: block 4 readable by key B only (condition 101), the trailer hides key B
  // so that it is a key (011: only key B writes the trailer).
  keys.sectors[1].crypto1A = C1(0xA1);
  keys.sectors[1].crypto1B = C1(0xB1);
  keys.sectors[1].access = AccessBytes{0x7E, 0x16, 0x98, 0x69};
  CardInfo info = Open("X2K4");
  ASSERT_EQ(info.level, 0);
  ASSERT_TRUE(Personalize(info, keys, true).ok());
  info = Activate();
  ASSERT_EQ(info.level, 1);
  ASSERT_EQ(info.size, CardSize::k2K);
  const BlockKey keyA{{0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1}, {}, false};
  ASSERT_TRUE(WriteBlock(info, 5, keyA, Data(0x50)).ok());
  Block seen;
  EXPECT_EQ(ReadBlock(info, 4, keyA, &seen).outcome, Outcome::kKeyRefused);
  info = Activate();

  DumpOutcome first = DumpCard(info, keys);
  ASSERT_TRUE(first.result.ok()) << first.result.message;
  EXPECT_EQ(first.sectorsRead, 32);
  ASSERT_EQ(first.dump.blocks.size(), 128u) << "block 4 read with key B";
  EXPECT_EQ(first.dump.blocks.at(5), Data(0x50));
  EXPECT_EQ(ToHex(first.dump.blocks.at(7)), "A1A1A1A1A1A17E169869B1B1B1B1B1B1")
      << "the keys, hidden by the card, come from the key file";

  // A dump that changes block 6 and key A: the trailer goes last, both are written
  // (the trailer with key B after key A is refused).
  Dump wanted = first.dump;
  wanted.blocks[6] = Data(0x60);
  std::copy_n(std::array<std::uint8_t, 6>{0xC1, 0xC1, 0xC1, 0xC1, 0xC1, 0xC1}.begin(), 6,
              wanted.blocks[7].begin());
  wanted.sectors[1].keyA = "C1C1C1C1C1C1";
  EXPECT_TRUE(PlanRestore(wanted, first.dump, false).changes.size() == 1) << "trailer left alone";
  const RestorePlan plan = PlanRestore(wanted, first.dump, true);
  ASSERT_TRUE(plan.refusals.empty()) << plan.refusals.front();
  ASSERT_EQ(plan.changes.size(), 2u);
  EXPECT_EQ(plan.changes.back().block, 7);
  ASSERT_TRUE(ApplyRestore(info, keys, plan).result.ok());

  keys.sectors[1].crypto1A = C1(0xC1);
  info = Activate();
  const DumpOutcome second = DumpCard(info, keys);
  ASSERT_TRUE(second.result.ok()) << second.result.message;
  EXPECT_EQ(second.dump.blocks, wanted.blocks);
}

TEST_F(CardWalk, LevelTwoReadsBindCrypto1ToTheAesKey) {
  KeyFile keys = CardKeys();
  CardInfo info = Open("X4K4");
  ASSERT_TRUE(Personalize(info, keys, true).ok());
  info = Activate();
  ASSERT_TRUE(SwitchLevel(info, 2, keys.cardKeys.at(0x9002)).ok());
  info = Activate();
  ASSERT_EQ(info.level, 2);
  ASSERT_EQ(info.size, CardSize::k4K);
  const BlockKey key{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(16, 0x22), false};
  ASSERT_TRUE(WriteBlock(info, 146, key, Data(0x30)).ok()) << "sector 33 key A is all 0x22";
  const BlockKey wrongAes{key.key, Bytes(16, 0x23), false};
  Block seen;
  EXPECT_FALSE(ReadBlock(info, 146, wrongAes, &seen).ok());
  info = Activate();

  DumpOutcome dump = DumpCard(info, keys);
  ASSERT_TRUE(dump.result.ok()) << dump.result.message;
  EXPECT_EQ(dump.sectorsRead, 40);
  EXPECT_EQ(dump.dump.blocks.size(), 256u);
  EXPECT_EQ(dump.dump.blocks.at(146), Data(0x30));

  keys.sectors[6].aesA.reset();
  keys.sectors[6].aesB = Aes(0x99);
  info = Activate();
  dump = DumpCard(info, keys);
  EXPECT_EQ(dump.result.outcome, Outcome::kKeyRefused);
  EXPECT_EQ(dump.dump.sectors.at(6).status, "key refused");
  EXPECT_EQ(dump.sectorsRead, 39) << "the other sectors are still read";
}

TEST_F(CardWalk, PersonalizationRefusalsAndTwoKCards) {
  KeyFile keys = CardKeys();
  KeyFile noCardKey = keys;
  noCardKey.cardKeys.erase(0x9003);
  CardInfo info = Open("S2K7");
  EXPECT_EQ(Personalize(info, noCardKey, true).outcome, Outcome::kBadInput);
  info = Activate();
  EXPECT_EQ(info.level, 0) << "a refused commit writes nothing and commits nothing";
  EXPECT_EQ(SwitchLevel(info, 3, keys.cardKeys.at(0x9003)).outcome, Outcome::kBadInput);
  ASSERT_TRUE(Personalize(info, keys, true).ok()) << "sectors 32 to 39 are left out on a 2K card";
  info = Activate();
  EXPECT_EQ(info.level, 1);
  EXPECT_EQ(Personalize(info, keys, false).outcome, Outcome::kBadInput);
  EXPECT_EQ(info.id.uid.size(), 7u);

  const BlockKey key{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}, false};
  std::int32_t value = 0;
  ASSERT_TRUE(ValueBlock(info, 9, key, ValueOp::kSet, 100, &value).ok());
  ASSERT_TRUE(ValueBlock(info, 9, key, ValueOp::kIncrement, 23, &value).ok());
  ASSERT_TRUE(ValueBlock(info, 9, key, ValueOp::kDecrement, 3, &value).ok());
  EXPECT_EQ(value, 120);
  EXPECT_EQ(ValueBlock(info, 11, key, ValueOp::kGet, 0, &value).outcome, Outcome::kBadInput);
  EXPECT_EQ(WriteBlock(info, 0, key, Data(0)).outcome, Outcome::kBadInput);
  Block seen;
  EXPECT_EQ(ReadBlock(info, 200, key, &seen).outcome, Outcome::kBadInput) << "beyond a 2K card";
}

// The simulated reader's clock, reached in the driver as the dump benchmark reaches
// it, counts every reader exchange of a Level 3 dump: as many as the frame trace holds.
TEST_F(CardWalk, TheReaderClockCountsEveryExchange) {
  const std::string tracePath = ::testing::TempDir() + "clock.trace";
  std::remove(tracePath.c_str());
  ::setenv("OSTREL_TRACE", tracePath.c_str(), 1);
  KeyFile keys = CardKeys();
  CardInfo info = Open("X2K4");
  ::unsetenv("OSTREL_TRACE");
  ASSERT_TRUE(Personalize(info, keys, true).ok());
  info = Activate();
  ASSERT_TRUE(SwitchLevel(info, 3, keys.cardKeys.at(0x9003)).ok());

  void* driver = ::dlopen(HOLLINK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(driver, nullptr);
  auto read = reinterpret_cast<void (*)(PelkinAirTotals*)>(::dlsym(driver, "PelkinAirClockRead"));
  auto reset = reinterpret_cast<void (*)()>(::dlsym(driver, "PelkinAirClockReset"));
  ASSERT_TRUE(read != nullptr && reset != nullptr);
  auto requests = [&] {
    std::ifstream in(tracePath);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(" > ") != std::string::npos;
    return count;
  };
  const int before = requests();
  reset();
  info = Activate();
  ASSERT_TRUE(DumpCard(info, keys).result.ok());
  PelkinAirTotals totals{};
  read(&totals);
  ::dlclose(driver);
  EXPECT_EQ(static_cast<int>(totals.readerFrames), requests() - before);
  // One authentication and one read of the whole sector: four exchanges per sector.
  EXPECT_LE(totals.readerFrames, 32u * 4 + 12);
  EXPECT_GT(totals.airBytes, 32u * 64) << "every data byte crossed the air";
  EXPECT_GT(totals.airMicros, 0.0);
}

}  // namespace
}  // namespace cardtools
