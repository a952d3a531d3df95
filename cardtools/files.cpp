#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

namespace cardtools {

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  // Opened without blocking so that a FIFO or a device is refused, not waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  std::string content;
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    ok = false;
  } else if (st.st_size > static_cast<off_t>(kMaxInputFile)) {
    *error = path + " is larger than 1 MiB: not a card file";
    ok = false;
  }
  while (ok) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else if (content.size() + static_cast<std::size_t>(n) > kMaxInputFile) {
      *error = path + " is larger than 1 MiB: not a card file";  // it grew while read
      ok = false;
    } else {
      content.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (ok) *text = std::move(content);
  return ok;
}

namespace {

// Follows symbolic links to the file they name (a dangling link names the file
// to create); empty with a message after too many links.
std::string LinkTarget(const std::string& path, std::string* error) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) break;
    target.resize(static_cast<std::size_t>(n));
    const auto slash = current.rfind('/');
    if (target.empty() || target[0] != '/')
      target = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + target;
    current = target;
  }
  *error = "cannot write " + path + ": too many symbolic links";
  return {};
}

}  // namespace

bool WriteFileAtomically(const std::string& given, const std::string& data, std::string* error) {
  const std::string path = LinkTarget(given, error);
  if (path.empty()) return false;
  // The files written here hold keys: new ones are the owner's alone, an existing
  // one keeps the mode its owner gave it.
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *error = "refused to replace " + given + ": not a regular file";
      return false;
    }
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
      *error = "refused to replace " + given + ": the file is not writable";
      return false;
    }
    mode = st.st_mode & 07777;
  }
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  auto fail = [&](const char* what) {
    *error = std::string("cannot ") + what + " " + given + ": " + std::strerror(errno);
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
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) return fail("write");
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    *error = "cannot write " + given + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + given + ": " + std::strerror(errno);
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

// Finds an object that names the same member twice: the parser would keep one
// of them silently.
class DuplicateFinder : public nlohmann::json_sax<Json> {
 public:
  std::string duplicate;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    names_.emplace_back();
    return true;
  }
  bool key(string_t& name) override {
    if (!names_.back().insert(name).second) {
      duplicate = name;
      return false;
    }
    return true;
  }
  bool end_object() override {
    names_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override {
    names_.emplace_back();  // arrays name nothing; kept for the stack's balance
    return true;
  }
  bool end_array() override {
    names_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  std::vector<std::set<std::string>> names_;
};

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
  DuplicateFinder finder;
  Json::sax_parse(text, &finder);
  if (!finder.duplicate.empty()) {
    *error = "\"" + finder.duplicate + "\" is given twice in one object";
    return false;
  }
  return true;
}

// A sector or block number given as an object key: plain decimal, no sign, no
// leading zero, so that one number has one name.
std::optional<int> Index(const std::string& key, int max) {
  if (key.empty() || key.size() > 3 || (key.size() > 1 && key[0] == '0')) return std::nullopt;
  if (!std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int value = std::stoi(key);
  if (value > max) return std::nullopt;
  return value;
}

// A card key address as it is written: four hex digits.
std::optional<std::uint16_t> KeyAddress(const std::string& key) {
  if (key.size() != 4) return std::nullopt;
  const auto value = ParseNumber("0x" + key, 0xFFFF);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
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
      const auto address = KeyAddress(name);
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
  static const char* const kClassicTypes[] = {"mfcard", "mfc v2", "mfc v3"};
  const std::string fileType = doc.contains("FileType") && doc["FileType"].is_string()
                                   ? doc["FileType"].get<std::string>()
                                   : std::string();
  const bool levelThreeType = fileType == "mfp";
  if (!levelThreeType && std::find(std::begin(kClassicTypes), std::end(kClassicTypes), fileType) ==
                             std::end(kClassicTypes)) {
    *error = "not a card dump (\"FileType\" must be \"mfp\", \"mfcard\" or \"mfc v2\")";
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
    parsed.level = levelThreeType ? 3 : 1;
  }
  if (levelThreeType != (parsed.level == 3)) {
    *error = "\"FileType\" \"" + fileType + "\" disagrees with \"SecurityLevel\" " +
             std::to_string(parsed.level);
    return false;
  }
  if (c.contains("Type")) {
    if (c["Type"] != "S" && c["Type"] != "X") {
      *error = "Card \"Type\": expected \"S\" or \"X\"";
      return false;
    }
    parsed.typeKnown = true;
    parsed.sCard = c["Type"] == "S";
  }
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
        const std::size_t wanted = parsed.level == 3 ? 16 : 6;
        if (!key || key->size() != wanted) {
          *error = where + " \"" + field + "\": expected " + std::to_string(2 * wanted) +
                   " hex digits in a Level " + std::to_string(parsed.level) + " dump";
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
