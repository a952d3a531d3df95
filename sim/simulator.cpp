// Option parsing and construction of the simulated reader with its card.
#include "simulator.h"

#include <cerrno>
#include <cstdlib>
#include <random>

#include "air_clock.h"
#include "card_queue.h"
#include "card_store.h"
#include "faults.h"
#include "reader.h"

namespace pelkin {

namespace {

bool ParseProbability(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || *end != '\0' || !(value >= 0.0 && value <= 1.0)) return false;
  *out = value;
  return true;
}

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

// "CARD:COMMANDS": the CARD-th card of a queue (from 1) leaves the field after
// COMMANDS layer 4 commands.
bool ParseTakeOff(const std::string& text, SimOptions* options) {
  const std::size_t colon = text.find(':');
  std::uint64_t card = 0, commands = 0;
  if (colon == std::string::npos || !ParseUnsigned(text.substr(0, colon), 100000, &card) ||
      card == 0 || !ParseUnsigned(text.substr(colon + 1), 1000000, &commands))
    return false;
  options->takeOffCard = static_cast<int>(card);
  options->takeOffCommands = static_cast<int>(commands);
  return true;
}

Eeprom FreshEeprom() {
  Eeprom eeprom{};
  const char banner[] = "PELKIN";
  for (std::size_t i = 0; i + 1 < sizeof(banner); ++i)
    eeprom[i] = static_cast<std::uint8_t>(banner[i]);
  return eeprom;
}

}  // namespace

bool ParseSimOptions(const std::string& text, SimOptions* options, std::string* error) {
  SimOptions parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) {
      if (comma == text.size()) break;
      continue;
    }
    const std::size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? item.substr(eq + 1) : std::string();
    auto bad = [&](const std::string& why) {
      *error = "option '" + item + "': " + why;
      return false;
    };
    std::uint64_t number = 0;
    if (key == "state") {
      if (hasValue && value.empty()) return bad("empty path");
      parsed.stateFile = hasValue ? value : DefaultStatePath();
    } else if (key == "variant") {
      Variant variant;
      if (!ParseVariant(value, &variant)) return bad("expected X|S, 2K|4K, 4|7, e.g. X4K7");
      parsed.variant = VariantName(variant);
    } else if (key == "seed") {
      if (!ParseUnsigned(value, UINT64_MAX, &number)) return bad("expected an unsigned number");
      parsed.seed = number;
    } else if (key == "lose-request" || key == "lose-answer" || key == "corrupt" ||
               key == "delay") {
      double p = 0;
      if (!ParseProbability(value, &p)) return bad("expected a probability from 0 to 1");
      if (key == "lose-request") parsed.faults.loseRequest = p;
      if (key == "lose-answer") parsed.faults.loseAnswer = p;
      if (key == "corrupt") parsed.faults.corruptAnswer = p;
      if (key == "delay") parsed.faults.delayAnswer = p;
    } else if (key == "cards") {
      if (!ParseUnsigned(value, 100000, &number) || number == 0)
        return bad("expected a number of cards from 1 to 100000");
      parsed.cards = static_cast<int>(number);
    } else if (key == "take-off") {
      if (!ParseTakeOff(value, &parsed)) return bad("expected CARD:COMMANDS, e.g. 2:20");
    } else if (key == "delay-ms") {
      if (!ParseUnsigned(value, 60000, &number)) return bad("expected milliseconds up to 60000");
      parsed.faults.delayMs = static_cast<int>(number);
    } else {
      return bad("unknown option (see sim/README.md)");
    }
  }
  *options = parsed;
  return true;
}

namespace {

// Takes the state file for this simulator and loads what it holds; `fresh` when
// there is nothing to load yet. Without a state file the card starts fresh.
template <typename T, typename Load>
bool LockAndLoad(const SimOptions& options, Load load, T* value, bool* fresh,
                 std::shared_ptr<StateLock>* lock, std::string* error) {
  *fresh = true;
  if (!options.stateFile) return true;
  *lock = StateLock::Take(*options.stateFile, error);
  if (!*lock) return false;
  switch (load(*options.stateFile, value, error)) {
    case LoadResult::kLoaded:
      *fresh = false;
      return true;
    case LoadResult::kMissing:
      return true;
    case LoadResult::kError:
      break;
  }
  return false;
}

// The reader in front of a queue of cards; the queue's file keeps every card.
std::unique_ptr<Reader> CreateQueueReader(const SimOptions& options, const Variant& variant,
                                          std::string* error) {
  std::vector<CardImage> cards;
  bool fresh = true;
  // One simulator at a time on a file; the lock lives as long as the saver.
  std::shared_ptr<StateLock> lock;
  if (!LockAndLoad(options, LoadQueue, &cards, &fresh, &lock, error)) return nullptr;
  if (fresh) {
    Rng rng(options.seed);
    cards = CardQueue::FreshCards(variant, options.cards, rng);
  }
  CardQueue::Save save;
  if (options.stateFile) {
    const std::string path = *options.stateFile;
    save = [path, lock](const std::vector<CardImage>& images, std::string* why) {
      return SaveQueue(path, images, why);
    };
    if (fresh && !save(cards, error)) return nullptr;
  }
  std::optional<std::uint64_t> cardSeed;
  if (options.seed) cardSeed = *options.seed ^ 0x5A17C0DEULL;
  auto queue = std::make_unique<CardQueue>(std::move(cards), cardSeed, save,
                                           TakeOff{options.takeOffCard, options.takeOffCommands});
  return std::make_unique<Reader>(std::move(queue), FreshEeprom());
}

}  // namespace

std::unique_ptr<Reader> CreateReader(const SimOptions& options, std::string* error) {
  Variant variant;
  if (!ParseVariant(options.variant, &variant)) {
    *error = "unknown card variant '" + options.variant + "'";
    return nullptr;
  }
  if (options.takeOffCard > 0 && options.cards == 0) {
    *error = "take-off needs a queue of cards (cards=N)";
    return nullptr;
  }
  if (options.cards > 0) return CreateQueueReader(options, variant, error);
  StoredState state;
  bool fresh = true;
  std::shared_ptr<StateLock> lock;
  if (!LockAndLoad(options, LoadState, &state, &fresh, &lock, error)) return nullptr;
  if (fresh) {
    Rng rng(options.seed);
    state.card = CardImage::Fresh(variant, rng);
    state.eeprom = FreshEeprom();
  }
  Reader::Persist persist;
  if (options.stateFile) {
    const std::string path = *options.stateFile;
    // The lock lives as long as the reader that saves through it.
    persist = [path, lock](const CardImage& card, const Eeprom& eeprom, std::string* why) {
      return SaveState(path, StoredState{card, eeprom}, why);
    };
    if (fresh && !persist(state.card, state.eeprom, error)) return nullptr;
  }
  // The card's own random numbers come from a stream apart from the one that made it.
  std::optional<std::uint64_t> cardSeed;
  if (options.seed) cardSeed = *options.seed ^ 0x5A17C0DEULL;
  return std::make_unique<Reader>(std::move(state.card), state.eeprom, cardSeed, persist);
}

std::unique_ptr<Simulator> Simulator::Create(const SimOptions& options, std::string* error) {
  auto reader = CreateReader(options, error);
  if (!reader) return nullptr;
  const std::uint64_t faultSeed = options.seed ? *options.seed : std::random_device{}();
  return WithAirClock(WithFaults(std::move(reader), options.faults, faultSeed));
}

}  // namespace pelkin
