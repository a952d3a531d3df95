// The card state file: the card image and the reader's EEPROM as JSON, replaced
// atomically (temporary file, fsync, rename) so a crash never leaves half a card.
#pragma once

#include <nlohmann/json.hpp>
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

// One card and the EEPROM as the state file holds them, and back (the latter
// throws std::runtime_error naming what is wrong).
nlohmann::json StateToJson(const StoredState& state);
StoredState StateFromJson(const nlohmann::json& doc);

// $XDG_DATA_HOME/pelkin/card.json, else ~/.local/share/pelkin/card.json.
std::string DefaultStatePath();

}  // namespace pelkin
