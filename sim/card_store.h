// The card state file: the card image and the reader's EEPROM as JSON, replaced
// atomically (temporary file, fsync, rename) so a crash never leaves half a card.
#pragma once

#include <string>

#include "card.h"
#include "reader.h"

namespace pelkin {

struct StoredState {
  CardImage card;
  Eeprom eeprom{};
};

enum class LoadResult { kLoaded, kMissing, kError };

LoadResult LoadState(const std::string& path, StoredState* state, std::string* error);
bool SaveState(const std::string& path, const StoredState& state, std::string* error);

// $XDG_DATA_HOME/pelkin/card.json, else ~/.local/share/pelkin/card.json.
std::string DefaultStatePath();

}  // namespace pelkin
