#include "batch.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "cardtools/batch.h"
#include "cardtools/diversify.h"

namespace ostrel_cli {

namespace {

using namespace cardtools;

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

int Report(bool json, Outcome outcome, const std::string& message) {
  std::fprintf(stderr, "ostrel: %s\n", message.c_str());
  if (json) {
    std::cout
        << Json({{"ok", false}, {"error", message}, {"exit", static_cast<int>(outcome)}}).dump()
        << "\n";
  }
  return static_cast<int>(outcome);
}

}  // namespace

CLI::App* AddBatchCommand(CLI::App& app, BatchArgs* args) {
  auto* batch = app.add_subcommand(
      "batch", "personalize cards one after another on one reader, with a journal");
  batch->add_option("--keys", args->keysPath, "key file; \"Diversify\" gives per-card keys")
      ->required();
  batch
      ->add_option("--journal", args->journalPath,
                   "journal file, one JSON line per card (appended)")
      ->required();
  batch->add_option("--target-level", args->targetLevel, "1 or 3 (default 3)")
      ->check(CLI::IsMember({1, 3}));
  batch->add_option("--count", args->count, "stop after this many cards (default: until Ctrl-C)")
      ->check(CLI::NonNegativeNumber);
  batch->footer(
      "One process serves one reader: run one `ostrel --reader R batch ...` per reader, all\n"
      "appending to the same journal. Ctrl-C ends the run after the card in the field has its\n"
      "journal line.");
  return batch;
}

int RunBatchCommand(const BatchArgs& args, const std::string& reader, bool json) {
  std::string text, error;
  KeyFile keys;
  if (!ReadFile(args.keysPath, &text, &error)) return Report(json, Outcome::kBadInput, error);
  if (!ParseKeyFile(text, &keys, &error))
    return Report(json, Outcome::kBadInput, args.keysPath + ": " + error);
  Diversification diversification;
  if (!ParseDiversification(keys, &diversification, &error))
    return Report(json, Outcome::kBadInput, args.keysPath + ": " + error);
  for (std::uint16_t address = 0x9000; address <= 0x9003; ++address) {
    if (keys.cardKeys.count(address) == 0) {
      char message[96];
      std::snprintf(message, sizeof message, "%s: the key file has no card key %04X",
                    args.keysPath.c_str(), address);
      return Report(json, Outcome::kBadInput, message);
    }
  }
  Result result = OpenReader(reader);
  if (!result.ok()) return Report(json, result.outcome, result.message);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  BatchOptions options;
  options.reader = reader.empty() ? "default" : reader;
  options.journal = args.journalPath;
  options.targetLevel = args.targetLevel;
  options.count = args.count;
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  BatchHooks hooks;
  hooks.stop = [] { return g_stop.load(); };
  hooks.line = [&](const JournalLine& line, const BatchTotals& totals) {
    if (json) {
      std::cout << line.ToJson().dump() << std::endl;
    } else if (!terminal) {
      std::printf("%s  %s%s%s\n", line.uid.c_str(), line.result.c_str(),
                  line.step.empty() ? "" : " at ", line.step.c_str());
      std::fflush(stdout);
    }
    if (terminal) {
      const double minutes =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60;
      std::fprintf(stderr,
                   "\rcards %d: done %d, already done %d, failed %d, interrupted %d, %.1f/min   ",
                   totals.cards(), totals.done, totals.alreadyDone, totals.failed,
                   totals.interrupted, minutes > 0 ? totals.cards() / minutes : 0.0);
      if (line.result == "failed" || line.result == "interrupted")
        std::fprintf(stderr, "\n%s %s at %s: %s\n", line.uid.c_str(), line.result.c_str(),
                     line.step.c_str(), line.status.c_str());
      std::fflush(stderr);
    }
  };
  BatchTotals totals;
  result = RunBatch(keys, options, hooks, &totals);
  CloseReader();
  if (terminal) std::fputc('\n', stderr);
  std::fprintf(stderr, "%d cards: %d done, %d already done, %d failed, %d interrupted\n",
               totals.cards(), totals.done, totals.alreadyDone, totals.failed, totals.interrupted);
  if (!result.ok()) return Report(json, result.outcome, result.message);
  return totals.failed + totals.interrupted > 0 ? static_cast<int>(Outcome::kKeyRefused) : 0;
}

}  // namespace ostrel_cli
