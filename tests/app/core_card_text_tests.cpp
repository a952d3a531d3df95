// Shared texts and checks of the operator commands and dialogs: exact byte
// input, block data text and the packed dialog result.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "core/card_text.h"
#include "core/hex_text.h"
#include "core/messages.h"
#include "core_qt_print.h"

namespace {

TEST(ExactBytesTest, OnlyWholeGroupsOfTheRightCountPass) {
  struct Case {
    const char* text;
    int count;
    bool ok;
  };
  const Case cases[] = {
      {"00 11 22 33 44 55", 6, true},
      {"00,11\t22 33  44 5A", 6, true},
      {"00 11 22 33 44 5", 6, false},  // a half-typed last byte
      {"00 11 22 33 44", 6, false},
      {"00 11 22 33 44 55 66", 6, false},
      {"00 11 22 33 44 5G", 6, false},
      {"001 11 22 33 44 55", 6, false},
      {"", 6, false},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 8> out;
    out.fill(0xEE);
    EXPECT_EQ(hextext::ExactBytes(QString::fromLatin1(c.text), out.data(), c.count), c.ok)
        << c.text;
    if (!c.ok) {
      // Nothing half-parsed is left behind for a caller that ignores the result.
      for (int i = 0; i < c.count; ++i) EXPECT_EQ(out[i], 0) << c.text;
    }
    EXPECT_EQ(out[c.count], 0xEE) << "wrote past the count: " << c.text;
  }
  std::uint8_t key[6] = {};
  ASSERT_TRUE(hextext::ExactBytes(QStringLiteral("a0 A1 a2 A3 A4 ff"), key, 6));
  EXPECT_EQ(key[0], 0xA0);
  EXPECT_EQ(key[5], 0xFF);
}

TEST(BlockDataTextTest, FourGroupsOfFourBytesPerRow) {
  std::uint8_t rows[32];
  for (int i = 0; i < 32; ++i) rows[i] = static_cast<std::uint8_t>(i * 0x11 & 0xFF);
  EXPECT_EQ(BlockDataText(rows, 2),
            QStringLiteral("00 11 22 33   44 55 66 77   88 99 AA BB   CC DD EE FF\n"
                           "10 21 32 43   54 65 76 87   98 A9 BA CB   DC ED FE 0F\n"));
}

TEST(PackedResultTest, LargeCausesSurviveAndEqualHalvesShowOnce) {
  const std::uint32_t packed = PackResult(2230, 32211);
  EXPECT_EQ(ResultMessage(packed), 2230);
  EXPECT_EQ(ResultCause(packed), 32211);
  EXPECT_EQ(ResultText(PackResult(2225, 2225)), LoadMessage(2225));
  EXPECT_EQ(ResultText(PackResult(2230, 1950)), LoadMessage(2230) + u'\n' + LoadMessage(1950));
  const int registered = RegisterMessage(QStringLiteral("registered cause"));
  EXPECT_TRUE(
      ResultText(PackResult(2230, registered)).endsWith(QStringLiteral("registered cause")));
}

}  // namespace
