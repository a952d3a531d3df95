// The whole-card tools' files, restore plans and trace decoding, through the
// static library's interface.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "cardtools/card.h"
#include "cardtools/files.h"
#include "cardtools/trace.h"

namespace cardtools {
namespace {

Block Filled(std::uint8_t value) {
  Block block;
  block.fill(value);
  return block;
}

Block Trailer(const char* hex) {
  Block block{};
  auto bytes = ParseHexSized(hex, 16);
  EXPECT_TRUE(bytes.has_value()) << hex;
  if (bytes) std::copy(bytes->begin(), bytes->end(), block.begin());
  return block;
}

const char kTransportTrailer[] = "FFFFFFFFFFFFFF078069FFFFFFFFFFFF";

// A fully read card: every block holds its own number, trailers the transport ones.
Dump ReadCard(CardSize size, int level) {
  Dump dump;
  dump.card.uid = {1, 2, 3, 4};
  dump.size = size;
  dump.level = level;
  for (int block = 0; block < BlockCount(size); ++block) {
    dump.blocks[block] =
        IsTrailer(block) ? Trailer(kTransportTrailer) : Filled(static_cast<std::uint8_t>(block));
  }
  // The keys a card at that level uses: CRYPTO1 at Levels 1 and 2, AES at Level 3.
  const std::string key = level == 3 ? std::string(32, 'F') : std::string(12, 'F');
  for (int sector = 0; sector < SectorCount(size); ++sector) {
    dump.sectors[sector].keyA = key;
    dump.sectors[sector].keyB = key;
  }
  return dump;
}

TEST(KeyFile, RewriteKeepsUnknownFieldsAndBothKeyKinds) {
  const char* text = R"({"Created": "recovery tool", "FileType": "mfpkeys", "Tool": {"v": 3},
    "Card": {"UID": "04A1B2C3", "ATQA": "0400", "SAK": "20", "Vendor": "x"},
    "SectorKeys": {"0": {"KeyA": "000102030405060708090A0B0C0D0E0F", "Crypto1KeyA": "A0A1A2A3A4A5",
                         "Note": "kept"},
                   "7": {"KeyA": "B0B1B2B3B4B5", "KeyB": "FFFFFFFFFFFF", "AccessConditions": "7F078869"}},
    "CardKeys": {"9003": "44444444444444444444444444444444"}})";
  KeyFile keys;
  std::string error;
  ASSERT_TRUE(ParseKeyFile(text, &keys, &error)) << error;
  ASSERT_TRUE(keys.sectors[0].aesA && keys.sectors[0].crypto1A);
  EXPECT_EQ(ToHex(*keys.sectors[0].crypto1A), "A0A1A2A3A4A5");
  EXPECT_FALSE(keys.sectors[7].aesA);
  EXPECT_EQ(ToHex(*keys.sectors[7].crypto1A), "B0B1B2B3B4B5");
  EXPECT_EQ(ToHex(keys.cardKeys.at(0x9003)), "44444444444444444444444444444444");

  keys.sectors[7].aesB = AesKey{};  // a key added by the program
  KeyFile again;
  ASSERT_TRUE(ParseKeyFile(SerializeKeyFile(keys), &again, &error)) << error;
  EXPECT_EQ(again.document["Created"], "recovery tool");
  EXPECT_EQ(again.document["Tool"]["v"], 3);
  EXPECT_EQ(again.document["Card"]["Vendor"], "x");
  EXPECT_EQ(again.document["SectorKeys"]["0"]["Note"], "kept");
  EXPECT_EQ(again.document["SectorKeys"]["7"]["KeyA"], "B0B1B2B3B4B5") << "a lone CRYPTO1 key";
  EXPECT_EQ(again.document["SectorKeys"]["7"]["KeyB"], "00000000000000000000000000000000");
  EXPECT_EQ(again.document["SectorKeys"]["7"]["Crypto1KeyB"], "FFFFFFFFFFFF");
  ASSERT_TRUE(again.sectors[7].aesB);
  EXPECT_EQ(again.sectors[7].crypto1B, keys.sectors[7].crypto1B);
  EXPECT_EQ(again.sectors[0].aesA, keys.sectors[0].aesA);
  EXPECT_EQ(again.cardKeys, keys.cardKeys);
}

