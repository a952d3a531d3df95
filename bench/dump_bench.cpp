// A whole-card dump against its floor, in the simulated reader's time model
// (sim/air_clock.h): reader exchanges, bytes on the air and modelled time of
// `DumpCard` for full 2K and 4K cards at Levels 1 and 3, and the same for the
// floor, derived from what must cross: the activation, then per sector one
// authentication and the fewest reads (Level 1: one read per block; Level 3: a
// Following Authenticate after the first sector and one read of the whole sector
// whose answer alone carries the MAC).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "air_clock_probe.h"
#include "cardtools/card.h"
#include "ostrel.h"

namespace {

using namespace cardtools;

using benchclock::Clock;
using benchclock::FindClock;

AesKey Fill(std::uint8_t value) {
  AesKey key;
  key.fill(value);
  return key;
}

KeyFile BenchKeys() {
  KeyFile keys;
  for (int sector = 0; sector < 40; ++sector) {
    SectorKeys& set = keys.sectors[sector];
    set.aesA = Fill(static_cast<std::uint8_t>(sector + 1));
    set.aesB = Fill(static_cast<std::uint8_t>(sector + 0x81));
    set.crypto1A = set.crypto1B = Crypto1Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  }
  for (std::uint16_t address = 0x9000; address <= 0x9003; ++address)
    keys.cardKeys[address] = Fill(static_cast<std::uint8_t>(0x11 * (address - 0x8FFF)));
  return keys;
}

// A fresh card of `variant`, personalized and taken to `level`; false on any failure.
bool PrepareCard(const std::string& variant, int level, const KeyFile& keys, CardInfo* info) {
  ::setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  if (!OpenReader("sim:seed=3,variant=" + variant).ok()) return false;
  if (!ActivateCard(info).ok() || !Personalize(*info, keys, true).ok()) return false;
  if (!ActivateCard(info).ok()) return false;
  if (level == 3 &&
      (!SwitchLevel(*info, 3, keys.cardKeys.at(0x9003)).ok() || !ActivateCard(info).ok()))
    return false;
  return info->level == level;
}

// The floor: activation, then per sector one authentication and the fewest reads.
bool Floor(const CardInfo& info, const KeyFile& keys) {
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[100], data[256];
  if (PiccActivate(0x52, atq, uid, &uidLength, &sak) != 0) return false;
  if (info.layer4 && (PiccRATS(10, ats) != 0 || PiccPPS(0, 0) != 0)) return false;
  for (int sector = 0; sector < SectorCount(info.size); ++sector) {
    const SectorKeys& set = keys.sectors.at(sector);
    const int first = FirstBlockOfSector(sector), count = BlocksInSector(sector);
    if (info.level == 1) {
      if (PiccAuthKey(0x00, set.crypto1A->data(), static_cast<unsigned char>(sector)) != 0)
        return false;
      for (int b = first; b < first + count; ++b)
        if (PiccReadBlock(static_cast<unsigned char>(b), data) != 0) return false;
    } else {
      // After the first sector the session stands: Following Authenticate carries no
      // capability bytes; the read's answer MAC covers block, count and data, so the
      // command goes without one. Every byte stays authenticated.
      const auto auth = sector == 0 ? PLUSSL3FirstAuth : PLUSSL3FollowingAuth;
      if (auth(SectorKeyAddress(sector, false), set.aesA->data()) != 0) return false;
      if (PLUSSL3Read(0x35, static_cast<unsigned short>(first), static_cast<unsigned char>(count),
                      data) != 0)
        return false;
    }
  }
  return true;
}

void BM_Dump(benchmark::State& state, const std::string& variant, int level) {
  const KeyFile keys = BenchKeys();
  CardInfo info;
  if (!PrepareCard(variant, level, keys, &info)) {
    state.SkipWithError("the simulated card could not be prepared");
    CloseReader();
    return;
  }
  const Clock clock = FindClock();
  if (clock.read == nullptr || clock.reset == nullptr) {
    state.SkipWithError("the driver has no simulated reader clock");
    CloseReader();
    return;
  }
  PelkinAirTotals dump{}, floor{};
  for (auto _ : state) {
    clock.reset();
    if (!ActivateCard(&info).ok() || !DumpCard(info, keys).result.ok()) {
      state.SkipWithError("the dump failed");
      break;
    }
    clock.read(&dump);
  }
  clock.reset();
  if (!Floor(info, keys)) state.SkipWithError("the floor sequence failed");
  clock.read(&floor);
  CloseReader();
  auto ms = [](const PelkinAirTotals& t) { return (t.airMicros + t.linkMicros) / 1000.0; };
  state.counters["exchanges"] = static_cast<double>(dump.readerFrames);
  state.counters["air_bytes"] = static_cast<double>(dump.airBytes);
  state.counters["model_ms"] = ms(dump);
  state.counters["floor_exchanges"] = static_cast<double>(floor.readerFrames);
  state.counters["floor_air_bytes"] = static_cast<double>(floor.airBytes);
  state.counters["floor_model_ms"] = ms(floor);
  state.counters["ratio"] = ms(floor) > 0 ? ms(dump) / ms(floor) : 0;
}

BENCHMARK_CAPTURE(BM_Dump, Level1_2K, std::string("X2K4"), 1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Dump, Level1_4K, std::string("X4K4"), 1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Dump, Level3_2K, std::string("X2K4"), 3)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Dump, Level3_4K, std::string("X4K4"), 3)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
