#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "card_store.h"
#include "sim_test_support.h"

namespace pelkin::test {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "simstate.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (fs::path(path_) / name).string(); }

 private:
  std::string path_;
};

Bytes Frame(std::uint8_t command, const Bytes& data) {
  Bytes frame{0, command, static_cast<std::uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(CheckByte(frame.data(), frame.size()));
  return frame;
}

Bytes Send(Simulator& sim, std::uint8_t command, const Bytes& data = {}) {
  const Bytes frame = Frame(command, data);
  return sim.Handle(frame.data(), frame.size()).frame;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SimOptions, ParsesEveryKey) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions(
      "state=/tmp/c.json,variant=s2k7,seed=42,lose-request=0.05,lose-answer=0.1,corrupt=1,"
      "delay=0,delay-ms=50",
      &options, &error))
      << error;
  EXPECT_EQ(options.stateFile.value_or(""), "/tmp/c.json");
  EXPECT_EQ(options.variant, "S2K7");
  EXPECT_EQ(options.seed.value_or(0), 42u);
  EXPECT_DOUBLE_EQ(options.faults.loseRequest, 0.05);
  EXPECT_DOUBLE_EQ(options.faults.loseAnswer, 0.1);
  EXPECT_DOUBLE_EQ(options.faults.corruptAnswer, 1.0);
  EXPECT_EQ(options.faults.delayMs, 50);
  ASSERT_TRUE(ParseSimOptions("", &options, &error));
  EXPECT_FALSE(options.stateFile.has_value());
  EXPECT_EQ(options.variant, "X4K4");
}

TEST(SimOptions, BareStateUsesTheUserDataFolder) {
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_DATA_HOME", "/data/home", 1);
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("state", &options, &error));
  EXPECT_EQ(options.stateFile.value_or(""), "/data/home/pelkin/card.json");
  if (old)
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    ::unsetenv("XDG_DATA_HOME");
}

TEST(SimOptions, RejectsBadInputWithAReason) {
  SimOptions options;
  options.variant = "S2K4";
  for (const char* text : {"variant=X3K4", "seed=-1", "seed=abc", "corrupt=1.5", "delay=-0.1",
                           "delay-ms=999999", "colour=blue", "state="}) {
    std::string error;
    EXPECT_FALSE(ParseSimOptions(text, &options, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_EQ(options.variant, "S2K4");  // untouched on failure
}

TEST(StateFile, MissingFileMakesAFreshCardThatSurvivesAReopen) {
  TempDir dir;
  const std::string path = dir / "sub/card.json";
  SimOptions options;
  options.stateFile = path;
  options.variant = "X2K7";
  options.seed = 9;
  std::string error;
  Bytes uid;
  {
    auto sim = Simulator::Create(options, &error);
    ASSERT_TRUE(sim) << error;
    ASSERT_TRUE(fs::exists(path));
    // Personalize and commit through the raw path.
    Send(*sim, 0x41, {1});
    for (std::uint8_t code : {std::uint8_t{0x93}, std::uint8_t{0x95}}) {
      Bytes part = Send(*sim, 0x74, {code, 0});
      ASSERT_EQ(part[1], 0);
      Bytes select{code};
      select.insert(select.end(), part.begin() + 3, part.begin() + 7);
      Send(*sim, 0x75, select);
      uid.insert(uid.end(), part.begin() + (code == 0x93 ? 4 : 3), part.begin() + 7);
    }
    for (std::uint16_t a = 0x9000; a <= 0x9003; ++a) {
      Bytes raw{0xC0, 7, 0xA8, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8)};
      raw.resize(21, 0x42);
      ASSERT_EQ(Send(*sim, 0x90, raw)[1], 0);
    }
    Send(*sim, 0x90, {0xC0, 7, 0xAA});
    Send(*sim, 0x62, {0x20, 2, 0xBE, 0xEF});
  }
  EXPECT_EQ(ReadFile(path).find("\"level\": 1") != std::string::npos, true);
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  options.variant = "S4K4";  // an existing card keeps its own variant
  auto again = Simulator::Create(options, &error);
  ASSERT_TRUE(again) << error;
  Bytes atq = Send(*again, 0x41, {1});
  EXPECT_EQ(atq[3], 0x44);  // still a 7-byte UID
  Bytes part = Send(*again, 0x74, {0x95, 0});
  EXPECT_EQ(part[1], kStNoCard);  // level 1 first
  Bytes level1 = Send(*again, 0x74, {0x93, 0});
  EXPECT_EQ(Bytes(level1.begin() + 4, level1.begin() + 7), Bytes(uid.begin(), uid.begin() + 3));
  Bytes eeprom = Send(*again, 0x61, {0x20, 2});
  EXPECT_EQ(Bytes(eeprom.begin() + 3, eeprom.begin() + 5), (Bytes{0xBE, 0xEF}));
}

TEST(StateFile, DamagedFileIsReportedAndLeftAlone) {
  TempDir dir;
  const std::string path = dir / "card.json";
  SimOptions options;
  options.stateFile = path;
  std::string error;
  ASSERT_TRUE(Simulator::Create(options, &error)) << error;
  const std::string whole = ReadFile(path);
  for (const std::string& damaged : {whole.substr(0, whole.size() / 2), std::string("{}"),
                                     std::string("not json"), std::string()}) {
    { std::ofstream(path, std::ios::trunc) << damaged; }
    error.clear();
    EXPECT_FALSE(Simulator::Create(options, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(ReadFile(path), damaged);
  }
  // A level out of range is refused as well.
  std::string bad = whole;
  bad.replace(bad.find("\"level\": 0"), 10, "\"level\": 7");
  { std::ofstream(path, std::ios::trunc) << bad; }
  EXPECT_FALSE(Simulator::Create(options, &error));
  EXPECT_NE(error.find("level"), std::string::npos);
}

TEST(Seed, SameSeedSameCardAndSameRandomNumbers) {
  auto run = [](std::uint64_t seed) {
    SimOptions options;
    options.seed = seed;
    options.variant = "X4K7";
    std::string error;
    auto sim = Simulator::Create(options, &error);
    Bytes trace = Send(*sim, 0x41, {1});
    for (std::uint8_t code : {std::uint8_t{0x93}, std::uint8_t{0x95}}) {
      Bytes part = Send(*sim, 0x74, {code, 0});
      trace.insert(trace.end(), part.begin(), part.end());
      Bytes select{code};
      select.insert(select.end(), part.begin() + 3, part.begin() + 7);
      Send(*sim, 0x75, select);
    }
    Send(*sim, 0x91, {10});
    Bytes rndB = Send(*sim, 0x94, {0x70, 0x00, 0x40, 0x00});
    trace.insert(trace.end(), rndB.begin(), rndB.end());
    return trace;
  };
  EXPECT_EQ(run(5), run(5));
  EXPECT_NE(run(5), run(6));
}

}  // namespace
}  // namespace pelkin::test
