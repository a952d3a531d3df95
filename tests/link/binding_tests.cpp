// Loading the driver library by path and binding its ordinals, through the
// real shared library, and the library's exact export list.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "ostrel.h"

extern "C" int ostrel_close_from_c(void);

namespace {

int InitWith(const char* path, std::string* stderr_text = nullptr) {
  setenv("OSTREL_HOLLINK", path, 1);
  testing::internal::CaptureStderr();
  int result = ReaderCommInit();
  std::string text = testing::internal::GetCapturedStderr();
  if (stderr_text != nullptr) *stderr_text = text;
  return result;
}

bool IsLoaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

std::set<std::string> MatchingLines(const std::string& command, const std::regex& pattern) {
  std::set<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::cmatch m;
    if (std::regex_search(line, m, pattern)) names.insert(m[1].str());
  }
  pclose(pipe);
  return names;
}

}  // namespace

TEST(DriverBinding, MissingLibraryIsReportedAndCommandsFail) {
  std::string err;
  EXPECT_NE(InitWith("/nonexistent/libhollink.so", &err), 0);
  EXPECT_NE(err.find("/nonexistent/libhollink.so"), std::string::npos) << err;
  EXPECT_EQ(ReaderClose(), 0xFF);
  EXPECT_EQ(ostrel_close_from_c(), 0xFF);
}

TEST(DriverBinding, MissingOrdinalOrTableIsNamed) {
  std::string err;
  EXPECT_NE(InitWith(FAKE_HOLLINK_NO_OPEN, &err), 0);
  EXPECT_NE(err.find("ordinal 5"), std::string::npos) << err;
  EXPECT_EQ(ReaderClose(), 0xFF);
  EXPECT_FALSE(IsLoaded(FAKE_HOLLINK_NO_OPEN));

  EXPECT_NE(InitWith(FAKE_HOLLINK_NO_TABLE, &err), 0);
  EXPECT_NE(err.find("HollinkOrdinals"), std::string::npos) << err;
  EXPECT_EQ(ReaderClose(), 0xFF);
}

TEST(DriverBinding, InitReturnsTheOpenResultAndBindsTheOrdinals) {
  setenv("FAKE_HOLLINK_OPEN_RESULT", "7", 1);
  EXPECT_EQ(InitWith(FAKE_HOLLINK_OK), 7);
  EXPECT_EQ(ReaderClose(), 0xFF);  // not ready: open failed
  setenv("FAKE_HOLLINK_OPEN_RESULT", "0", 1);
  EXPECT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  EXPECT_EQ(ReaderClose(), 0);
  EXPECT_EQ(ReaderCommReset(), 42);
  ReaderCommExit();
}

TEST(DriverBinding, RepeatedInitHoldsOneReference) {
  ASSERT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  ASSERT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  ASSERT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  EXPECT_TRUE(IsLoaded(FAKE_HOLLINK_OK));
  // Switching drivers releases the old one completely: no reference leaked.
  EXPECT_NE(InitWith(FAKE_HOLLINK_NO_OPEN), 0);
  EXPECT_TRUE(IsLoaded(FAKE_HOLLINK_OK));  // a failed switch keeps the bound driver
  setenv("OSTREL_HOLLINK", "", 1);
  unsetenv("OSTREL_HOLLINK");
}

TEST(DriverBinding, AFailedInitDoesNotSpoilTheNextOne) {
  ASSERT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  EXPECT_NE(InitWith("/nonexistent/libhollink.so"), 0);
  EXPECT_EQ(ReaderClose(), 0xFF);
  EXPECT_EQ(InitWith(FAKE_HOLLINK_OK), 0);
  EXPECT_EQ(ReaderClose(), 0);
  unsetenv("OSTREL_HOLLINK");
}

TEST(ExportList, HeaderDeclaresExactlyTheExportedNames) {
  std::ifstream header(OSTREL_HEADER);
  std::set<std::string> declared;
  std::regex declaration(R"(^(?:unsigned char|int|short|void)\s+\*?(\w+)\()");
  std::string line;
  while (std::getline(header, line)) {
    std::smatch m;
    if (std::regex_search(line, m, declaration)) declared.insert(m[1].str());
  }
  std::ifstream map(OSTREL_EXPORT_MAP);
  std::set<std::string> listed;
  std::regex entry(R"(^\s+([A-Za-z]\w+);)");
  while (std::getline(map, line)) {
    std::smatch m;
    if (std::regex_search(line, m, entry)) listed.insert(m[1].str());
  }
  EXPECT_EQ(declared, listed);
}

TEST(ExportList, SharedLibraryExportsExactlyTheHeaderNames) {
  std::ifstream header(OSTREL_EXPORT_MAP);
  std::set<std::string> expected;
  std::string line;
  std::regex entry(R"(^\s+([A-Za-z]\w+);)");
  while (std::getline(header, line)) {
    std::smatch m;
    if (std::regex_search(line, m, entry)) expected.insert(m[1].str());
  }
  ASSERT_EQ(expected.size(), 60u);
  std::set<std::string> exported =
      MatchingLines(std::string("nm -D --defined-only ") + OSTREL_LIBRARY,
                    std::regex(R"(^[0-9a-f]+ [TtWwDdBbRr] (\w+))"));
  EXPECT_EQ(exported, expected);
}
