// The production line against its floor, in the simulated reader's time model
// (sim/air_clock.h): `ostrel batch`'s loop taking fresh 2K and 4K cards of a queue
// to Level 3 with diversified keys (reader exchanges, air bytes and modelled
// seconds per card), and the floor: what must cross for one card, whatever the tool.
//
// The floor, derived from what the card must receive and prove:
//  - activation at Level 0 (request, anticollision, select, RATS, PPS);
//  - one Write Perso per sector key (2 per sector), per sector trailer (1 per
//    sector) and per card key (4), then the commit;
//  - activation at Level 1, the First Authenticate with 0x9003 (2 exchanges) that
//    switches the card, activation at Level 3;
//  - proof of every key: each sector key authenticates (the first with First, the
//    rest with Following Authenticate, 2 exchanges each) and one MACed read of one
//    block per sector follows the authentication with key A; the card master and
//    configuration keys authenticate (2 exchanges each).
// The second benchmark runs N = 1, 2, 4 pelkin-sim processes over TCP with one
// `ostrel batch` each and reports cards per minute in wall time.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "air_clock_probe.h"
#include "cardtools/batch.h"
#include "cardtools/diversify.h"
#include "ostrel.h"

extern char** environ;

namespace {

using namespace cardtools;

using benchclock::Clock;
using benchclock::FindClock;

constexpr char kKeyFile[] = R"({"FileType": "mfpkeys", "Diversify": true,
  "SystemIdentifier": "4E585020416275", "SectorKeys": {%SECTORS%},
  "CardKeys": {"9000": "00112233445566778899AABBCCDDEEFF", "9001": "0102030405060708090A0B0C0D0E0F10",
               "9002": "1112131415161718191A1B1C1D1E1F20", "9003": "2122232425262728292A2B2C2D2E2F30"}})";

std::string KeyFileText() {
  std::string sectors;
  for (int s = 0; s < 40; ++s) {
    sectors += (s ? "," : "") + std::string("\"") + std::to_string(s) +
               R"(": {"KeyA": "000102030405060708090A0B0C0D0E0F",)" +
               R"("KeyB": "F0E1D2C3B4A5968778695A4B3C2D1E0F",)" +
               R"("Crypto1KeyA": "FFFFFFFFFFFF", "Crypto1KeyB": "FFFFFFFFFFFF"})";
  }
  std::string text = kKeyFile;
  text.replace(text.find("%SECTORS%"), 9, sectors);
  return text;
}

KeyFile BenchKeys() {
  KeyFile keys;
  std::string error;
  ParseKeyFile(KeyFileText(), &keys, &error);
  return keys;
}

bool Activate(bool layer4) {
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[100];
  if (PiccActivate(0x52, atq, uid, &uidLength, &sak) != 0) return false;
  return !layer4 || (PiccRATS(10, ats) == 0 && PiccPPS(0, 0) == 0);
}

// The floor for the card in the field (fresh, Level 0).
bool Floor(const KeyFile& file, int sectors) {
  CardInfo info;
  if (!ActivateCard(&info, false).ok()) return false;  // only for the UID
  KeyFile keys;
  std::string error;
  if (!KeysForCard(file, info.id.uid, &keys, &error)) return false;
  PiccHalt();
  if (!Activate(true)) return false;
  for (int s = 0; s < sectors; ++s) {
    const SectorKeys& set = keys.sectors.at(s);
    if (PLUSWritePersoTCL(SectorKeyAddress(s, false), set.aesA->data()) != 0 ||
        PLUSWritePersoTCL(SectorKeyAddress(s, true), set.aesB->data()) != 0)
      return false;
    Block trailer{};
    const std::uint8_t access[4] = {0xFF, 0x07, 0x80, 0x69};
    std::copy(set.crypto1A->begin(), set.crypto1A->end(), trailer.begin());
    std::copy(access, access + 4, trailer.begin() + 6);
    std::copy(set.crypto1B->begin(), set.crypto1B->end(), trailer.begin() + 10);
    if (PLUSWritePersoTCL(static_cast<unsigned short>(TrailerOfSector(s)), trailer.data()) != 0)
      return false;
  }
  for (std::uint16_t a = 0x9000; a <= 0x9003; ++a)
    if (PLUSWritePersoTCL(a, keys.cardKeys.at(a).data()) != 0) return false;
  if (PLUSCommitPersoTCL() != 0) return false;
  PiccHalt();
  if (!Activate(true) || PLUSSL3FirstAuth(0x9003, keys.cardKeys.at(0x9003).data()) != 0)
    return false;
  PiccHalt();
  if (!Activate(true)) return false;
  unsigned char data[16];
  for (int s = 0; s < sectors; ++s) {
    const SectorKeys& set = keys.sectors.at(s);
    const auto auth = s == 0 ? PLUSSL3FirstAuth : PLUSSL3FollowingAuth;
    if (auth(SectorKeyAddress(s, false), set.aesA->data()) != 0) return false;
    if (PLUSSL3Read(0x35, static_cast<unsigned short>(FirstBlockOfSector(s)), 1, data) != 0)
      return false;
    if (PLUSSL3FollowingAuth(SectorKeyAddress(s, true), set.aesB->data()) != 0) return false;
  }
  return PLUSSL3FirstAuth(0x9000, keys.cardKeys.at(0x9000).data()) == 0 &&
         PLUSSL3FirstAuth(0x9001, keys.cardKeys.at(0x9001).data()) == 0;
}

