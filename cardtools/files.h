// The files other tools read and write: whole-card dumps (JSON in the layout the
// common MIFARE tools exchange, and a plain binary image) and key files
// ("FileType": "mfpkeys"). Fields this program does not know are kept when a file
// is rewritten; every file is written through a temporary file and a rename.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bytes.h"

namespace cardtools {

using Json = nlohmann::ordered_json;

// The largest card file read: a dump of a 4K card with notes is a few tens of KiB.
constexpr std::size_t kMaxInputFile = 1 << 20;

// Reads a whole regular file of at most kMaxInputFile bytes; false with a message
// naming it for anything else (a device, a FIFO, a directory, a larger file).
bool ReadFile(const std::string& path, std::string* text, std::string* error);
// Writes `data` to a temporary file beside `path`, flushes it to disk and renames
// it over `path`: a crash leaves the old file or the new one, never half of one.
// A symbolic link is followed to its target. A new file gets mode 0600, an existing
// one keeps its mode; anything but a writable regular file is refused.
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string* error);

// Trailer bytes 6 to 9: access bits and the general purpose byte.
using AccessBytes = std::array<std::uint8_t, 4>;

struct SectorKeys {
  std::optional<AesKey> aesA, aesB;
  std::optional<Crypto1Key> crypto1A, crypto1B;
  std::optional<AccessBytes> access;  // what perso writes into the trailer
};

struct CardIdentity {
  Bytes uid;
  std::array<std::uint8_t, 2> atqa{};
  std::uint8_t sak = 0;
  Bytes ats;  // empty when the card has no layer 4 at its level
};

struct KeyFile {
  Json document = Json::object();  // as read; known fields are rewritten into it
  std::optional<CardIdentity> card;
  std::map<int, SectorKeys> sectors;
  std::map<std::uint16_t, AesKey> cardKeys;  // 0x9000 to 0x9003
};

// "SectorKeys": {"0": {"KeyA": 32 hex digits (AES) or 12 (CRYPTO1), "KeyB": ...,
// "Crypto1KeyA"/"Crypto1KeyB": 12 hex digits where a sector has both kinds,
// "AccessConditions": 8 hex digits}}, "CardKeys": {"9000": 32 hex digits, ...}.
bool ParseKeyFile(const std::string& text, KeyFile* keys, std::string* error);
std::string SerializeKeyFile(const KeyFile& keys);

struct SectorRecord {
  std::string keyA, keyB;  // hex of the keys that opened the sector ("" unknown)
  // Not kept in the file: the key was tried on this card and refused.
  bool refusedA = false, refusedB = false;
  std::optional<AccessBytes> access;
  std::string status = "read";  // "read", "key missing", "key refused", "not read"
};

struct Dump {
  Json document = Json::object();
  CardIdentity card;
  int level = 1;
  CardSize size = CardSize::k2K;
  bool sCard = false;
  bool typeKnown = false;  // the file says S or X
  std::map<int, Block> blocks;
  std::map<int, SectorRecord> sectors;
};

// Checks every field it uses: a file that is not a dump, a block number beyond the
// card, a block that is not 32 hex digits, parts that disagree (a Level 3 file type
// with Level 1, a CRYPTO1 key in a Level 3 dump), and so on, each give a message.
// "FileType" "mfp" (Level 3) or "mfcard", "mfc v2", "mfc v3" (Levels 1 and 2).
bool ParseDump(const std::string& text, Dump* dump, std::string* error);
std::string SerializeDump(const Dump& dump);
// 16 bytes per block, blocks that were not read as zeros.
std::string DumpImage(const Dump& dump);

}  // namespace cardtools
