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

// The answer objects of a transceive that succeeded.
Bytes Received(const Bytes& card, int lastBits = 0, std::uint8_t errors = 0) {
  Bytes objects;
  if (lastBits != 0) objects = {0x92, 0x01, static_cast<std::uint8_t>(lastBits)};
  if (errors != 0) objects = Cat(objects, {0x96, 0x02, errors, 0x00});
  objects = Cat(objects, Cat({0x97, static_cast<std::uint8_t>(card.size())}, card));
  return Part3(0, 0x90, 0x00, objects);
}

constexpr std::uint16_t kRawNoCrc = 0x0013;  // no CRC either way, no prologue
constexpr std::uint16_t kRawCrc = 0x0010;    // the reader adds and checks the CRC
constexpr std::uint16_t kRawKeepCrc = 0x0012;

TEST(Part3PcscReader, RawFramesActivateALevel1CardAndRatsOpensTcl) {
  PcscReader reader(PcscReaderKind::kPart3, 1);
  const Bytes uid = reader.Uid();
  const Bytes uidBcc = Cat(uid, {static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3])});
  const Bytes ats{0x0C, 0x75, 0x77, 0x80, 0x02, 0xC1, 0x05, 0x2F, 0x2F, 0x01, 0xBC, 0xD6};
  reader.Run({
      {"start", C2(0x00, {0x81, 0x00}), Part3(0, 0x90, 0x00)},
      {"halt: never answered", Transceive(kRawCrc, {0x50, 0x00}), Part3(2, 0x64, 0x01)},
      {"REQA misses a halted card", Transceive(kRawNoCrc, {0x26}, 7), Part3(3, 0x64, 0x01)},
      {"WUPA with a CRC is no request", Transceive(kRawCrc, {0x52}, 7), Part3(3, 0x64, 0x01)},
      {"WUPA: the ATQ of a 4K card at Level 1", Transceive(kRawNoCrc, {0x52}, 7),
       Received({0x02, 0x00})},
      {"anticollision", Transceive(kRawNoCrc, {0x93, 0x20}), Received(uidBcc)},
      {"select with a wrong BCC", Transceive(kRawCrc, Cat({0x93, 0x70}, Cat(uid, {0x00}))),
       Part3(2, 0x64, 0x01)},
  });
  reader.Run({
      {"WUPA to a card left ready: it drops back", Transceive(kRawNoCrc, {0x52}, 7),
       Part3(3, 0x64, 0x01)},
      {"WUPA", Transceive(kRawNoCrc, {0x52}, 7), Received({0x02, 0x00})},
      {"anticollision", Transceive(kRawNoCrc, {0x93, 0x20}), Received(uidBcc)},
      {"select", Transceive(kRawCrc, Cat({0x93, 0x70}, uidBcc)), Received({0x18})},
      {"the SAK with its CRC kept", Transceive(kRawKeepCrc, {0xE0, 0x50}), Received(WithCrcA(ats))},
      {"PPS", Transceive(kRawCrc, {0xD0, 0x11, 0x00}), Received({0xD0})},
      {"a second RATS", Transceive(kRawCrc, {0xE0, 0x50}), Part3(2, 0x64, 0x01)},
  });
  // The reader runs the block protocol when the host leaves the prologue to it.
  Bytes answer = reader.reader().Transmit(Transceive(0x0000, {0x70, 0x03, 0x90, 0x00}));
  ASSERT_EQ(answer.size(), 5u + 2 + 17 + 2);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 8),
            Bytes({0xC0, 0x03, 0x00, 0x90, 0x00, 0x97, 0x11, 0x90}));
  // The host's own I-block: the card answers with the block number it got.
  answer = reader.reader().Transmit(Transceive(kRawCrc, {0x03, 0x70, 0x03, 0x90, 0x00}));
  ASSERT_EQ(answer.size(), 5u + 2 + 18 + 2);
  EXPECT_EQ(Bytes(answer.begin() + 5, answer.begin() + 9), Bytes({0x97, 0x12, 0x03, 0x90}));
  reader.Run({
      {"deselect", Transceive(kRawCrc, {0xC2}), Received({0xC2})},
      {"no blocks after deselect", Transceive(kRawCrc, {0x02, 0x70}), Part3(2, 0x64, 0x01)},
      {"unknown flag", Transceive(0x0020, {0x52}, 7), Part3(1, 0x6A, 0x80)},
      {"bit framing of 8", Transceive(kRawNoCrc, {0x52}, 8), Part3(2, 0x6A, 0x80)},
  });
}

