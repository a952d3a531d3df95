// Card operations through libostrel and the in-process simulated reader, and the
// AES and CMAC primitives the protocol spends its time in.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "mfplus/crypto.h"
#include "ostrel.h"

namespace {

using Key = std::array<unsigned char, 16>;

Key Fill(unsigned char value) {
  Key key;
  key.fill(value);
  return key;
}

const Key kFactory = Fill(0xFF), kLevel3Switch = Fill(0x44);

bool Activate() {
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[100];
  PiccDeSelect();
  PiccHalt();
  return PiccActivate(0x52, atq, uid, &uidLength, &sak) == 0 && PiccRATS(10, ats) == 0 &&
         PiccPPS(0, 0) == 0;
}

// A fresh simulated card, personalized, at Level 3 and authenticated with sector 1's key A.
bool Level3Session() {
  ::setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  ::setenv("HOLLINK_READER", "sim:seed=1", 1);
  if (ReaderCommInit() != 0 || !Activate()) return false;
  const Key master = Fill(0x11), config = Fill(0x22), level2 = Fill(0x33);
  if (PLUSWritePersoClassic(0x9000, master.data()) != 0 ||
      PLUSWritePersoClassic(0x9001, config.data()) != 0 ||
      PLUSWritePersoClassic(0x9002, level2.data()) != 0 ||
      PLUSWritePersoClassic(0x9003, kLevel3Switch.data()) != 0 || PLUSCommitPersoClassic() != 0) {
    return false;
  }
  if (!Activate() || PLUSSL3FirstAuth(0x9003, kLevel3Switch.data()) != 0 || !Activate())
    return false;
  return PLUSSL3FirstAuth(0x4002, kFactory.data()) == 0;
}

// The card refuses a session's 65536th command; start a new session well before.
void KeepSessionFresh(benchmark::State& state, std::int64_t done) {
  if (done % 30000 != 29999) return;
  state.PauseTiming();
  PLUSSL3FirstAuth(0x4002, kFactory.data());
  state.ResumeTiming();
}

void BM_FirstAuthenticate(benchmark::State& state) {
  if (!Level3Session()) {
    state.SkipWithError("no Level 3 session");
    return;
  }
  for (auto _ : state) {
    if (PLUSSL3FirstAuth(0x4002, kFactory.data()) != 0)
      state.SkipWithError("authentication failed");
  }
  ReaderCommExit();
}
BENCHMARK(BM_FirstAuthenticate);

void BM_ReadOneBlockMaced(benchmark::State& state) {
  if (!Level3Session()) {
    state.SkipWithError("no Level 3 session");
    return;
  }
  unsigned char block[16];
  std::int64_t done = 0;
  for (auto _ : state) {
    if (PLUSSL3Read(0x33, 4, 1, block) != 0) state.SkipWithError("read failed");
    KeepSessionFresh(state, done++);
  }
  ReaderCommExit();
}
BENCHMARK(BM_ReadOneBlockMaced);

void BM_WriteThreeBlocksEncrypted(benchmark::State& state) {
  if (!Level3Session()) {
    state.SkipWithError("no Level 3 session");
    return;
  }
  unsigned char data[48] = {};
  std::int64_t done = 0;
  for (auto _ : state) {
    data[0] = static_cast<unsigned char>(done);
    if (PLUSSL3Write(0xA1, 4, 3, data) != 0) state.SkipWithError("write failed");
    KeepSessionFresh(state, done++);
  }
  ReaderCommExit();
}
BENCHMARK(BM_WriteThreeBlocksEncrypted);

void BM_IncrementTransfer(benchmark::State& state) {
  if (!Level3Session() || PLUSSL3WriteValue(0xA1, 5, 0) != 0) {
    state.SkipWithError("no Level 3 session");
    return;
  }
  std::int64_t done = 0;
  for (auto _ : state) {
    if (PLUSSL3ValueOperTran(0xB7, 5, 5, 1) != 0) state.SkipWithError("increment failed");
    KeepSessionFresh(state, done++);
  }
  ReaderCommExit();
}
BENCHMARK(BM_IncrementTransfer);

using BlockCipher = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*);

void BM_AesBlock(benchmark::State& state, BlockCipher cipher) {
  const Key key = Fill(0x2B);
  std::uint8_t block[16] = {};
  for (auto _ : state) {
    cipher(key.data(), block, block);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK_CAPTURE(BM_AesBlock, encrypt, &ostrel::crypto::AesEncryptBlock);
BENCHMARK_CAPTURE(BM_AesBlock, decrypt, &ostrel::crypto::AesDecryptBlock);

// CMAC of 1 to 4 blocks; time per message, bytes per second show the per-block cost.
void BM_CmacTruncated(benchmark::State& state) {
  const Key key = Fill(0x2B);
  std::uint8_t message[64] = {};
  const auto length = static_cast<std::size_t>(state.range(0)) * 16;
  std::uint8_t mac[8];
  for (auto _ : state) {
    ostrel::crypto::CmacTruncated(mac, message, length, key.data());
    benchmark::DoNotOptimize(mac);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
}
BENCHMARK(BM_CmacTruncated)->DenseRange(1, 4);

}  // namespace

BENCHMARK_MAIN();
