#include "diversify.h"

#include <cstdio>

#include "mfplus/crypto.h"

namespace cardtools {

namespace {

// The AES key addresses a key file holds: sectors' keys A and B, card keys.
std::set<std::uint16_t> AesAddresses(const KeyFile& keys) {
  std::set<std::uint16_t> out;
  for (const auto& [sector, set] : keys.sectors) {
    if (set.aesA) out.insert(SectorKeyAddress(sector, false));
    if (set.aesB) out.insert(SectorKeyAddress(sector, true));
  }
  for (const auto& [address, key] : keys.cardKeys) out.insert(address);
  return out;
}

std::string AddressText(std::uint16_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", address);
  return text;
}

}  // namespace

std::optional<AesKey> DiversifyAes128(const AesKey& master, const Bytes& input) {
  if (input.empty() || input.size() > 31) return std::nullopt;
  std::uint8_t message[32] = {0x01};
  std::copy(input.begin(), input.end(), message + 1);
  const std::size_t length = input.size() + 1;
  std::uint8_t k1[16], k2[16];
  ostrel::crypto::CmacGenerateSubkeys(k1, k2, master.data());
  const std::uint8_t* subkey = k1;
  if (length < 32) {
    message[length] = 0x80;  // the rest is already zero
    subkey = k2;
  }
  for (int i = 0; i < 16; ++i) message[16 + i] ^= subkey[i];
  const ostrel::crypto::AesEncryptor aes(master.data());
  std::uint8_t chain[16];
  aes.EncryptBlock(message, chain);
  for (int i = 0; i < 16; ++i) chain[i] ^= message[16 + i];
  AesKey key;
  aes.EncryptBlock(chain, key.data());
  std::fill(std::begin(k1), std::end(k1), 0);
  std::fill(std::begin(k2), std::end(k2), 0);
  return key;
}

Bytes DiversificationInput(const Bytes& uid, std::uint16_t address, const Bytes& systemIdentifier) {
  Bytes m = uid;
  m.push_back(static_cast<std::uint8_t>(address & 0xFF));
  m.push_back(static_cast<std::uint8_t>(address >> 8));
  m.insert(m.end(), systemIdentifier.begin(), systemIdentifier.end());
  return m;
}

bool ParseDiversification(const KeyFile& keys, Diversification* out, std::string* error) {
  Diversification parsed;
  const Json& doc = keys.document;
  const std::set<std::uint16_t> present = AesAddresses(keys);
  if (doc.contains("SystemIdentifier")) {
    const Json& value = doc["SystemIdentifier"];
    std::optional<Bytes> bytes;
    if (value.is_string()) bytes = ParseHex(value.get<std::string>());
    if (!bytes || bytes->size() > kMaxSystemIdentifier) {
      *error = "\"SystemIdentifier\": expected hex digits, at most 21 bytes";
      return false;
    }
    parsed.systemIdentifier = *bytes;
  }
  if (doc.contains("Diversify")) {
    const Json& value = doc["Diversify"];
    if (value.is_boolean()) {
      if (value.get<bool>()) parsed.addresses = present;
    } else if (value.is_array()) {
      for (const Json& item : value) {
        std::optional<unsigned long> address;
        if (item.is_string()) address = ParseNumber("0x" + item.get<std::string>(), 0xFFFF);
        if (!address || present.count(static_cast<std::uint16_t>(*address)) == 0) {
          *error =
              "\"Diversify\": " + item.dump() + " is not the address of an AES key in the file";
          return false;
        }
        parsed.addresses.insert(static_cast<std::uint16_t>(*address));
      }
    } else {
      *error =
          "\"Diversify\": expected true, false or a list of key addresses (\"4000\", \"9003\")";
      return false;
    }
  }
  if (doc.contains("SectorKeys") && doc["SectorKeys"].is_object()) {
    for (const auto& [name, entry] : doc["SectorKeys"].items()) {
      if (!entry.is_object() || !entry.contains("Diversify")) continue;
      const Json& value = entry["Diversify"];
      if (!value.is_boolean()) {
        *error = "sector " + name + " \"Diversify\": expected true or false";
        return false;
      }
      if (!value.get<bool>()) continue;
      const auto sector = ParseNumber(name, 39);
      const auto found = sector ? keys.sectors.find(static_cast<int>(*sector)) : keys.sectors.end();
      if (found == keys.sectors.end() || (!found->second.aesA && !found->second.aesB)) {
        *error = "sector " + name + " \"Diversify\": the sector has no AES key to diversify";
        return false;
      }
      if (found->second.aesA) parsed.addresses.insert(SectorKeyAddress(found->first, false));
      if (found->second.aesB) parsed.addresses.insert(SectorKeyAddress(found->first, true));
    }
  }
  *out = std::move(parsed);
  return true;
}

bool KeysForCard(const KeyFile& keys, const Bytes& uid, KeyFile* out, std::string* error) {
  Diversification diversification;
  if (!ParseDiversification(keys, &diversification, error)) return false;
  KeyFile card = keys;
  if (!diversification.empty() && uid.size() != 4 && uid.size() != 7) {
    *error = "keys are diversified by a 4- or 7-byte UID; this card's UID has " +
             std::to_string(uid.size()) + " bytes";
    return false;
  }
  for (const std::uint16_t address : diversification.addresses) {
    AesKey* key = nullptr;
    if (address >= 0x9000) {
      key = &card.cardKeys.at(address);
    } else {
      SectorKeys& set = card.sectors.at((address - 0x4000) / 2);
      key = (address & 1) ? &*set.aesB : &*set.aesA;
    }
    const auto derived =
        DiversifyAes128(*key, DiversificationInput(uid, address, diversification.systemIdentifier));
    if (!derived) {
      *error = "key " + AddressText(address) + ": the diversification input is too long";
      return false;
    }
    *key = *derived;
  }
  *out = std::move(card);
  return true;
}

}  // namespace cardtools
