// The simulated card behind each kind of PC/SC reader: what every kind answers,
// APDU in and answer out, and how it refuses what such a reader does not know.
#include <gtest/gtest.h>

#include "contactless_atr.h"
#include "pcsc_air.h"
#include "sim_test_support.h"
#include "virtual_pcsc_card.h"

namespace pelkin::test {
namespace {

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// C0 status, answer objects, 90 00.
Bytes Part3(std::uint8_t index, std::uint8_t sw1, std::uint8_t sw2, const Bytes& objects = {}) {
  return Cat(Cat({0xC0, 0x03, index, sw1, sw2}, objects), {0x90, 0x00});
}

// FF C2 00 p2 with these data objects.
Bytes C2(std::uint8_t p2, const Bytes& objects) {
  return Cat({0xFF, 0xC2, 0x00, p2, static_cast<std::uint8_t>(objects.size())}, objects);
}

// A transceive of `frame` (tag 95) after the flags (tag 90) and, for a partial
// last byte, the bit framing (tag 91).
Bytes Transceive(std::uint16_t flags, const Bytes& frame, int lastBits = 0) {
  Bytes objects{0x90, 0x02, static_cast<std::uint8_t>(flags >> 8),
                static_cast<std::uint8_t>(flags)};
  if (lastBits != 0) objects = Cat(objects, {0x91, 0x01, static_cast<std::uint8_t>(lastBits)});
  objects = Cat(objects, Cat({0x95, static_cast<std::uint8_t>(frame.size())}, frame));
  return C2(0x01, objects);
}

struct Step {
  const char* what;
  Bytes apdu;
  Bytes answer;
};

class PcscReader {
 public:
  PcscReader(PcscReaderKind kind, int level, const Variant& variant = {})
      : rng_(3), card_(CardAtLevel(variant, level), &rng_), reader_(&card_, kind) {
    reader_.PowerOn();
  }
  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) EXPECT_EQ(reader_.Transmit(step.apdu), step.answer) << step.what;
  }
  Card& card() { return card_; }
  VirtualPcscCard& reader() { return reader_; }
  Bytes Uid() const { return card_.image().uid; }

 private:
  Rng rng_;
  Card card_;
  VirtualPcscCard reader_;
};

TEST(PcscReaderKind, NamesReadBackAndUnknownOnesAreRefused) {
  for (PcscReaderKind kind :
       {PcscReaderKind::kGeneric, PcscReaderKind::kPart3, PcscReaderKind::kPn532}) {
    PcscReaderKind parsed = PcscReaderKind::kGeneric;
    EXPECT_TRUE(ParsePcscReaderKind(PcscReaderKindName(kind), &parsed));
    EXPECT_EQ(parsed, kind);
  }
  PcscReaderKind parsed = PcscReaderKind::kPart3;
  for (const char* bad : {"", "Part3", "acr122u", "pn533"}) {
    EXPECT_FALSE(ParsePcscReaderKind(bad, &parsed)) << bad;
  }
  EXPECT_EQ(parsed, PcscReaderKind::kPart3);
}

TEST(CrcA, MatchesTheStandardsExamplesAndCatchesAFlippedBit) {
  const std::pair<Bytes, Bytes> cases[] = {
      {{0x00, 0x00}, {0xA0, 0x1E}},
      {{0x12, 0x34}, {0x26, 0xCF}},
      {{0x50, 0x00}, {0x57, 0xCD}},  // HLTA
      {{0xE0, 0x50}, {0xBC, 0xA5}},  // RATS
  };
  for (const auto& [data, crc] : cases) {
    const Bytes framed = WithCrcA(data);
    EXPECT_EQ(Bytes(framed.end() - 2, framed.end()), crc);
    EXPECT_TRUE(CrcAValid(framed));
    Bytes broken = framed;
    broken[0] ^= 0x01;
    EXPECT_FALSE(CrcAValid(broken));
  }
  EXPECT_FALSE(CrcAValid({0x52, 0x00}));
}

TEST(GenericPcscReader, RefusesTheCommandsOfOtherReaderKinds) {
  PcscReader reader(PcscReaderKind::kGeneric, 1);
  reader.Run({
      {"manage session", C2(0x00, {0x81, 0x00}), {0x6D, 0x00}},
      {"switch protocol", C2(0x02, {0x8F, 0x02, 0x00, 0x03}), {0x6D, 0x00}},
      {"read value", {0xFF, 0xB1, 0x00, 0x04, 0x04}, {0x6D, 0x00}},
      {"increment", {0xFF, 0xD7, 0x00, 0x04, 0x05, 0x01, 0, 0, 0, 1}, {0x6D, 0x00}},
      {"firmware query", {0xFF, 0x00, 0x48, 0x00, 0x00}, {0x6D, 0x00}},
      {"pass-through", {0xFF, 0x00, 0x00, 0x00, 0x02, 0xD4, 0x02}, {0x6D, 0x00}},
  });
}

