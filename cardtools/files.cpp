#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace cardtools {

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& data, std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  auto fail = [&](const char* what) {
    *error = std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(temp.c_str());
    }
    return false;
  };
  if (fd < 0) return fail("create a temporary file for");
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write");
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) return fail("write");
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

namespace {

// Reads an optional hex field of exactly `size` bytes; false with a message when
// it is there but malformed.
bool HexField(const Json& object, const char* name, std::size_t size, std::optional<Bytes>* out,
              const std::string& where, std::string* error) {
  out->reset();
  if (!object.contains(name)) return true;
  const Json& value = object[name];
  std::optional<Bytes> bytes;
  if (value.is_string()) bytes = ParseHexSized(value.get<std::string>(), size);
  if (!bytes) {
    *error = where + " \"" + name + "\": expected " + std::to_string(2 * size) + " hex digits";
    return false;
  }
  *out = bytes;
  return true;
}

template <std::size_t N>
std::array<std::uint8_t, N> ToArray(const Bytes& bytes) {
  std::array<std::uint8_t, N> out{};
  std::copy(bytes.begin(), bytes.begin() + N, out.begin());
  return out;
}

bool ParseDocument(const std::string& text, Json* document, std::string* error) {
  try {
    *document = Json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    *error = std::string("not valid JSON: ") + e.what();
    return false;
  }
  if (!document->is_object()) {
    *error = "not a JSON object";
    return false;
  }
  return true;
}

// A sector or block number given as an object key.
std::optional<int> Index(const std::string& key, int max) {
  auto value = ParseNumber(key, static_cast<unsigned long>(max));
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

bool ParseCard(const Json& document, std::optional<CardIdentity>* card, std::string* error) {
  card->reset();
  if (!document.contains("Card")) return true;
  const Json& c = document["Card"];
  if (!c.is_object()) {
    *error = "\"Card\" is not an object";
    return false;
  }
  CardIdentity identity;
  std::optional<Bytes> uid, atqa, sak, ats;
  if (!HexField(c, "ATQA", 2, &atqa, "Card", error) || !HexField(c, "SAK", 1, &sak, "Card", error))
    return false;
  if (c.contains("UID")) {
    if (c["UID"].is_string()) uid = ParseHex(c["UID"].get<std::string>());
    if (!uid || (uid->size() != 4 && uid->size() != 7 && uid->size() != 10)) {
      *error = "Card \"UID\": expected 8, 14 or 20 hex digits";
      return false;
    }
    identity.uid = *uid;
  }
  if (c.contains("ATS")) {
    if (c["ATS"].is_string()) ats = ParseHex(c["ATS"].get<std::string>());
    if (!ats) {
      *error = "Card \"ATS\": expected hex digits";
      return false;
    }
    identity.ats = *ats;
  }
  if (atqa) identity.atqa = ToArray<2>(*atqa);
  if (sak) identity.sak = (*sak)[0];
  *card = identity;
  return true;
}

void WriteCard(const CardIdentity& card, Json* object) {
  Json& c = (*object)["Card"];
  if (!c.is_object()) c = Json::object();
  c["UID"] = ToHex(card.uid);
  c["ATQA"] = ToHex(card.atqa);
  c["SAK"] = ToHex(&card.sak, 1);
  if (!card.ats.empty()) {
    c["ATS"] = ToHex(card.ats);
  } else {
    c.erase("ATS");
  }
}

}  // namespace

bool ParseKeyFile(const std::string& text, KeyFile* keys, std::string* error) {
  KeyFile parsed;
  if (!ParseDocument(text, &parsed.document, error)) return false;
  const Json& doc = parsed.document;
  if (!doc.contains("FileType") || doc["FileType"] != "mfpkeys") {
    *error = "not a key file (\"FileType\" must be \"mfpkeys\")";
    return false;
  }
  if (!ParseCard(doc, &parsed.card, error)) return false;
  if (doc.contains("SectorKeys")) {
    if (!doc["SectorKeys"].is_object()) {
      *error = "\"SectorKeys\" is not an object";
      return false;
    }
    for (const auto& [name, entry] : doc["SectorKeys"].items()) {
      const auto sector = Index(name, 39);
      const std::string where = "sector " + name;
      if (!sector || !entry.is_object()) {
        *error = "\"SectorKeys\": " + where + " is not a sector number (0 to 39) with an object";
        return false;
      }
      SectorKeys set;
      for (const bool keyB : {false, true}) {
        const char* name16 = keyB ? "KeyB" : "KeyA";
        const char* name6 = keyB ? "Crypto1KeyB" : "Crypto1KeyA";
        std::optional<Bytes> aes, crypto1;
        if (entry.contains(name16)) {
          const Json& value = entry[name16];
          std::optional<Bytes> bytes;
          if (value.is_string()) bytes = ParseHex(value.get<std::string>());
          if (!bytes || (bytes->size() != 16 && bytes->size() != 6)) {
            *error = where + " \"" + name16 +
                     "\": expected 32 hex digits (AES) or 12 hex digits (CRYPTO1)";
            return false;
          }
          (bytes->size() == 16 ? aes : crypto1) = bytes;
        }
        std::optional<Bytes> explicit6;
        if (!HexField(entry, name6, 6, &explicit6, where, error)) return false;
        if (explicit6) crypto1 = explicit6;
        if (aes) (keyB ? set.aesB : set.aesA) = ToArray<16>(*aes);
        if (crypto1) (keyB ? set.crypto1B : set.crypto1A) = ToArray<6>(*crypto1);
      }
      std::optional<Bytes> access;
      if (!HexField(entry, "AccessConditions", 4, &access, where, error)) return false;
      if (access) {
        if (!AccessBitsConsistent(access->data())) {
          *error = where + " \"AccessConditions\": the access bits do not match their complements";
          return false;
        }
        set.access = ToArray<4>(*access);
      }
      parsed.sectors[*sector] = set;
    }
  }
  if (doc.contains("CardKeys")) {
    if (!doc["CardKeys"].is_object()) {
      *error = "\"CardKeys\" is not an object";
      return false;
    }
    for (const auto& [name, value] : doc["CardKeys"].items()) {
      const auto address = ParseNumber("0x" + name, 0xFFFF);
      if (!address || *address < 0x9000 || *address > 0x9003) {
        *error = "\"CardKeys\": \"" + name + "\" is not a card key address (9000 to 9003)";
        return false;
      }
      std::optional<Bytes> key;
      if (value.is_string()) key = ParseHexSized(value.get<std::string>(), 16);
      if (!key) {
        *error = "\"CardKeys\" \"" + name + "\": expected 32 hex digits";
        return false;
      }
      parsed.cardKeys[static_cast<std::uint16_t>(*address)] = ToArray<16>(*key);
    }
  }
  *keys = std::move(parsed);
  return true;
}

std::string SerializeKeyFile(const KeyFile& keys) {
  Json doc = keys.document.is_object() ? keys.document : Json::object();
  if (!doc.contains("Created")) doc["Created"] = "ostrel";
  doc["FileType"] = "mfpkeys";
  if (keys.card) WriteCard(*keys.card, &doc);
  Json& sectors = doc["SectorKeys"];
  if (!sectors.is_object()) sectors = Json::object();
  for (const auto& [sector, set] : keys.sectors) {
    Json& entry = sectors[std::to_string(sector)];
    if (!entry.is_object()) entry = Json::object();
    // AES keys take the plain names; CRYPTO1 keys take them only when alone.
    for (const bool keyB : {false, true}) {
      const auto& aes = keyB ? set.aesB : set.aesA;
      const auto& crypto1 = keyB ? set.crypto1B : set.crypto1A;
      const char* name16 = keyB ? "KeyB" : "KeyA";
      const char* name6 = keyB ? "Crypto1KeyB" : "Crypto1KeyA";
      if (aes) {
        entry[name16] = ToHex(*aes);
        if (crypto1) entry[name6] = ToHex(*crypto1);
      } else if (crypto1) {
        entry[name16] = ToHex(*crypto1);
        entry.erase(name6);
      }
    }
    if (set.access) entry["AccessConditions"] = ToHex(*set.access);
  }
  if (!keys.cardKeys.empty()) {
    Json& card = doc["CardKeys"];
    if (!card.is_object()) card = Json::object();
    for (const auto& [address, key] : keys.cardKeys) {
      char name[8];
      std::snprintf(name, sizeof name, "%04X", address);
      card[name] = ToHex(key);
    }
  }
  return doc.dump(2) + "\n";
}

bool ParseDump(const std::string& text, Dump* dump, std::string* error) {
  Dump parsed;
  if (!ParseDocument(text, &parsed.document, error)) return false;
  const Json& doc = parsed.document;
  if (!doc.contains("FileType") || !doc["FileType"].is_string() ||
      (doc["FileType"] != "mfp" && doc["FileType"] != "mfcard")) {
    *error = "not a card dump (\"FileType\" must be \"mfp\" or \"mfcard\")";
    return false;
  }
  std::optional<CardIdentity> card;
  if (!ParseCard(doc, &card, error)) return false;
  if (!card || card->uid.empty()) {
    *error = "the dump names no card (\"Card\" with \"UID\")";
    return false;
  }
  parsed.card = *card;
  const Json& c = doc["Card"];
  if (c.contains("SecurityLevel")) {
    if (!c["SecurityLevel"].is_number_integer() || c["SecurityLevel"] < 1 ||
        c["SecurityLevel"] > 3) {
      *error = "Card \"SecurityLevel\": expected 1, 2 or 3";
      return false;
    }
    parsed.level = c["SecurityLevel"].get<int>();
  } else {
    parsed.level = doc["FileType"] == "mfp" ? 3 : 1;
  }
  parsed.sCard = c.contains("Type") && c["Type"] == "S";
  if (!doc.contains("blocks") || !doc["blocks"].is_object() || doc["blocks"].empty()) {
    *error = "the dump holds no \"blocks\"";
    return false;
  }
  int highest = 0;
  for (const auto& [name, value] : doc["blocks"].items()) {
    const auto block = Index(name, 255);
    if (!block) {
      *error = "\"blocks\": \"" + name + "\" is not a block number (0 to 255)";
      return false;
    }
    std::optional<Bytes> bytes;
    if (value.is_string()) bytes = ParseHexSized(value.get<std::string>(), 16);
    if (!bytes) {
      *error = "block " + name + ": expected 32 hex digits";
      return false;
    }
    parsed.blocks[*block] = ToArray<16>(*bytes);
    highest = std::max(highest, *block);
  }
  if (c.contains("Size")) {
    const auto size =
        c["Size"].is_string() ? ParseSize(c["Size"].get<std::string>()) : std::nullopt;
    if (!size) {
      *error = "Card \"Size\": expected \"2K\" or \"4K\"";
      return false;
    }
    parsed.size = *size;
  } else {
    parsed.size = highest >= 128 ? CardSize::k4K : CardSize::k2K;
  }
  if (highest >= BlockCount(parsed.size)) {
    *error =
        "block " + std::to_string(highest) + " lies beyond a " + SizeName(parsed.size) + " card";
    return false;
  }
  if (doc.contains("SectorKeys")) {
    if (!doc["SectorKeys"].is_object()) {
      *error = "\"SectorKeys\" is not an object";
      return false;
    }
    for (const auto& [name, entry] : doc["SectorKeys"].items()) {
      const auto sector = Index(name, SectorCount(parsed.size) - 1);
      if (!sector || !entry.is_object()) {
        *error = "\"SectorKeys\": \"" + name + "\" is not a sector of this card with an object";
        return false;
      }
      SectorRecord record;
      const std::string where = "sector " + name;
      for (const char* field : {"KeyA", "KeyB"}) {
        if (!entry.contains(field)) continue;
        std::optional<Bytes> key;
        if (entry[field].is_string()) key = ParseHex(entry[field].get<std::string>());
        if (!key || (key->size() != 6 && key->size() != 16)) {
          *error = where + " \"" + field + "\": expected 12 or 32 hex digits";
          return false;
        }
        (field[3] == 'A' ? record.keyA : record.keyB) = ToHex(*key);
      }
      std::optional<Bytes> access;
      if (!HexField(entry, "AccessConditions", 4, &access, where, error)) return false;
      if (access) record.access = ToArray<4>(*access);
      if (entry.contains("Status") && entry["Status"].is_string())
        record.status = entry["Status"].get<std::string>();
      parsed.sectors[*sector] = record;
    }
  }
  *dump = std::move(parsed);
  return true;
}

std::string SerializeDump(const Dump& dump) {
  Json doc = dump.document.is_object() ? dump.document : Json::object();
  if (!doc.contains("Created")) doc["Created"] = "ostrel";
  doc["FileType"] = dump.level == 3 ? "mfp" : "mfcard";
  WriteCard(dump.card, &doc);
  Json& card = doc["Card"];
  card["SecurityLevel"] = dump.level;
  card["Size"] = SizeName(dump.size);
  card["Type"] = dump.sCard ? "S" : "X";
  Json blocks = Json::object();
  for (const auto& [block, data] : dump.blocks) blocks[std::to_string(block)] = ToHex(data);
  doc["blocks"] = blocks;
  Json sectors = Json::object();
  for (const auto& [sector, record] : dump.sectors) {
    Json entry = Json::object();
    if (!record.keyA.empty()) entry["KeyA"] = record.keyA;
    if (!record.keyB.empty()) entry["KeyB"] = record.keyB;
    if (record.access) entry["AccessConditions"] = ToHex(*record.access);
    entry["Status"] = record.status;
    sectors[std::to_string(sector)] = entry;
  }
  doc["SectorKeys"] = sectors;
  return doc.dump(2) + "\n";
}

std::string DumpImage(const Dump& dump) {
  std::string image(static_cast<std::size_t>(BlockCount(dump.size)) * 16, '\0');
  for (const auto& [block, data] : dump.blocks) {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(block) * 16);
  }
  return image;
}

}  // namespace cardtools
