// The card state file: the card image and the reader's EEPROM as JSON, replaced
// atomically (temporary file, fsync, rename) so a crash never leaves half a card.
#pragma once

#include <memory>
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
// Replaces the file (through a symbolic link, its target) with mode 0600 or the
// existing file's mode; refuses what is not a regular file we may write.
bool SaveState(const std::string& path, const StoredState& state, std::string* error);
// The same for any text that holds keys (`what` names the file in messages):
// temporary file, fsync, rename onto the link's target.
bool ReplaceFileAtomically(const std::string& path, const std::string& text,
                           const std::string& what, std::string* error);

// One card and the EEPROM as the state file holds them, and back (the latter
// throws std::runtime_error naming what is wrong).
nlohmann::json StateToJson(const StoredState& state);
StoredState StateFromJson(const nlohmann::json& doc);

// Keeps a state file to one process and one simulator at a time: a second
// simulator on the same file (by any path or link) stops with a message.
class StateLock {
 public:
  // nullptr with a message when another simulator holds the file.
  static std::unique_ptr<StateLock> Take(const std::string& path, std::string* error);
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  explicit StateLock(int fd) : fd_(fd) {}
  int fd_;
};

// $XDG_DATA_HOME/pelkin/card.json, else ~/.local/share/pelkin/card.json.
std::string DefaultStatePath();

}  // namespace pelkin
