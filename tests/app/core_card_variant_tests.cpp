// The S/X variant from the ATS, found through the format byte wherever the
// historical bytes start.
#include <gtest/gtest.h>

#include <vector>

#include "core/card_variant.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(CardVariant, HistoricalBytesAreFoundThroughTheFormatByte) {
  const Bytes s = {0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
  const Bytes x = {0xC1, 0x05, 0x2F, 0x2F, 0x01, 0xBC, 0xD6};
  struct Case {
    Bytes head;  // TL is added; T0 and the interface bytes it announces
    const Bytes* historical;
    bool plusS;
  };
  const Case cases[] = {
      {{0x75, 0x77, 0x80, 0x02}, &s, true},  // the card's own ATS: TA, TB and TC
      {{0x75, 0x77, 0x80, 0x02}, &x, false},
      {{0x08}, &s, true},  // rebuilt by a PC/SC reader: no interface bytes
      {{0x08}, &x, false},
      {{0x35, 0x77, 0x02}, &s, true},  // TA and TB only
      {{0x48, 0x02}, &s, true},        // TC only
  };
  for (const Case& c : cases) {
    Bytes ats{0};
    ats.insert(ats.end(), c.head.begin(), c.head.end());
    ats.insert(ats.end(), c.historical->begin(), c.historical->end());
    ats[0] = static_cast<unsigned char>(ats.size());
    Bytes buffer(100, 0x07);  // as the window fills it before RATS
    std::copy(ats.begin(), ats.end(), buffer.begin());
    EXPECT_EQ(AtsNamesPlusS(buffer.data(), buffer.size()), c.plusS) << int(c.head[0]);
  }
}

TEST(CardVariant, ShortOrInconsistentAtsIsNotAnSCard) {
  // The S bytes at the old fixed places 9..11, but the ATS says it ends before them.
  Bytes shortAts = {0x05, 0x75, 0x77, 0x80, 0x02, 0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
  EXPECT_FALSE(AtsNamesPlusS(shortAts.data(), shortAts.size()));
  // A length byte beyond the buffer.
  Bytes tooLong = {0x40, 0x08, 0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
  EXPECT_FALSE(AtsNamesPlusS(tooLong.data(), tooLong.size()));
  // Too few historical bytes.
  Bytes few = {0x06, 0x08, 0xC1, 0x05, 0x2F, 0x2F};
  EXPECT_FALSE(AtsNamesPlusS(few.data(), few.size()));
  EXPECT_FALSE(AtsNamesPlusS(nullptr, 0));
}

}  // namespace
