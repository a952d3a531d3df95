// Whole-card work through the public library interface: activation and what the
// card's answers imply, reading every sector into a dump, planning and writing a
// restore, and single-block commands. Reads use the fewest exchanges the protocol
// allows: one authentication per sector and the largest reads card and library accept.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "files.h"

namespace cardtools {

// How a card operation ended, as the command line reports it.
enum class Outcome {
  kOk = 0,
  kBadInput = 2,    // arguments, files or a plan that is refused before any write
  kNoCard = 3,      // no card answered the activation
  kKeyRefused = 4,  // a key or the access bits refused the operation
  kIoError = 5,     // the reader link or a file failed, or the card failed a command
};

// The message when a re-activation finds another UID.
inline constexpr char kOtherCard[] = "another card is in the field";

struct Result {
  Outcome outcome = Outcome::kOk;
  std::uint8_t status = 0;  // the library's status code behind it, when there is one
  std::string message;
  bool ok() const { return outcome == Outcome::kOk; }
};

struct CardInfo {
  CardIdentity id;
  int level = -1;  // 0 to 3; -1 unknown
  CardSize size = CardSize::k2K;
  bool sizeKnown = false;
  bool sCard = false;
  bool layer4 = false;
};

// Opens the reader named like HOLLINK_READER ("" for the library's default).
Result OpenReader(const std::string& reader);
void CloseReader();

// Releases any card and activates the one in the field (wake-up request); at
// Levels 0 and 3 also RATS and PPS. With `identify`, tells Level 0 from Level 3 by a
// Reset Authenticate and a 2K from a 4K Level 3 card by the first step of an
// authentication with sector 32's key; neither changes the card.
Result ActivateCard(CardInfo* info, bool identify = true);
// Level, kind, size and UID size in words.
std::string DescribeCard(const CardInfo& info);

using Progress = std::function<void(int done, int total)>;

struct DumpOutcome {
  Dump dump;
  int sectorsRead = 0, sectorsPartial = 0, sectorsRefused = 0, sectorsMissing = 0;
  bool cancelled = false;  // the caller stopped the walk
  Result result;           // kIoError when the walk had to stop
};
// Called after each sector with the dump so far; false stops the walk there.
using SectorDone = std::function<bool(int sector, int total, const Dump& soFar)>;
// Reads every sector that the keys open at the card's current level (CRYPTO1 keys
// at Levels 1 and 2, AES keys at Levels 2 and 3). Sectors whose keys are missing or
// refused are recorded as such; the rest are still read.
// The dump records only keys that authenticated. With `proveEveryKey` each key of
// the key file is tried once even when the first one read the whole sector (a
// restore must know which keys the card takes); otherwise only where a trailer
// hides key B and key A read it all.
DumpOutcome DumpCard(const CardInfo& info, const KeyFile& keys, const SectorDone& done = {},
                     bool proveEveryKey = false);

struct BlockChange {
  int block = 0;
  Block from{}, to{};
  bool keyB = false;  // the key the card's access conditions let write it
};
// Level 3: a sector's AES key that the dump holds differently from the key file.
struct KeyChange {
  int sector = 0;
  bool keyB = false;
  AesKey from{}, to{};
};
struct RestorePlan {
  std::vector<BlockChange> changes;    // in block order, trailers last within their sector
  std::vector<KeyChange> keyChanges;   // written after every block, each under itself
  std::vector<std::string> refusals;   // any refusal: nothing is written
  std::vector<std::string> notes;      // differences that are left alone, and why
  std::vector<std::string> permanent;  // what --force lets become permanent
};
struct PlanOptions {
  bool withTrailers = false;
  bool force = false;  // allow trailers that can never be changed again
};
// Compares a dump with what the card holds now. Block 0 is never written; trailers
// (and at Level 3 the sectors' AES keys) only with `withTrailers`, and only with
// consistent access bits, both keys known and, without `force`, access bits that
// can be written again. Every block must be writable under the card's current
// access conditions by a key that `keys` holds and the card has not refused (with
// no key file: a key that opened the sector in `current`).
RestorePlan PlanRestore(const Dump& wanted, const Dump& current, const KeyFile* keys,
                        const PlanOptions& options);
inline RestorePlan PlanRestore(const Dump& wanted, const Dump& current, bool withTrailers) {
  return PlanRestore(wanted, current, nullptr, {withTrailers, false});
}

// What a restore did, block by block. A block whose write answer was lost is read
// back to learn whether the card stored it; only when that fails too it is uncertain.
struct RestoreReport {
  std::vector<int> written, notAttempted, uncertain;
  std::vector<std::pair<int, std::string>> failed;  // block and what went wrong
  std::vector<KeyChange> keysChanged;               // AES keys now on the card (proved)
  Result result;
  bool partly() const { return !written.empty() || !keysChanged.empty(); }
};
// Called after each AES key change that authenticated: false (with a message) stops
// the restore; the caller keeps the key file in step with the card.
using KeySaved = std::function<bool(const KeyChange& change, std::string* error)>;
// Writes the plan's changes (an empty refusal list is the caller's duty). A card
// that answers with another UID at any re-activation stops the run.
RestoreReport ApplyRestore(const CardInfo& info, const KeyFile& keys, const RestorePlan& plan,
                           const Progress& progress = {}, const KeySaved& keySaved = {});

// Single-block access for scripts. `key` is 6 bytes (CRYPTO1, Levels 1 and 2) or 16
// (AES, Level 3); Level 2 needs `aesKey` as well.
struct BlockKey {
  Bytes key;
  Bytes aesKey;
  bool keyB = false;
};
Result ReadBlock(const CardInfo& info, int block, const BlockKey& key, Block* data);
// A trailer that no key could change again is refused unless `force`.
Result WriteBlock(const CardInfo& info, int block, const BlockKey& key, const Block& data,
                  bool force = false);
enum class ValueOp { kGet, kSet, kIncrement, kDecrement };
Result ValueBlock(const CardInfo& info, int block, const BlockKey& key, ValueOp op,
                  std::int32_t operand, std::int32_t* value);

// Level 0: writes the sectors' AES keys, trailers (CRYPTO1 keys and access bits)
// and the four card keys from the key file; with `commit` moves the card to Level 1.
// Refused without writing anything when the card is not at Level 0 or, for a commit,
// when a card key is missing.
// Access conditions that no key could change again are refused unless `force`.
Result Personalize(const CardInfo& info, const KeyFile& keys, bool commit,
                   const Progress& progress = {}, bool force = false);
// First Authenticate with the Level 2 (0x9002) or Level 3 (0x9003) switch key.
Result SwitchLevel(const CardInfo& info, int level, const AesKey& key);

}  // namespace cardtools
