// Per-card AES keys derived from one master key (NXP AN10922, AES-128), and the
// key file fields that ask for them: "Diversify" (true for every AES key, a list
// of key addresses, or true inside one sector) and "SystemIdentifier" (hex).
#pragma once

#include <optional>
#include <set>
#include <string>

#include "bytes.h"
#include "files.h"

namespace cardtools {

// The longest system identifier: 0x01, a 7-byte UID and the 2-byte address leave
// 21 bytes of the 31 that one padded diversification input can hold.
constexpr std::size_t kMaxSystemIdentifier = 21;

// CMAC of 0x01 || input under `master`. When 0x01 || input is shorter than 32 bytes
// it is padded to 32 (0x80, then zeros) and the last block takes the second
// subkey; at exactly 32 bytes it takes the first. nullopt for an empty input or
// one longer than 31 bytes.
std::optional<AesKey> DiversifyAes128(const AesKey& master, const Bytes& input);

// M for a MIFARE Plus key: UID || key address, low byte first || system identifier.
Bytes DiversificationInput(const Bytes& uid, std::uint16_t address, const Bytes& systemIdentifier);

struct Diversification {
  std::set<std::uint16_t> addresses;  // keys whose file entry holds the master key
  Bytes systemIdentifier;
  bool empty() const { return addresses.empty(); }
};

// Reads the diversification fields of a parsed key file; false with a message
// for a malformed field or one that names a key the file does not hold.
bool ParseDiversification(const KeyFile& keys, Diversification* out, std::string* error);

// `keys` with every diversified key replaced by the key of the card whose UID is
// `uid`. A file without diversification comes back unchanged.
bool KeysForCard(const KeyFile& keys, const Bytes& uid, KeyFile* out, std::string* error);

}  // namespace cardtools
