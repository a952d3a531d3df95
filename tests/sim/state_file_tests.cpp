// The card state file as a simulator keeps it: its mode, links, what it will
// not replace, one simulator at a time, and a change it cannot save.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "card_store.h"
#include "reader.h"
#include "simulator.h"

namespace pelkin {
namespace {

namespace fs = std::filesystem;

class StateFileRules : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "statefile.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  std::unique_ptr<Simulator> Open(const std::string& path, std::string* error) {
    SimOptions options;
    options.stateFile = path;
    options.seed = 3;
    return Simulator::Create(options, error);
  }
  static std::string Text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
  }
  // A reader request with its check byte.
  static std::vector<std::uint8_t> Request(std::uint8_t command, std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> frame{0x00, command, static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(CheckByte(frame.data(), frame.size()));
    return frame;
  }
  static Reply Send(Simulator& sim, const std::vector<std::uint8_t>& frame) {
    return sim.Handle(frame.data(), frame.size());
  }
  std::string dir;
};

TEST_F(StateFileRules, KeepsModesFollowsLinksAndReplacesOnlyRegularWritableFiles) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> prepare;  // the path the simulator gets
    bool saves;
    unsigned mode;  // of the file that holds the card afterwards
  };
  auto existing = [this](const std::string& file, unsigned mode) {
    std::string error;
    Open(file, &error).reset();  // a whole card, saved and let go
    ::chmod(file.c_str(), mode);
  };
  const Case cases[] = {
      {"new file", [](const std::string& f) { return f; }, true, 0600},
      {"existing 0640",
       [&](const std::string& f) {
         existing(f, 0640);
         return f;
       },
       true, 0640},
      {"existing 0604",
       [&](const std::string& f) {
         existing(f, 0604);
         return f;
       },
       true, 0604},
      {"link to a file",
       [&](const std::string& f) {
         existing(f, 0620);
         fs::create_symlink(fs::path(f).filename(), f + ".link");
         return f + ".link";
       },
       true, 0620},
      {"link to no file yet",
       [](const std::string& f) {
         fs::create_symlink(f, f + ".link");
         return f + ".link";
       },
       true, 0600},
      {"read-only file",
       [&](const std::string& f) {
         existing(f, 0400);
         return f;
       },
       false, 0400},
      {"directory",
       [](const std::string& f) {
         fs::create_directory(f);
         return f;
       },
       false, 0xFFFF},
      {"fifo",
       [](const std::string& f) {
         ::mkfifo(f.c_str(), 0600);
         return f;
       },
       false, 0xFFFF},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir + "/card" + std::to_string(n++) + ".json";
    const std::string path = c.prepare(file);
    const std::string before = fs::is_regular_file(file) ? Text(file) : "";
    std::string error;
    auto sim = Open(path, &error);
    // A change on the card: the reader's EEPROM, saved with it.
    const bool answered = sim && Send(*sim, Request(0x62, {0x20, 1, 0x5A})).frame.size() >= 4;
    const bool saved = answered && sim->Save(&error);
    EXPECT_EQ(saved, c.saves) << error;
    if (c.saves) {
      EXPECT_TRUE(fs::is_regular_file(file));
      EXPECT_EQ(Mode(file), c.mode);
      if (path != file) {
        EXPECT_TRUE(fs::is_symlink(path)) << "the link stays a link";
      }
      StoredState state;
      ASSERT_EQ(LoadState(file, &state, &error), LoadResult::kLoaded) << error;
      EXPECT_EQ(state.eeprom[0x20], 0x5A);
    } else {
      // Refused at the start with a message, or the change fails (mute card).
      EXPECT_TRUE(sim ? !answered : !error.empty()) << error;
      if (fs::is_regular_file(file)) {
        EXPECT_EQ(Text(file), before) << "left as it was";
      }
      if (c.mode != 0xFFFF) {
        EXPECT_EQ(Mode(file), c.mode);
      }
      EXPECT_FALSE(fs::is_regular_file(file) && c.mode == 0xFFFF) << "nothing put in its place";
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
    }
  }
}

TEST_F(StateFileRules, IsOneSimulatorsAtATimeByAnyName) {
  const std::string file = dir + "/card.json";
  fs::create_symlink(file, dir + "/other-name.json");
  std::string error;
  auto first = Open(file, &error);
  ASSERT_TRUE(first) << error;
  for (const std::string& path : {file, dir + "/other-name.json", dir + "/./card.json"}) {
    std::string why;
    EXPECT_FALSE(Open(path, &why)) << path;
    EXPECT_NE(why.find("in use by another simulator"), std::string::npos) << why;
  }
  first.reset();
  auto second = Open(dir + "/other-name.json", &error);
  EXPECT_TRUE(second) << "free again once the first is gone: " << error;
}

TEST_F(StateFileRules, AChangeThatCannotBeSavedFailsItsCommandAndIsUndone) {
  const std::string file = dir + "/card.json";
  std::string error;
  auto sim = Open(file, &error);
  ASSERT_TRUE(sim) << error;
  ASSERT_GE(Send(*sim, Request(0x62, {0x30, 2, 0x11, 0x22})).frame.size(), 4u);
  const std::string saved = Text(file);

  // The file can no longer be replaced: the next change makes the card mute.
  ::chmod(file.c_str(), 0400);
  EXPECT_TRUE(Send(*sim, Request(0x62, {0x30, 2, 0x33, 0x44})).frame.empty());
  EXPECT_EQ(Text(file), saved);
  // A command that changes nothing is answered, and shows the old bytes.
  const Reply read = Send(*sim, Request(0x61, {0x30, 2}));
  ASSERT_EQ(read.frame.size(), 4u + 2u);
  EXPECT_EQ(read.frame[3], 0x11);
  EXPECT_EQ(read.frame[4], 0x22);

  // Writable again: the same change goes through and reaches the file.
  ::chmod(file.c_str(), 0600);
  ASSERT_GE(Send(*sim, Request(0x62, {0x30, 2, 0x33, 0x44})).frame.size(), 4u);
  StoredState state;
  ASSERT_EQ(LoadState(file, &state, &error), LoadResult::kLoaded) << error;
  EXPECT_EQ(state.eeprom[0x30], 0x33);
  EXPECT_EQ(state.eeprom[0x31], 0x44);
}

}  // namespace
}  // namespace pelkin