TEST(Part3PcscReader, Level0PersonalizationOverRawFramesAnswersFourBitAcks) {
  PcscReader reader(PcscReaderKind::kPart3, 0);
  Bytes perso{0xA8, 0x00, 0x90};
  perso.insert(perso.end(), 16, 0x11);
  Bytes badAddress{0xA8, 0x00, 0x00};
  badAddress.insert(badAddress.end(), 16, 0x11);
  reader.Run({
      {"start", C2(0x00, {0x81, 0x00}), Part3(0, 0x90, 0x00)},
      {"layer 3 only", C2(0x02, {0x8F, 0x02, 0x00, 0x03}),
       Part3(0, 0x90, 0x00, {0x8F, 0x01, 0x20})},
      {"write perso: ACK", Transceive(kRawKeepCrc, perso), Received({0x0A}, 4)},
      {"CRC checked on an ACK: a CRC error", Transceive(kRawCrc, perso), Received({0x0A}, 4, 0x01)},
      {"block 0: NAK", Transceive(kRawKeepCrc, badAddress), Received({0x04}, 4)},
      {"commit too early: NAK", Transceive(kRawKeepCrc, {0xAA}), Received({0x00}, 4)},
      {"no parity: the card hears noise", Transceive(0x0016, {0xAA}), Part3(2, 0x64, 0x01)},
      {"parity bits returned", Transceive(0x001A, perso), Received({0x0A}, 4)},
  });
  // Transmit and receive as two objects.
  reader.Run({
      {"transmit then receive",
       C2(0x01, Cat({0x90, 0x02, 0x00, 0x12, 0x93, static_cast<std::uint8_t>(perso.size())},
                    Cat(perso, {0x94, 0x00}))),
       Received({0x0A}, 4)},
      {"receive with nothing sent", C2(0x01, {0x94, 0x00}), Part3(1, 0x64, 0x01)},
      {"RF off: silence", C2(0x00, {0x83, 0x00}), Part3(0, 0x90, 0x00)},
      {"WUPA", Transceive(kRawNoCrc, {0x52}, 7), Part3(3, 0x64, 0x01)},
      {"RF on", C2(0x00, {0x84, 0x00}), Part3(0, 0x90, 0x00)},
      {"WUPA", Transceive(kRawNoCrc, {0x52}, 7), Received({0x04, 0x00})},
  });
}

TEST(Part3PcscReader, ParityBitsComeBackAfterEachByte) {
  PcscReader reader(PcscReaderKind::kPart3, 1);
  reader.Run({{"start", C2(0x00, {0x81, 0x00}), Part3(0, 0x90, 0x00)},
              {"halt", Transceive(kRawCrc, {0x50, 0x00}), Part3(2, 0x64, 0x01)}});
  // ATQ 02 00: 0x02 has one bit set (parity 0), 0x00 none (parity 1): 18 bits.
  reader.Run({{"WUPA", Transceive(0x001B, {0x52}, 7), Received({0x02, 0x00, 0x02}, 2)}});
}

TEST(Part3PcscReader, TheCardChainsBlocksLongerThanTheReadersFrameSize) {
  PcscReader reader(PcscReaderKind::kPart3, 3);
  reader.Run({
      {"start", C2(0x00, {0x81, 0x00}), Part3(0, 0x90, 0x00)},
      {"layer 3", C2(0x02, {0x8F, 0x02, 0x00, 0x03}), Part3(0, 0x90, 0x00, {0x8F, 0x01, 0x20})},
  });
  // RATS with FSDI 0: the reader takes frames of 16 bytes.
  Bytes answer = reader.reader().Transmit(Transceive(kRawCrc, {0xE0, 0x00}));
  ASSERT_GE(answer.size(), 8u);
  EXPECT_EQ(answer[7], 0x0C) << "ATS";
  // First Authenticate with the card master key in two chained I-blocks; the card acknowledges the
  // first.
  reader.Run({{"first part", Transceive(kRawCrc, {0x12, 0x70, 0x00}), Received({0xA2})}});
  // Its 17-byte answer: 13 bytes in a chained block, the rest after the acknowledgement.
  answer = reader.reader().Transmit(Transceive(kRawCrc, {0x03, 0x90, 0x00}));
  ASSERT_EQ(answer.size(), 5u + 2 + 14 + 2);
  EXPECT_EQ(Bytes(answer.begin() + 5, answer.begin() + 9), (Bytes{0x97, 0x0E, 0x13, 0x90}));
  answer = reader.reader().Transmit(Transceive(kRawCrc, {0xA2}));
  ASSERT_EQ(answer.size(), 5u + 2 + 5 + 2);
  EXPECT_EQ(Bytes(answer.begin() + 5, answer.begin() + 8), (Bytes{0x97, 0x05, 0x02}));
  // A negative acknowledgement asks for the last block again.
  const Bytes last = answer;
  EXPECT_EQ(reader.reader().Transmit(Transceive(kRawCrc, {0xB2})), last);
}