TEST(Part3PcscReader, ManageSessionAnswersEachDataObject) {
  PcscReader reader(PcscReaderKind::kPart3, 3);
  reader.Run({
      {"version", C2(0x00, {0x80, 0x00}), Part3(0, 0x90, 0x00, {0x80, 0x03, 0x01, 0x00, 0x00})},
      {"RF off outside a session", C2(0x00, {0x83, 0x00}), Part3(1, 0x69, 0x85)},
      {"exchange outside a session", Transceive(0, {0x26}, 7), Part3(1, 0x69, 0x85)},
      {"start, timer", C2(0x00, {0x81, 0x00, 0x5F, 0x46, 0x04, 0x00, 0x00, 0x13, 0x88}),
       Part3(0, 0x90, 0x00)},
      {"timer of three bytes", C2(0x00, {0x5F, 0x46, 0x03, 0x00, 0x13, 0x88}),
       Part3(1, 0x67, 0x00)},
      {"get parameters", C2(0x00, {0xFF, 0x6D, 0x06, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00}),
       Part3(0, 0x90, 0x00,
             {0xFF, 0x6D, 0x09, 0x01, 0x01, 0x08, 0x02, 0x01, 0x05, 0x03, 0x01, 0x08})},
      {"get a type B parameter", C2(0x00, {0xFF, 0x6D, 0x02, 0x0A, 0x00}), Part3(1, 0x6A, 0x81)},
      {"set parameters", C2(0x00, {0xFF, 0x6E, 0x03, 0x08, 0x01, 0x00}), Part3(0, 0x90, 0x00)},
      {"unknown object after a good one", C2(0x00, {0x80, 0x00, 0x99, 0x00}),
       Part3(2, 0x6A, 0x81, {0x80, 0x03, 0x01, 0x00, 0x00})},
      {"object longer than the data", C2(0x00, {0x80, 0x05, 0x00}), Part3(0, 0x67, 0x00)},
      {"Lc beyond the data", {0xFF, 0xC2, 0x00, 0x00, 0x04, 0x81, 0x00}, {0x67, 0x00}},
      {"unknown function", C2(0x03, {0x81, 0x00}), {0x6A, 0x81}},
      {"end", C2(0x00, {0x82, 0x00}), Part3(0, 0x90, 0x00)},
  });
}

TEST(Part3PcscReader, SwitchProtocolActivatesAtLayer3Or4) {
  PcscReader level3(PcscReaderKind::kPart3, 3);
  const Bytes atr = level3.reader().Atr();
  level3.Run({
      {"layer 3: the SAK", C2(0x02, {0x8F, 0x02, 0x00, 0x03}),
       Part3(0, 0x90, 0x00, {0x8F, 0x01, 0x20})},
      {"native command at layer 3", {0x70, 0x03, 0x40, 0x00}, {0x6A, 0x81}},
      {"layer 4: the ATR", C2(0x02, {0x8F, 0x02, 0x00, 0x04}),
       Part3(0, 0x90, 0x00, Cat({0x5F, 0x51, static_cast<std::uint8_t>(atr.size())}, atr))},
      {"type B", C2(0x02, {0x8F, 0x02, 0x01, 0x03}), Part3(1, 0x6A, 0x81)},
      {"two objects", C2(0x02, {0x8F, 0x02, 0x00, 0x03, 0x80, 0x00}), Part3(1, 0x6A, 0x81)},
  });
  // A Level 1 card's SAK offers no ISO 14443-4: the reader sends it no RATS.
  PcscReader level1(PcscReaderKind::kPart3, 1);
  level1.Run({
      {"layer 3", C2(0x02, {0x8F, 0x02, 0x00, 0x03}), Part3(0, 0x90, 0x00, {0x8F, 0x01, 0x18})},
      {"layer 4", C2(0x02, {0x8F, 0x02, 0x00, 0x04}), Part3(1, 0x64, 0x01)},
  });
  // Without a field there is no card to switch.
  level1.Run({{"start, RF off", C2(0x00, {0x81, 0x00, 0x83, 0x00}), Part3(0, 0x90, 0x00)},
              {"layer 3", C2(0x02, {0x8F, 0x02, 0x00, 0x03}), Part3(1, 0x64, 0x01)}});
}

}  // namespace
}  // namespace pelkin::test
