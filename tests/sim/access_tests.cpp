#include <gtest/gtest.h>

#include "access.h"

namespace pelkin {
namespace {

TEST(AccessBits, TransportTrailerDecodesToOpenDataAndKeyATrailer) {
  const std::uint8_t bits[3] = {0xFF, 0x07, 0x80};
  std::uint8_t conditions[4];
  ASSERT_TRUE(DecodeAccessBits(bits, conditions));
  EXPECT_EQ(conditions[0], 0);
  EXPECT_EQ(conditions[1], 0);
  EXPECT_EQ(conditions[2], 0);
  EXPECT_EQ(conditions[3], 1);
}

TEST(AccessBits, EveryConditionSetSurvivesEncodeAndDecode) {
  for (int packed = 0; packed < 4096; ++packed) {
    std::uint8_t conditions[4];
    for (int g = 0; g < 4; ++g) conditions[g] = static_cast<std::uint8_t>((packed >> (3 * g)) & 7);
    std::uint8_t bits[3];
    EncodeAccessBits(conditions, bits);
    std::uint8_t back[4];
    ASSERT_TRUE(DecodeAccessBits(bits, back)) << packed;
    for (int g = 0; g < 4; ++g) ASSERT_EQ(back[g], conditions[g]) << packed;
  }
}

TEST(AccessBits, InconsistentComplementsAreRefused) {
  const std::uint8_t bits[3] = {0xFF, 0x0F, 0x80};
  std::uint8_t conditions[4];
  EXPECT_FALSE(DecodeAccessBits(bits, conditions));
}

TEST(AccessBits, RightsFollowTheClassicTables) {
  EXPECT_TRUE(DataAllowed(0b000, DataOp::kWrite, true));
  EXPECT_FALSE(DataAllowed(0b010, DataOp::kWrite, false));
  EXPECT_FALSE(DataAllowed(0b100, DataOp::kWrite, false));
  EXPECT_TRUE(DataAllowed(0b100, DataOp::kWrite, true));
  EXPECT_TRUE(DataAllowed(0b110, DataOp::kIncrement, true));
  EXPECT_FALSE(DataAllowed(0b110, DataOp::kIncrement, false));
  EXPECT_TRUE(DataAllowed(0b001, DataOp::kDecrement, false));
  EXPECT_FALSE(DataAllowed(0b001, DataOp::kIncrement, false));
  EXPECT_FALSE(DataAllowed(0b101, DataOp::kRead, false));
  EXPECT_FALSE(DataAllowed(0b111, DataOp::kRead, true));

  EXPECT_TRUE(TrailerWriteAllowed(0b001, TrailerPart::kAccessBits, false));
  EXPECT_FALSE(TrailerWriteAllowed(0b001, TrailerPart::kAccessBits, true));
  EXPECT_TRUE(TrailerWriteAllowed(0b011, TrailerPart::kKeyA, true));
  EXPECT_FALSE(TrailerReadAllowed(0b001, TrailerPart::kKeyA, false));
  EXPECT_TRUE(KeyBReadable(0b001));
  EXPECT_FALSE(KeyBReadable(0b011));
}

TEST(Layout, SmallAndLargeSectors) {
  EXPECT_EQ(SectorCount(false), 32);
  EXPECT_EQ(BlockCount(true), 256);
  EXPECT_EQ(SectorOfBlock(127), 31);
  EXPECT_EQ(SectorOfBlock(128), 32);
  EXPECT_EQ(TrailerOfSector(32), 143);
  EXPECT_EQ(TrailerOfSector(39), 255);
  EXPECT_EQ(GroupOfBlock(7), 3);
  EXPECT_EQ(GroupOfBlock(128 + 4), 0);
  EXPECT_EQ(GroupOfBlock(128 + 5), 1);
  EXPECT_EQ(GroupOfBlock(128 + 14), 2);
  EXPECT_EQ(GroupOfBlock(143), 3);
}

}  // namespace
}  // namespace pelkin