TEST(Part3PcscReader, ValueCommandsStoreCountAndRestoreMsbFirst) {
  for (PcscReaderKind kind : {PcscReaderKind::kPart3, PcscReaderKind::kPn532}) {
    SCOPED_TRACE(PcscReaderKindName(kind));
    PcscReader reader(kind, 1);
    const Bytes auth{0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x00};
    auto value = [](std::uint8_t block, std::uint8_t op, std::uint32_t v) {
      return Bytes{0xFF,
                   0xD7,
                   0x00,
                   block,
                   0x05,
                   op,
                   static_cast<std::uint8_t>(v >> 24),
                   static_cast<std::uint8_t>(v >> 16),
                   static_cast<std::uint8_t>(v >> 8),
                   static_cast<std::uint8_t>(v)};
    };
    auto read = [](std::uint8_t block) { return Bytes{0xFF, 0xB1, 0x00, block, 0x04}; };
    reader.Run({
        {"read before authentication", read(5), {0x63, 0x00}},
        {"store before authentication", value(5, 0x00, 1), {0x63, 0x00}},
        {"load key",
         {0xFF, 0x82, 0x00, 0x00, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {0x90, 0x00}},
        {"authenticate sector 1", auth, {0x90, 0x00}},
        {"read a block that holds no value", read(4), {0x63, 0x00}},
        {"store 0x01020304", value(5, 0x00, 0x01020304), {0x90, 0x00}},
        {"read it", read(5), {0x01, 0x02, 0x03, 0x04, 0x90, 0x00}},
        {"increment by 0x100", value(5, 0x01, 0x100), {0x90, 0x00}},
        {"decrement by 5", value(5, 0x02, 5), {0x90, 0x00}},
        {"read", read(5), {0x01, 0x02, 0x03, 0xFF, 0x90, 0x00}},
        {"restore 5 into 6", {0xFF, 0xD7, 0x00, 0x05, 0x02, 0x03, 0x06}, {0x90, 0x00}},
        {"read the copy", read(6), {0x01, 0x02, 0x03, 0xFF, 0x90, 0x00}},
        {"restore into another sector", {0xFF, 0xD7, 0x00, 0x05, 0x02, 0x03, 0x08}, {0x63, 0x00}},
        {"trailer", value(7, 0x00, 1), {0x63, 0x00}},
        {"unknown operation", value(5, 0x03, 1), {0x6A, 0x81}},
        {"P1 not 00", {0xFF, 0xB1, 0x01, 0x05, 0x04}, {0x6A, 0x81}},
        {"value of three bytes",
         {0xFF, 0xD7, 0x00, 0x05, 0x04, 0x01, 0x00, 0x00, 0x01},
         {0x67, 0x00}},
        {"read with Le 16", {0xFF, 0xB1, 0x00, 0x05, 0x10}, {0x67, 0x00}},
    });
    // The block layout a MIFARE Classic reader expects: value LSB first, its
    // complement, the value again, then the address byte four times.
    const Block& stored = reader.card().image().blocks[5];
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 4), (Bytes{0xFF, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Bytes(stored.begin() + 12, stored.end()), (Bytes{0x05, 0xFA, 0x05, 0xFA}));
  }
}

// FF 00 00 00 Lc with a chip command.
Bytes Chip(const Bytes& command) {
  return Cat({0xFF, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(command.size())}, command);
}
// The chip's answer and the reader's 90 00.
Bytes ChipOk(const Bytes& answer) {
  return Cat(answer, {0x90, 0x00});
}

TEST(Pn532PcscReader, AnswersTheFirmwareQueryAndRefusesOtherKindsCommands) {
  PcscReader reader(PcscReaderKind::kPn532, 1);
  reader.Run({
      {"firmware: ASCII, no status word",
       {0xFF, 0x00, 0x48, 0x00, 0x00},
       {'P', 'E', 'L', 'K', 'I', 'N', '-', '5', '3', '2'}},
      {"chip firmware", Chip({0xD4, 0x02}), ChipOk({0xD5, 0x03, 0x32, 0x01, 0x06, 0x07})},
      {"transparent session", C2(0x00, {0x81, 0x00}), {0x6D, 0x00}},
      {"unknown escape", {0xFF, 0x00, 0x40, 0x00, 0x00}, {0x6A, 0x81}},
      {"Lc beyond the data", {0xFF, 0x00, 0x00, 0x00, 0x05, 0xD4, 0x02}, {0x67, 0x00}},
      {"not a host-to-chip command", Chip({0xD5, 0x02}), {0x63, 0x7F}},
      {"unknown chip command", Chip({0xD4, 0x8C}), {0x63, 0x7F}},
      {"exchange before listing", Chip({0xD4, 0x40, 0x01, 0x30, 0x04}), ChipOk({0xD5, 0x41, 0x27})},
      {"registers: defaults", Chip({0xD4, 0x06, 0x63, 0x02, 0x63, 0x03, 0x63, 0x3D}),
       ChipOk({0xD5, 0x07, 0x80, 0x80, 0x00})},
      {"write registers", Chip({0xD4, 0x08, 0x63, 0x02, 0x00, 0x63, 0x3D, 0x07}),
       ChipOk({0xD5, 0x09})},
      {"read them back", Chip({0xD4, 0x06, 0x63, 0x02, 0x63, 0x3D}),
       ChipOk({0xD5, 0x07, 0x00, 0x07})},
      {"odd register list", Chip({0xD4, 0x06, 0x63}), {0x63, 0x7F}},
  });
}

TEST(Pn532PcscReader, ListsTheCardWithItsAtqSakUidAndAts) {
  PcscReader level1(PcscReaderKind::kPn532, 1);
  const Bytes uid = level1.Uid();
  level1.Run({
      {"type B finds nothing", Chip({0xD4, 0x4A, 0x01, 0x03, 0x00}), ChipOk({0xD5, 0x4B, 0x00})},
      {"three targets", Chip({0xD4, 0x4A, 0x03, 0x00}), {0x63, 0x7F}},
      {"Level 1 4K: no ATS", Chip({0xD4, 0x4A, 0x01, 0x00}),
       ChipOk(Cat({0xD5, 0x4B, 0x01, 0x01, 0x00, 0x02, 0x18, 0x04}, uid))},
  });
  PcscReader level3(PcscReaderKind::kPn532, 3, Variant{false, false, true});
  const Bytes uid7 = level3.Uid();
  const Bytes ats{0x0C, 0x75, 0x77, 0x80, 0x02, 0xC1, 0x05, 0x2F, 0x2F, 0x01, 0xBC, 0xD6};
  level3.Run({
      {"Level 3, 7-byte UID: with the ATS", Chip({0xD4, 0x4A, 0x01, 0x00}),
       ChipOk(Cat(Cat({0xD5, 0x4B, 0x01, 0x01, 0x00, 0x44, 0x20, 0x07}, uid7), ats))},
      {"T=CL through data exchange: the card's length error", Chip({0xD4, 0x40, 0x01, 0x30}),
       ChipOk({0xD5, 0x41, 0x00, 0x0C})},
      {"deselect", Chip({0xD4, 0x44, 0x01}), ChipOk({0xD5, 0x45, 0x00})},
      {"release", Chip({0xD4, 0x52, 0x01}), ChipOk({0xD5, 0x53, 0x00})},
      {"release again", Chip({0xD4, 0x52, 0x01}), ChipOk({0xD5, 0x53, 0x27})},
      {"field off", Chip({0xD4, 0x32, 0x01, 0x00}), ChipOk({0xD5, 0x33})},
      {"nothing to list", Chip({0xD4, 0x4A, 0x01, 0x00}), ChipOk({0xD5, 0x4B, 0x00})},
  });
}

TEST(Pn532PcscReader, RawFramesFollowTheCrcParityAndBitFramingRegisters) {
  PcscReader reader(PcscReaderKind::kPn532, 0);
  Bytes perso{0xA8, 0x00, 0x90};
  perso.insert(perso.end(), 16, 0x11);
  const Bytes crcOff{0xD4, 0x08, 0x63, 0x02, 0x00, 0x63, 0x03, 0x00};
  reader.Run({
      {"release with nothing listed", Chip({0xD4, 0x52, 0x01}), ChipOk({0xD5, 0x53, 0x27})},
      {"CRC off both ways", Chip(crcOff), ChipOk({0xD5, 0x09})},
      {"halt with its own CRC", Chip(Cat({0xD4, 0x42}, WithCrcA({0x50, 0x00}))),
       ChipOk({0xD5, 0x43, 0x01})},
      {"7-bit frames", Chip({0xD4, 0x08, 0x63, 0x3D, 0x07}), ChipOk({0xD5, 0x09})},
      {"WUPA: the ATQ", Chip({0xD4, 0x42, 0x52}), ChipOk({0xD5, 0x43, 0x00, 0x04, 0x00})},
      {"whole bytes", Chip({0xD4, 0x08, 0x63, 0x3D, 0x00}), ChipOk({0xD5, 0x09})},
  });
  const Bytes uid = reader.Uid();
  const Bytes uidBcc = Cat(uid, {static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3])});
  reader.Run({
      {"anticollision", Chip({0xD4, 0x42, 0x93, 0x20}), ChipOk(Cat({0xD5, 0x43, 0x00}, uidBcc))},
      {"select: the SAK with its CRC", Chip(Cat({0xD4, 0x42}, WithCrcA(Cat({0x93, 0x70}, uidBcc)))),
       ChipOk(Cat({0xD5, 0x43, 0x00}, WithCrcA({0x20})))},
      {"transmit CRC on", Chip({0xD4, 0x08, 0x63, 0x02, 0x80}), ChipOk({0xD5, 0x09})},
      {"write perso: the 4-bit ACK", Chip(Cat({0xD4, 0x42}, perso)),
       ChipOk({0xD5, 0x43, 0x00, 0x0A})},
      {"its bit count", Chip({0xD4, 0x06, 0x63, 0x3C}), ChipOk({0xD5, 0x07, 0x14})},
      {"receive CRC on: an ACK is a CRC error", Chip({0xD4, 0x08, 0x63, 0x03, 0x80}),
       ChipOk({0xD5, 0x09})},
      {"write perso", Chip(Cat({0xD4, 0x42}, perso)), ChipOk({0xD5, 0x43, 0x02})},
      {"parity off: silence", Chip({0xD4, 0x08, 0x63, 0x0D, 0x10}), ChipOk({0xD5, 0x09})},
      {"write perso", Chip(Cat({0xD4, 0x42}, perso)), ChipOk({0xD5, 0x43, 0x01})},
  });
}