void Report(benchmark::State& state, const PelkinAirTotals& t, const PelkinAirTotals& f,
            int cards) {
  auto seconds = [](const PelkinAirTotals& x) { return (x.airMicros + x.linkMicros) / 1e6; };
  state.counters["exchanges"] = static_cast<double>(t.readerFrames) / cards;
  state.counters["air_bytes"] = static_cast<double>(t.airBytes) / cards;
  state.counters["model_s"] = seconds(t) / cards;
  state.counters["floor_exchanges"] = static_cast<double>(f.readerFrames);
  state.counters["floor_air_bytes"] = static_cast<double>(f.airBytes);
  state.counters["floor_model_s"] = seconds(f);
  state.counters["ratio"] = seconds(f) > 0 ? seconds(t) / cards / seconds(f) : 0;
}

void BM_BatchToLevel3(benchmark::State& state, const std::string& variant, int sectors) {
  constexpr int kCards = 4;
  const KeyFile keys = BenchKeys();
  ::setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  const std::string journal =
      (std::filesystem::temp_directory_path() / ("batch-bench-" + std::to_string(::getpid())))
          .string();
  PelkinAirTotals line{}, floor{};
  for (auto _ : state) {
    std::filesystem::remove(journal);
    if (!OpenReader("sim:seed=5,cards=" + std::to_string(kCards) + ",variant=" + variant).ok()) {
      state.SkipWithError("no simulated reader");
      return;
    }
    const Clock clock = FindClock();
    if (clock.read == nullptr) {
      state.SkipWithError("the driver has no simulated reader clock");
      CloseReader();
      return;
    }
    clock.reset();
    BatchOptions options;
    options.reader = "sim";
    options.journal = journal;
    options.count = kCards;
    BatchTotals totals;
    const Result result = RunBatch(keys, options, {}, &totals);
    clock.read(&line);
    CloseReader();
    if (!result.ok() || totals.done != kCards) {
      state.SkipWithError("the batch did not finish every card");
      return;
    }
  }
  // The floor on a fresh card of the same queue.
  OpenReader("sim:seed=6,cards=1,variant=" + variant);
  const Clock clock = FindClock();
  clock.reset();
  if (!Floor(keys, sectors)) state.SkipWithError("the floor sequence failed");
  clock.read(&floor);
  CloseReader();
  std::filesystem::remove(journal);
  Report(state, line, floor, kCards);
}

BENCHMARK_CAPTURE(BM_BatchToLevel3, 2K, std::string("X2K4"), 32)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BatchToLevel3, 4K, std::string("X4K4"), 40)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---- N readers: N pelkin-sim processes over TCP, one `ostrel batch` each.

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::string Address(const std::string& out) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(out);
    std::string word, address;
    if (in >> word >> address && word == "listening") return address;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

void BM_Readers(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  constexpr int kCards = 10;
  const auto folder =
      std::filesystem::temp_directory_path() / ("readers-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string keysPath = (folder / "keys.json").string();
  std::ofstream(keysPath) << KeyFileText();
  double seconds = 0;
  for (auto _ : state) {
    std::vector<pid_t> sims, batches;
    std::vector<std::string> addresses;
    for (int r = 0; r < readers; ++r) {
      const std::string out = (folder / ("sim" + std::to_string(r))).string();
      sims.push_back(
          Spawn({PELKIN_SIM, "--listen", "127.0.0.1:0", "--cards", std::to_string(kCards), "--seed",
                 std::to_string(40 + r), "--variant", "X2K4"},
                out));
      addresses.push_back(Address(out));
    }
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < readers; ++r) {
      batches.push_back(Spawn(
          {OSTREL_PROGRAM, "--reader", addresses[static_cast<std::size_t>(r)], "batch", "--keys",
           keysPath, "--journal", (folder / "journal").string(), "--count", std::to_string(kCards)},
          (folder / ("batch" + std::to_string(r))).string()));
    }
    bool ok = true;
    for (pid_t pid : batches) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (pid_t pid : sims) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove(folder / "journal");
    if (!ok) state.SkipWithError("a batch failed");
  }
  std::filesystem::remove_all(folder);
  state.counters["cards"] = readers * kCards;
  state.counters["cards_per_min"] = seconds > 0 ? readers * kCards / seconds * 60 : 0;
}

BENCHMARK(BM_Readers)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
