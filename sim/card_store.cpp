#include "card_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "access.h"

namespace pelkin {

namespace {

using nlohmann::json;

constexpr const char* kFormat = "pelkin-sim-card";
constexpr int kVersion = 1;

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
  }
  return out;
}

bool Unhex(const std::string& text, std::size_t expected, std::uint8_t* out) {
  if (text.size() != 2 * expected) return false;
  for (std::size_t i = 0; i < expected; ++i) {
    unsigned value = 0;
    for (int j = 0; j < 2; ++j) {
      const char c = text[2 * i + static_cast<std::size_t>(j)];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    out[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

std::string Address(std::uint16_t address) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(address >> 8),
                                 static_cast<std::uint8_t>(address)};
  return Hex(bytes, 2);
}

bool ParseAddress(const std::string& text, std::uint16_t* address) {
  std::uint8_t bytes[2];
  if (!Unhex(text, 2, bytes)) return false;
  *address = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  return true;
}

json ToJson(const StoredState& state) {
  const CardImage& card = state.card;
  json blocks = json::array();
  for (const Block& block : card.blocks) blocks.push_back(Hex(block.data(), 16));
  json keys = json::object();
  for (const auto& [address, key] : card.keys) keys[Address(address)] = Hex(key.data(), 16);
  json perso = json::array();
  for (std::uint16_t address : card.persoWritten) perso.push_back(Address(address));
  return json{{"format", kFormat},
              {"version", kVersion},
              {"variant", VariantName(card.variant)},
              {"uid", Hex(card.uid.data(), card.uid.size())},
              {"level", card.level},
              {"blocks", blocks},
              {"keys", keys},
              {"persoWritten", perso},
              {"eeprom", Hex(state.eeprom.data(), state.eeprom.size())}};
}

// Throws std::runtime_error naming the first thing that is wrong.
StoredState FromJson(const json& doc) {
  auto fail = [](const std::string& what) { throw std::runtime_error(what); };
  if (!doc.is_object() || doc.value("format", "") != kFormat) fail("not a card state file");
  if (doc.value("version", 0) != kVersion) fail("unsupported card state version");
  StoredState state;
  CardImage& card = state.card;
  if (!ParseVariant(doc.at("variant").get<std::string>(), &card.variant)) fail("bad variant");
  const std::string uid = doc.at("uid").get<std::string>();
  card.uid.resize(card.variant.uid7 ? 7 : 4);
  if (!Unhex(uid, card.uid.size(), card.uid.data())) fail("bad uid");
  card.level = doc.at("level").get<int>();
  if (card.level < 0 || card.level > 3) fail("bad level");
  const json& blocks = doc.at("blocks");
  if (!blocks.is_array() ||
      blocks.size() != static_cast<std::size_t>(BlockCount(card.variant.fourK))) {
    fail("wrong number of blocks");
  }
  for (const json& block : blocks) {
    Block b;
    if (!Unhex(block.get<std::string>(), 16, b.data())) fail("bad block");
    card.blocks.push_back(b);
  }
  for (const auto& [name, value] : doc.at("keys").items()) {
    std::uint16_t address = 0;
    Block key;
    if (!ParseAddress(name, &address) || !Unhex(value.get<std::string>(), 16, key.data())) {
      fail("bad key " + name);
    }
    card.keys[address] = key;
  }
  // Every key a factory card has must be there.
  Rng rng(0);
  for (const auto& [address, key] : CardImage::Fresh(card.variant, rng).keys) {
    if (card.keys.count(address) == 0) fail("key " + Address(address) + " missing");
  }
  for (const json& entry : doc.at("persoWritten")) {
    std::uint16_t address = 0;
    if (!ParseAddress(entry.get<std::string>(), &address)) fail("bad persoWritten entry");
    card.persoWritten.insert(address);
  }
  if (!Unhex(doc.at("eeprom").get<std::string>(), state.eeprom.size(), state.eeprom.data())) {
    fail("bad eeprom");
  }
  return state;
}

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

LoadResult LoadState(const std::string& path, StoredState* state, std::string* error) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return LoadResult::kMissing;
  // Checked before opening: opening a FIFO to read would wait for a writer.
  if (status.type() != std::filesystem::file_type::regular) {
    *error = "cannot open card state file " + path + " (" +
             (ec ? ec.message() : std::string("not a regular file")) + ")";
    return LoadResult::kError;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open card state file " + path + " (" +
             (ec ? ec.message() : std::string("not a readable file")) + ")";
    return LoadResult::kError;
  }
  std::stringstream text;
  text << in.rdbuf();
  try {
    *state = FromJson(json::parse(text.str()));
  } catch (const std::exception& e) {
    *error = "card state file " + path + " is unusable (" + e.what() + ")";
    return LoadResult::kError;
  }
  return LoadResult::kLoaded;
}

namespace {

// Follows symbolic links to the file they name (which need not exist yet).
std::string ResolveLinks(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path current(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(current, ec))) break;
    const fs::path target = fs::read_symlink(current, ec);
    if (ec) break;
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return current.string();
}

}  // namespace

bool SaveState(const std::string& path, const StoredState& state, std::string* error) {
  return ReplaceFileAtomically(path, ToJson(state).dump(1) + "\n", "card state file", error);
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text,
                           const std::string& what, std::string* error) {
  namespace fs = std::filesystem;
  // The card holds keys. Through a symbolic link the link's target is
  // replaced, keeping the link; an existing file keeps its mode, a new one is
  // 0600; nothing but a regular file we may write is ever replaced.
  const std::string real = ResolveLinks(path);
  const fs::path target(real);
  mode_t mode = S_IRUSR | S_IWUSR;
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *error = what + " " + path + " is not a regular file";
      return false;
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(real.c_str(), W_OK) != 0) {
      *error = what + " " + path + " is not writable";
      return false;
    }
    mode = st.st_mode & 07777;
  }
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  std::string temporary = real + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = Errno("cannot create", real + ".tmp");
    return false;
  }
  if (::fchmod(fd, mode) != 0) {
    *error = Errno("cannot set the mode of", temporary);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = Errno("cannot write", temporary);
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = Errno("cannot flush", temporary);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), real.c_str()) != 0) {
    *error = Errno("cannot replace", path);
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable.
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::unique_ptr<StateLock> StateLock::Take(const std::string& path, std::string* error) {
  // One lock file beside the card's own file, found through any link to it:
  // the card file itself is replaced on every save, so it cannot carry a lock.
  const std::string real = ResolveLinks(path);
  const std::string lockPath = real + ".lock";
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(real).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = Errno("cannot lock the card state file: cannot open", lockPath);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    char owner[32] = "";
    const ssize_t n = ::pread(fd, owner, sizeof owner - 1, 0);
    ::close(fd);
    if (why != EWOULDBLOCK) {
      errno = why;
      *error = Errno("cannot lock", lockPath);
      return nullptr;
    }
    std::string text(owner, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    *error = "card state file " + path + " is in use by another simulator" +
             (text.empty() ? std::string() : " (process " + text + ")");
    return nullptr;
  }
  // Who holds it, for the message the next one gets.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return std::unique_ptr<StateLock>(new StateLock(fd));
}

StateLock::~StateLock() {
  ::close(fd_);
}

std::string DefaultStatePath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : ".") + "/.local/share";
  }
  return base + "/pelkin/card.json";
}

nlohmann::json StateToJson(const StoredState& state) {
  return ToJson(state);
}

StoredState StateFromJson(const nlohmann::json& doc) {
  return FromJson(doc);
}

}  // namespace pelkin
