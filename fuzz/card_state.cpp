// The card state file loader, fed arbitrary bytes (JSON and otherwise). A
// file it accepts must save and load again to the same card.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "card_store.h"

namespace {

std::string g_input, g_copy;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/ostrel-fuzz-" +
         std::to_string(::getpid()) + "-" + name;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Broken("cannot write the input file");
  if (size > 0 && std::fwrite(data, 1, size, f) != size) Broken("short write of the input file");
  std::fclose(f);
}

bool Same(const pelkin::StoredState& a, const pelkin::StoredState& b) {
  const pelkin::CardImage &x = a.card, &y = b.card;
  return x.variant.s == y.variant.s && x.variant.fourK == y.variant.fourK &&
         x.variant.uid7 == y.variant.uid7 && x.uid == y.uid && x.level == y.level &&
         x.blocks == y.blocks && x.keys == y.keys && x.persoWritten == y.persoWritten &&
         a.eeprom == b.eeprom;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_input = TempPath("in.json");
  g_copy = TempPath("copy.json");
  std::atexit([] {
    std::remove(g_input.c_str());
    std::remove(g_copy.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WriteFile(g_input, data, size);
  pelkin::StoredState state;
  std::string error;
  if (pelkin::LoadState(g_input, &state, &error) != pelkin::LoadResult::kLoaded) return 0;
  if (!pelkin::SaveState(g_copy, state, &error)) Broken("a loaded card does not save");
  pelkin::StoredState again;
  if (pelkin::LoadState(g_copy, &again, &error) != pelkin::LoadResult::kLoaded) {
    Broken("a saved card does not load");
  }
  if (!Same(state, again)) Broken("a saved card loads differently");
  return 0;
}
