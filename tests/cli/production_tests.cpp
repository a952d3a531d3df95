// Per-card key diversification and the production journal, through the card
// tools' interface.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cardtools/batch.h"
#include "cardtools/diversify.h"
#include "mfplus/crypto.h"

namespace cardtools {
namespace {

AesKey Key(const char* hex) {
  AesKey key{};
  const auto bytes = ParseHexSized(hex, 16);
  EXPECT_TRUE(bytes) << hex;
  if (bytes) std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

Bytes Hex(const char* hex) {
  return ParseHex(hex).value_or(Bytes{});
}

TEST(Diversify, ApplicationNoteAes128Example) {
  // The AES-128 example of NXP AN10922: UID 04782E21801D80, AID 3042F5 and the
  // system identifier "NXP Abu" under master key 00112233...EEFF.
  const auto key = DiversifyAes128(Key("00112233445566778899AABBCCDDEEFF"),
                                   Hex("04782E21801D80 3042F5 4E585020416275"));
  ASSERT_TRUE(key);
  EXPECT_EQ(ToHex(*key), "A8DD63A3B89D54B37CA802473FDA9175");
}

TEST(Diversify, MatchesPlainCmacWhereBothPadTheSameWay) {
  // From 17 to 32 bytes of 0x01 || M the padded input fills two blocks exactly as
  // RFC 4493 pads it (second subkey below 32, first at 32), so the two must agree;
  // shorter inputs are padded to 32 bytes and must not.
  const AesKey master = Key("2B7E151628AED2A6ABF7158809CF4F3C");
  for (std::size_t length = 1; length <= 31; ++length) {
    Bytes m(length);
    for (std::size_t i = 0; i < length; ++i) m[i] = static_cast<std::uint8_t>(0xA0 + i);
    Bytes message(length + 1, 0x01);
    std::copy(m.begin(), m.end(), message.begin() + 1);
    std::uint8_t tag[16], zero[16] = {};
    ostrel::crypto::Cmac(tag, message.data(), message.size(), master.data(), zero);
    const auto key = DiversifyAes128(master, m);
    ASSERT_TRUE(key) << length;
    if (length >= 16)
      EXPECT_EQ(ToHex(*key), ToHex(tag, 16)) << length;
    else
      EXPECT_NE(ToHex(*key), ToHex(tag, 16)) << length;
  }
  EXPECT_FALSE(DiversifyAes128(master, {}));
  EXPECT_FALSE(DiversifyAes128(master, Bytes(32, 0x11)));
}

TEST(Diversify, InputIsUidThenAddressLowByteFirstThenSystemIdentifier) {
  struct Case {
    const char* uid;
    std::uint16_t address;
    const char* system;
    const char* m;
  } cases[] = {
      {"01020304", 0x4000, "", "010203040040"},
      {"01020304", 0x4027, "", "010203042740"},
      {"04112233445566", 0x9003, "ABCD", "041122334455660390ABCD"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ToHex(DiversificationInput(Hex(c.uid), c.address, Hex(c.system))), c.m) << c.m;
}

const char kKeyFile[] = R"({"FileType": "mfpkeys",
  "SectorKeys": {"0": {"KeyA": "00112233445566778899AABBCCDDEEFF",
                       "KeyB": "FFEEDDCCBBAA99887766554433221100",
                       "Crypto1KeyA": "A0A1A2A3A4A5", "Crypto1KeyB": "B0B1B2B3B4B5"},
                 "1": {"KeyA": "0102030405060708090A0B0C0D0E0F10" %SECTOR%}},
  "CardKeys": {"9000": "90909090909090909090909090909090", "9003": "93939393939393939393939393939393"}
  %TOP%})";

std::string KeyFileText(const std::string& top, const std::string& sector = "") {
  std::string text = kKeyFile;
  text.replace(text.find("%SECTOR%"), 8, sector);
  text.replace(text.find("%TOP%"), 5, top);
  return text;
}

TEST(Diversify, KeyFileNamesWhichKeysAreMasterKeys) {
  const Bytes uid = Hex("04A1B2C3");
  struct Case {
    std::string top, sector;
    std::set<std::uint16_t> diversified;
    std::string system;
  } cases[] = {
      {"", "", {}, ""},
      {R"(, "Diversify": false)", "", {}, ""},
      {R"(, "Diversify": true)", "", {0x4000, 0x4001, 0x4002, 0x9000, 0x9003}, ""},
      {R"(, "Diversify": ["4001", "9003"], "SystemIdentifier": "4E585020416275")",
       "",
       {0x4001, 0x9003},
       "4E585020416275"},
      {"", R"(, "Diversify": true)", {0x4002}, ""},
  };
  for (const Case& c : cases) {
    KeyFile file, card;
    std::string error;
    ASSERT_TRUE(ParseKeyFile(KeyFileText(c.top, c.sector), &file, &error)) << error;
    ASSERT_TRUE(KeysForCard(file, uid, &card, &error)) << c.top << c.sector << error;
    auto check = [&](std::uint16_t address, const AesKey& before, const AesKey& after) {
      const bool diversified = c.diversified.count(address) != 0;
      const AesKey expected =
          diversified
              ? *DiversifyAes128(before, DiversificationInput(uid, address, Hex(c.system.c_str())))
              : before;
      EXPECT_EQ(ToHex(after), ToHex(expected)) << c.top << c.sector << " key " << address;
    };
    check(0x4000, *file.sectors[0].aesA, *card.sectors[0].aesA);
    check(0x4001, *file.sectors[0].aesB, *card.sectors[0].aesB);
    check(0x4002, *file.sectors[1].aesA, *card.sectors[1].aesA);
    check(0x9000, file.cardKeys[0x9000], card.cardKeys[0x9000]);
    check(0x9003, file.cardKeys[0x9003], card.cardKeys[0x9003]);
    // CRYPTO1 keys are never diversified.
    EXPECT_EQ(ToHex(*card.sectors[0].crypto1A), "A0A1A2A3A4A5");
  }
}

TEST(Diversify, MalformedFieldsAndUnfitCardsAreRefused) {
  struct Case {
    std::string top, sector, uid, message;
  } cases[] = {
      {R"(, "Diversify": "yes")", "", "04A1B2C3", "\"Diversify\": expected"},
      {R"(, "Diversify": ["4003"])", "", "04A1B2C3", "not the address of an AES key"},
      {R"(, "Diversify": [16384])", "", "04A1B2C3", "not the address of an AES key"},
      {R"(, "Diversify": true, "SystemIdentifier": "00112233445566778899AABBCCDDEEFF0011223344AA")",
       "", "04A1B2C3", "at most 21 bytes"},
      {R"(, "SystemIdentifier": "0G")", "", "04A1B2C3", "\"SystemIdentifier\""},
      {"", R"(, "Diversify": 1)", "04A1B2C3", "expected true or false"},
      {R"(, "Diversify": true)", "", "04A1B2C3D4", "4- or 7-byte UID"},
  };
  for (const Case& c : cases) {
    KeyFile file, card;
    std::string error;
    ASSERT_TRUE(ParseKeyFile(KeyFileText(c.top, c.sector), &file, &error)) << error;
    EXPECT_FALSE(KeysForCard(file, Hex(c.uid.c_str()), &card, &error)) << c.top << c.sector;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  KeyFile file;
  std::string error;
  ASSERT_TRUE(ParseKeyFile(
      R"({"FileType": "mfpkeys", "SectorKeys": {"2": {"KeyA": "A0A1A2A3A4A5", "Diversify": true}}})",
      &file, &error));
  Diversification diversification;
  EXPECT_FALSE(ParseDiversification(file, &diversification, &error));
  EXPECT_NE(error.find("no AES key"), std::string::npos) << error;
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("ostrel-journal-" + std::to_string(::getpid()) + ".jsonl"))
                .string();
    std::filesystem::remove(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string path_;
};

TEST_F(Journal, LinesFromSeveralProcessesStayWholeAndHoldNoKey) {
  constexpr int kProcesses = 4, kLines = 60;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < kLines; ++i) {
        JournalLine line;
        line.uid = "04" + std::to_string(p) + "0000" + std::to_string(1000 + i);
        line.time = "2026-01-01T00:00:00Z";
        line.reader = "tcp:127.0.0.1:" + std::to_string(4000 + p) + std::string(200, 'r');
        line.result = i % 3 == 0 ? "failed" : "done";
        if (line.result == "failed") line.step = "switch", line.status = "no answer";
        std::string error;
        if (!AppendJournal(path_, line, &error)) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(path_);
  std::string row;
  int lines = 0, failed = 0;
  while (std::getline(in, row)) {
    const Json entry = Json::parse(row, nullptr, false);
    ASSERT_FALSE(entry.is_discarded()) << "torn line: " << row;
    for (const char* field : {"uid", "time", "reader", "result"})
      EXPECT_TRUE(entry.contains(field)) << row;
    EXPECT_FALSE(entry.contains("key") || entry.contains("keys")) << row;
    if (entry["result"] == "failed") {
      ++failed;
      EXPECT_EQ(entry["step"], "switch");
      EXPECT_EQ(entry["status"], "no answer");
    }
    ++lines;
  }
  EXPECT_EQ(lines, kProcesses * kLines);
  EXPECT_EQ(failed, kProcesses * 20);
  std::set<std::string> done;
  std::string error;
  ASSERT_TRUE(JournalDoneUids(path_, &done, &error)) << error;
  EXPECT_EQ(done.size(), static_cast<std::size_t>(kProcesses * 40));
}

TEST_F(Journal, DoneCardsAreFoundAndATornLastLineIsSkipped) {
  std::set<std::string> done;
  std::string error;
  ASSERT_TRUE(JournalDoneUids(path_, &done, &error)) << error;  // no journal yet
  EXPECT_TRUE(done.empty());
  {
    std::ofstream out(path_);
    out << R"({"uid":"01","result":"done"})"
           "\n"
        << R"({"uid":"02","result":"already done"})"
           "\n"
        << R"({"uid":"03","result":"failed","step":"commit"})"
           "\n"
        << R"({"uid":"04","result":"interrupted","step":"switch"})"
           "\n"
        << "not json\n"
        << R"({"uid":"05","result":"do)";
  }
  std::set<std::string> unfinished;
  ASSERT_TRUE(JournalDoneUids(path_, &done, &error, &unfinished)) << error;
  EXPECT_EQ(done, (std::set<std::string>{"01", "02"}));
  EXPECT_EQ(unfinished, (std::set<std::string>{"03", "04"}));
}

}  // namespace
}  // namespace cardtools