TEST(Files, MalformedFilesAreRefusedWithTheirReason) {
  struct Case {
    bool dump;
    const char* text;
    const char* reason;
  } cases[] = {
      {false, "{", "not valid JSON"},
      {false, "[1]", "not a JSON object"},
      {false, R"({"FileType": "mfcard"})", "not a key file"},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"40": {}}})", "not a sector number"},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"1": {"KeyA": "FFFFFFFFFF"}}})",
       "\"KeyA\""},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"1": {"Crypto1KeyB": "FFFFFFFFFFFFFF"}}})",
       "\"Crypto1KeyB\": expected 12"},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"1": {"AccessConditions": "FF078169"}}})",
       "do not match their complements"},
      {false,
       R"({"FileType": "mfpkeys", "CardKeys": {"4000": "00000000000000000000000000000000"}})",
       "not a card key address"},
      {true, R"({"FileType": "mfpkeys"})", "not a card dump"},
      {true, R"({"FileType": "mfp", "blocks": {"1": "00000000000000000000000000000000"}})",
       "names no card"},
      {true, R"({"FileType": "mfp", "Card": {"UID": "0102030405"}, "blocks": {}})", "\"UID\""},
      {true, R"({"FileType": "mfp", "Card": {"UID": "01020304"}, "blocks": {}})", "no \"blocks\""},
      {true, R"({"FileType": "mfp", "Card": {"UID": "01020304"}, "blocks": {"1": "0011"}})",
       "block 1: expected 32 hex digits"},
      {true, R"({"FileType": "mfp", "Card": {"UID": "01020304"}, "blocks": {"x": "0011"}})",
       "not a block number"},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304", "Size": "2K"},
           "blocks": {"200": "00000000000000000000000000000000"}})",
       "beyond a 2K card"},
      // One name per number: plain decimal, key addresses in four hex digits.
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"04": {}}})", "not a sector number"},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"0x4": {}}})", "not a sector number"},
      {false, R"({"FileType": "mfpkeys", "SectorKeys": {"4": {}, "4": {}}})", "given twice"},
      {false,
       R"({"FileType": "mfpkeys", "CardKeys": {"9000": "00000000000000000000000000000000",
           "09000": "11111111111111111111111111111111"}})",
       "not a card key address"},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304"},
           "blocks": {"4": "00000000000000000000000000000000",
                      "04": "11111111111111111111111111111111"}})",
       "not a block number"},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304"},
           "blocks": {"+4": "00000000000000000000000000000000"}})",
       "not a block number"},
      // Parts that disagree.
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304", "SecurityLevel": 1},
           "blocks": {"1": "00000000000000000000000000000000"}})",
       "disagrees with \"SecurityLevel\" 1"},
      {true,
       R"({"FileType": "mfc v2", "Card": {"UID": "01020304", "SecurityLevel": 3},
           "blocks": {"1": "00000000000000000000000000000000"}})",
       "disagrees"},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304"},
           "blocks": {"1": "00000000000000000000000000000000"},
           "SectorKeys": {"0": {"KeyA": "FFFFFFFFFFFF"}}})",
       "expected 32 hex digits in a Level 3 dump"},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304", "Type": "Q"},
           "blocks": {"1": "00000000000000000000000000000000"}})",
       "\"Type\""},
      {true,
       R"({"FileType": "mfp", "Card": {"UID": "01020304", "SecurityLevel": 0},
           "blocks": {"1": "00000000000000000000000000000000"}})",
       "SecurityLevel"},
  };
  for (const Case& c : cases) {
    std::string error;
    KeyFile keys;
    Dump dump;
    const bool parsed =
        c.dump ? ParseDump(c.text, &dump, &error) : ParseKeyFile(c.text, &keys, &error);
    EXPECT_FALSE(parsed) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(Files, DumpRoundTripImageAndAtomicWrite) {
  Dump dump = ReadCard(CardSize::k4K, 3);
  dump.card.ats = {0x0C, 0x75};
  dump.sectors[5].status = "key refused";
  dump.blocks.erase(20);
  dump.document["Comment"] = "kept";
  Dump again;
  std::string error;
  ASSERT_TRUE(ParseDump(SerializeDump(dump), &again, &error)) << error;
  EXPECT_EQ(again.blocks, dump.blocks);
  EXPECT_EQ(again.size, CardSize::k4K);
  EXPECT_EQ(again.level, 3);
  EXPECT_EQ(again.card.ats, dump.card.ats);
  EXPECT_EQ(again.sectors[5].status, "key refused");
  EXPECT_EQ(again.document["Comment"], "kept");

  const std::string image = DumpImage(dump);
  ASSERT_EQ(image.size(), 256u * 16);
  EXPECT_EQ(image[16 * 200], static_cast<char>(200));
  EXPECT_EQ(image[16 * 20], 0) << "a block not read is zero in the image";

  const auto dir =
      std::filesystem::temp_directory_path() / ("cardtools-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "dump.json").string();
  ASSERT_TRUE(WriteFileAtomically(path, "old", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, "new", &error)) << error;
  std::string text;
  ASSERT_TRUE(ReadFile(path, &text, &error));
  EXPECT_EQ(text, "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1)
      << "a temporary file stayed";
  EXPECT_FALSE(WriteFileAtomically((dir / "missing" / "x").string(), "x", &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(RestorePlan, WritesOnlyWhatDiffersAndRefusesWhatCouldHarmTheCard) {
  struct Case {
    const char* name;
    CardSize wantedSize;
    int wantedLevel;
    std::function<void(Dump& wanted, Dump& current)> change;
    bool withTrailers;
    std::vector<int> written;  // expected blocks, in order
    const char* refusal;       // "" when none
  } cases[] = {
      {"same card", CardSize::k2K, 1, [](Dump&, Dump&) {}, false, {}, ""},
      {"data blocks, never block 0",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) { w.blocks[0] = w.blocks[5] = w.blocks[6] = Filled(0xEE); },
       false,
       {5, 6},
       ""},
      {"trailer left alone without the flag",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) { w.blocks[7] = Trailer("FFFFFFFFFFFF7F078869FFFFFFFFFFFF"); },
       false,
       {},
       ""},
      {"trailer last in its sector",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) {
         w.blocks[7] = Trailer("FFFFFFFFFFFF7F078869FFFFFFFFFFFF");
         w.blocks[6] = w.blocks[9] = Filled(0xEE);
       },
       true,
       {6, 7, 9},
       ""},
      {"inconsistent access bits",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) {
         w.blocks[7] = Trailer("FFFFFFFFFFFFFF078169FFFFFFFFFFFF");
         w.blocks[5] = Filled(1);
       },
       true,
       {},
       "would lock sector 1"},
      {"access bits that freeze the trailer",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) { w.blocks[7] = Trailer("FFFFFFFFFFFF00F0FF69FFFFFFFFFFFF"); },
       true,
       {},
       "no key able to change"},
      {"trailer key A the dump does not hold",
       CardSize::k2K,
       1,
       [](Dump& w, Dump&) { w.blocks[7] = Trailer("000000000000FF078069FFFFFFFFFFFF"); },
       true,
       {},
       "does not hold the key A"},
      {"sector the keys do not open",
       CardSize::k2K,
       3,
       [](Dump& w, Dump& c) {
         w.blocks[9] = Filled(0xEE);
         c.blocks.erase(9);
       },
       false,
       {},
       "keys do not open sector 2"},
      {"another card size",
       CardSize::k4K,
       1,
       [](Dump&, Dump&) {},
       false,
       {},
       "dump is of a 4K card"},
      {"another level",
       CardSize::k2K,
       3,
       [](Dump&, Dump& c) { c.level = 1; },
       false,
       {},
       "Level 3"},
  };
  for (const Case& c : cases) {
    Dump wanted = ReadCard(c.wantedSize, c.wantedLevel);
    Dump current = ReadCard(CardSize::k2K, c.wantedLevel);
    c.change(wanted, current);
    const RestorePlan plan = PlanRestore(wanted, current, c.withTrailers);
    std::vector<int> written;
    for (const BlockChange& change : plan.changes) written.push_back(change.block);
    if (*c.refusal == '\0') {
      EXPECT_TRUE(plan.refusals.empty()) << c.name << ": " << plan.refusals.front();
      EXPECT_EQ(written, c.written) << c.name;
    } else {
      ASSERT_FALSE(plan.refusals.empty()) << c.name;
      EXPECT_NE(plan.refusals.front().find(c.refusal), std::string::npos)
          << c.name << ": " << plan.refusals.front();
      EXPECT_EQ(ApplyRestore(CardInfo{}, KeyFile{}, plan).result.outcome, Outcome::kBadInput)
          << c.name;
    }
  }
}

// A response frame with its check byte, as a trace line.
std::string Frame(char direction, std::vector<int> bytes) {
  if (direction == '<') {
    int check = 0;
    for (int b : bytes) check ^= b;
    bytes.push_back(~check & 0xFF);
  } else {
    bytes.push_back(0x00);  // requests' check bytes are not judged
  }
  std::string line = std::string("2026-12-09 10:00:00.000 ") + direction;
  for (int b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    line += hex;
  }
  return line + "\n";
}

// The plan against the card's current access conditions and the keys that may be
// used, and trailers that no key could change again (allowed only with force).
TEST(RestorePlan, FollowsTheCardsAccessConditionsAndRefusesPermanentTrailers) {
  struct Case {
    const char* name;
    const char* cardTrailer;    // sector 1's trailer on the card now
    const char* wantedTrailer;  // nullptr: the trailer is left as it is
    bool refuseKeyB;            // the card refused key B when it was read
    const char* wantedKeyB;     // the dump's record of key B
    bool force;
    const char* refusal;  // "" when the plan goes through
    std::vector<int> written;
    bool writtenWithKeyB;  // block 4's writer
    bool permanent;
  };
  const char* transport = kTransportTrailer;
  const Case cases[] = {
      {"data under transport conditions",
       transport,
       nullptr,
       false,
       "FFFFFFFFFFFF",
       false,
       "",
       {4, 5},
       false,
       false},
      {"block 4 read-only (group 0 at 010)",
       "FFFFFFFFFFFFEF078169FFFFFFFFFFFF",
       nullptr,
       false,
       "FFFFFFFFFFFF",
       false,
       "block 4: the access conditions of sector 1 let no key",
       {},
       false,
       false},
      {"block 4 for key B, which the trailer makes readable",
       "FFFFFFFFFFFFFE178069FFFFFFFFFFFF",
       nullptr,
       false,
       "FFFFFFFFFFFF",
       false,
       "block 4: the access conditions",
       {},
       false,
       false},
      {"block 4 for key B, a real key",
       "FFFFFFFFFFFF7E178869FFFFFFFFFFFF",
       nullptr,
       false,
       "FFFFFFFFFFFF",
       false,
       "",
       {4, 5},
       true,
       false},
      {"block 4 for key B, refused by the card",
       "FFFFFFFFFFFF7E178869FFFFFFFFFFFF",
       nullptr,
       true,
       "FFFFFFFFFFFF",
       false,
       "block 4: the access conditions",
       {},
       false,
       false},
      {"trailer row 011 stays changeable",
       transport,
       "FFFFFFFFFFFF7F078869FFFFFFFFFFFF",
       false,
       "FFFFFFFFFFFF",
       false,
       "",
       {4, 5, 7},
       false,
       false},
      {"trailer row 000",
       transport,
       "FFFFFFFFFFFFFF0F0069FFFFFFFFFFFF",
       false,
       "FFFFFFFFFFFF",
       false,
       "no key able to change its trailer again",
       {},
       false,
       false},
      {"trailer row 100",
       transport,
       "FFFFFFFFFFFFF78F0069FFFFFFFFFFFF",
       false,
       "FFFFFFFFFFFF",
       false,
       "no key able to change",
       {},
       false,
       false},
      {"trailer row 110",
       transport,
       "FFFFFFFFFFFF778F0869FFFFFFFFFFFF",
       false,
       "FFFFFFFFFFFF",
       false,
       "no key able to change",
       {},
       false,
       false},
      {"trailer row 100 with force",
       transport,
       "FFFFFFFFFFFFF78F0069FFFFFFFFFFFF",
       false,
       "FFFFFFFFFFFF",
       true,
       "",
       {4, 5, 7},
       false,
       true},
      {"trailer whose key B the dump does not hold",
       transport,
       "FFFFFFFFFFFF7F078869000000000000",
       false,
       "",
       false,
       "does not hold the key B",
       {},
       false,
       false},
  };
  for (const Case& c : cases) {
    Dump current = ReadCard(CardSize::k2K, 1);
    current.blocks[7] = Trailer(c.cardTrailer);
    if (c.refuseKeyB) {
      current.sectors[1].keyB.clear();
      current.sectors[1].refusedB = true;
    }
    Dump wanted = current;
    wanted.blocks[4] = Filled(0x44);
    wanted.blocks[5] = Filled(0x55);
    if (c.wantedTrailer != nullptr) wanted.blocks[7] = Trailer(c.wantedTrailer);
    wanted.sectors[1].keyB = c.wantedKeyB;
    wanted.sectors[1].refusedB = false;
    const RestorePlan plan = PlanRestore(wanted, current, nullptr, {true, c.force});
    if (*c.refusal != '\0') {
      ASSERT_FALSE(plan.refusals.empty()) << c.name;
      EXPECT_NE(plan.refusals.front().find(c.refusal), std::string::npos)
          << c.name << ": " << plan.refusals.front();
      const RestoreReport report = ApplyRestore(CardInfo{}, KeyFile{}, plan);
      EXPECT_EQ(report.result.outcome, Outcome::kBadInput) << c.name;
      EXPECT_TRUE(report.written.empty()) << c.name;
      continue;
    }
    ASSERT_TRUE(plan.refusals.empty()) << c.name << ": " << plan.refusals.front();
    std::vector<int> written;
    for (const BlockChange& change : plan.changes) {
      written.push_back(change.block);
      if (change.block == 4) {
        EXPECT_EQ(change.keyB, c.writtenWithKeyB) << c.name;
      }
    }
    EXPECT_EQ(written, c.written) << c.name;
    EXPECT_EQ(!plan.permanent.empty(), c.permanent) << c.name;
  }
}

TEST(TraceDecode, NamesCommandsStatusCountersFailuresAndRetries) {
  std::string trace;
  // A CRYPTO1 authentication with its key masked.
  trace += "2026-12-09 10:00:00.000 > 00 73 08 00 01 ** ** ** ** ** ** **\n";
  trace += Frame('<', {0x00, 0x04, 0x00});
  // First Authenticate step 2 answered: the counters start.
  std::vector<int> step2 = {0x00, 0x94, 33, 0x72};
  step2.resize(4 + 32, 0x11);
  trace += Frame('>', step2);
  std::vector<int> answer = {0x80, 0x00, 33, 0x90};
  answer.resize(3 + 33, 0x22);
  trace += Frame('<', answer);
  // A MACed read of one block, lost once and sent again.
  const std::vector<int> read = {0x00, 0x94, 12, 0x33, 0x04, 0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};
  trace += Frame('>', read);
  trace += "2026-12-09 10:00:00.100 < (no frame)\n";
  trace += Frame('>', read);
  std::vector<int> data = {0x80, 0x00, 25, 0x90};
  data.resize(3 + 25, 0xAB);
  trace += Frame('<', data);
  // A raw Commit Perso acknowledged, and a corrupted answer.
  trace += Frame('>', {0x00, 0x90, 3, 0xC0, 0x07, 0xAA});
  trace += Frame('<', {0x00, 0x00, 3, 0x04, 0x02, 0x0A});
  trace += "2026-12-09 10:00:00.300 < 00 00 00 00\n";

  std::string out, error;
  ASSERT_TRUE(DecodeTrace(trace, &out, &error)) << error;
  for (const char* expected :
       {"reader command 73 CRYPTO1 authentication with a key", "key bytes masked",
        "key A of sector 1", "reader status 04 CRYPTO1 authentication failed",
        "authentication step 2, [encrypted RndA || RndB' 32 bytes]",
        "[encrypted TI || RndA' || PD capabilities 32 bytes]", "counters: R_Ctr 0, W_Ctr 0",
        "Read (plain data, command MAC, answer MAC), block 0x0004, 1 blocks, [MAC 01 02 03 04 05 "
        "06 07 08]",
        "error: no answer frame", "retry: attempt 2", "data AB AB", "[MAC AB AB AB AB AB AB AB AB]",
        "counters: R_Ctr 1, W_Ctr 0", "card command AA Commit Perso", "acknowledgement ACK",
        "check byte wrong", "11 frames, 2 failed, 1 retries"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
  EXPECT_FALSE(DecodeTrace("not a trace\n", &out, &error));
  EXPECT_NE(error.find("line 1"), std::string::npos);
  EXPECT_FALSE(DecodeTrace("2026-12-09 10:00:00.000 > 00 GG\n", &out, &error));
}

}  // namespace
}  // namespace cardtools
