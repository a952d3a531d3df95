// Read-all planning without widgets: the key set made from the keys on screen
// and the log entry of each sector.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "core/card_text.h"
#include "core/messages.h"
#include "core/read_all_plan.h"
#include "core_qt_print.h"

namespace {

TEST(ReadAllPlanTest, TheKeyOnScreenGoesToTheSlotsItsLevelUses) {
  std::uint8_t key[16], aesKey[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<std::uint8_t>(0x10 + i);
    aesKey[i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  struct Case {
    int level;
    bool aes, keyB;
    const std::uint8_t* expectAes;  // nullptr: no AES key
    bool expectCrypto1;
  };
  const Case cases[] = {
      {1, false, false, nullptr, true}, {1, false, true, nullptr, true},
      {2, false, false, aesKey, true},  {2, false, true, aesKey, true},
      {2, true, false, key, false},     {3, true, true, key, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level * 100 + c.aes * 10 + c.keyB);
    const cardtools::KeyFile keys = KeysForEverySector(c.level, c.aes, c.keyB, key, aesKey);
    ASSERT_EQ(keys.sectors.size(), 40u);
    for (const auto& [sector, set] : keys.sectors) {
      const auto& aesSlot = c.keyB ? set.aesB : set.aesA;
      const auto& otherAes = c.keyB ? set.aesA : set.aesB;
      const auto& crypto1Slot = c.keyB ? set.crypto1B : set.crypto1A;
      const auto& otherCrypto1 = c.keyB ? set.crypto1A : set.crypto1B;
      EXPECT_FALSE(otherAes.has_value());
      EXPECT_FALSE(otherCrypto1.has_value());
      ASSERT_EQ(aesSlot.has_value(), c.expectAes != nullptr);
      if (aesSlot) {
        EXPECT_TRUE(std::equal(aesSlot->begin(), aesSlot->end(), c.expectAes));
      }
      ASSERT_EQ(crypto1Slot.has_value(), c.expectCrypto1);
      if (crypto1Slot) {
        EXPECT_TRUE(std::equal(crypto1Slot->begin(), crypto1Slot->end(), key));
      }
    }
  }
}

TEST(ReadAllPlanTest, SectorEntryShowsTheBlocksReadOrWhyNot) {
  cardtools::Dump dump;
  for (int block = 128; block < 144; ++block)
    dump.blocks[block].fill(static_cast<std::uint8_t>(block));
  struct Case {
    const char* status;
    const char* reason;  // nullptr: read
  };
  for (const Case& c : {Case{"read", nullptr}, Case{"key missing", "keyMissing"},
                        Case{"key refused", "keyRefused"}, Case{"not read", "partial"}}) {
    SCOPED_TRACE(c.status);
    dump.sectors[32].status = c.status;
    const QString entry = SectorEntry(3, 32, dump);
    if (c.reason == nullptr) {
      QString blocks;
      for (int block = 128; block < 144; ++block)
        blocks += BlockDataText(dump.blocks[block].data(), 1);
      EXPECT_EQ(entry,
                UiText(QStringLiteral("readAll.sector")).arg(3).arg(QStringLiteral("20")) + blocks);
    } else {
      EXPECT_EQ(entry, UiText(QStringLiteral("readAll.sectorFailed"))
                           .arg(3)
                           .arg(QStringLiteral("20"))
                           .arg(UiText(QStringLiteral("readAll.") + QLatin1String(c.reason))));
    }
  }
}

}  // namespace