TEST(Pn532PcscReader, MifareCommandsThroughDataExchangeAtLevel1) {
  PcscReader reader(PcscReaderKind::kPn532, 1);
  const Bytes uid = reader.Uid();
  const Bytes key(6, 0xFF);
  Bytes wrongKey(6, 0xFF);
  wrongKey[5] = 0xFE;
  auto exchange = [](const Bytes& data) { return Chip(Cat({0xD4, 0x40, 0x01}, data)); };
  Bytes valueBlock{0x0A, 0, 0, 0, 0xF5, 0xFF, 0xFF, 0xFF, 0x0A, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
  reader.Run({
      {"list", Chip({0xD4, 0x4A, 0x01, 0x00}),
       ChipOk(Cat({0xD5, 0x4B, 0x01, 0x01, 0x00, 0x02, 0x18, 0x04}, uid))},
      {"read unauthenticated", exchange({0x30, 0x04}), ChipOk({0xD5, 0x41, 0x14})},
      {"wrong key", exchange(Cat(Cat({0x60, 0x04}, wrongKey), uid)), ChipOk({0xD5, 0x41, 0x14})},
      {"list again", Chip({0xD4, 0x4A, 0x01, 0x00}),
       ChipOk(Cat({0xD5, 0x4B, 0x01, 0x01, 0x00, 0x02, 0x18, 0x04}, uid))},
      {"key A", exchange(Cat(Cat({0x60, 0x04}, key), uid)), ChipOk({0xD5, 0x41, 0x00})},
      {"write a value block of 10", exchange(Cat({0xA0, 0x05}, valueBlock)),
       ChipOk({0xD5, 0x41, 0x00})},
      {"transfer without an operation", exchange({0xB0, 0x05}), ChipOk({0xD5, 0x41, 0x14})},
      {"increment by 0x0102", exchange({0xC1, 0x05, 0x02, 0x01, 0x00, 0x00}),
       ChipOk({0xD5, 0x41, 0x00})},
      {"transfer to 6", exchange({0xB0, 0x06}), ChipOk({0xD5, 0x41, 0x00})},
  });
  const Bytes answer = reader.reader().Transmit(exchange({0x30, 0x06}));
  ASSERT_EQ(answer.size(), 3u + 16 + 2);
  EXPECT_EQ(Bytes(answer.begin() + 3, answer.begin() + 7), (Bytes{0x0C, 0x01, 0x00, 0x00}));
  reader.Run({{"a block of another sector", exchange({0x30, 0x08}), ChipOk({0xD5, 0x41, 0x14})},
              {"target 2", Chip({0xD4, 0x40, 0x02, 0x30, 0x04}), ChipOk({0xD5, 0x41, 0x27})}});
}

}  // namespace
}  // namespace pelkin::test
