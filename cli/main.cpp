// ostrel: whole-card tools for MIFARE Plus cards on the command line. Reads every
// sector into a dump file, writes a dump back, personalizes and switches levels,
// reads and writes single blocks, and explains a frame trace.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "batch.h"
#include "cardtools/card.h"
#include "cardtools/diversify.h"
#include "cardtools/files.h"
#include "cardtools/status.h"
#include "cardtools/trace.h"
#include "ostrel.h"

namespace {

using namespace cardtools;

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  success\n"
    "  2  bad input: arguments, a malformed file, a refused restore plan (nothing was sent)\n"
    "  3  no card in the field\n"
    "  4  a key or the access conditions refused the operation (also: a dump that could\n"
    "     not read every sector; the file is still written)\n"
    "  5  I/O error: the reader, the link, a card command or a file failed\n"
    "Reader: --reader takes what HOLLINK_READER takes (sim, sim:OPTIONS, tcp:HOST:PORT,\n"
    "serial:DEVICE, pcsc[:NAME]); without it the library's default is used.\n";

struct Options {
  std::string reader;
  bool json = false;
};

// Text with every byte that is not part of valid UTF-8 written as \xNN: file names
// and traces may hold any bytes, JSON holds text.
std::string ValidText(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k)
      valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (valid && length > 1) {
      // No overlong forms, no surrogates, nothing beyond U+10FFFF.
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      valid = !(c == 0xC0 || c == 0xC1 || (c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) ||
                (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90) || c > 0xF4);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
      ++i;
    }
  }
  return out;
}

Json ValidJson(const Json& value) {
  if (value.is_string()) return ValidText(value.get<std::string>());
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& item : value) out.push_back(ValidJson(item));
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [name, item] : value.items()) out[ValidText(name)] = ValidJson(item);
    return out;
  }
  return value;
}

// JSON on stdout, whatever bytes its strings came with.
void PrintJson(const Json& value) {
  std::cout << ValidJson(value).dump(2) << "\n";
}

// A progress bar left without its line end is ended before anything else is said.
bool progressOpen = false;
void EndProgress() {
  if (progressOpen) std::fputc('\n', stderr);
  progressOpen = false;
}

int Code(Outcome outcome) {
  return static_cast<int>(outcome);
}

// Reports a failure on stderr (and as JSON on stdout with --json); returns its exit code.
int Fail(const Options& options, const Result& result) {
  EndProgress();
  std::fprintf(stderr, "ostrel: %s\n", result.message.c_str());
  if (options.json) {
    Json out = {{"ok", false}, {"error", result.message}, {"exit", Code(result.outcome)}};
    if (result.status != 0) out["status"] = result.status;
    PrintJson(out);
  }
  return Code(result.outcome);
}

int BadInput(const Options& options, const std::string& message) {
  return Fail(options, {Outcome::kBadInput, 0, message});
}

// A bar on stderr, only when stderr is a terminal.
Progress MakeProgress(const char* what) {
  if (!::isatty(STDERR_FILENO)) return {};
  return [what](int done, int total) {
    const int width = 30, filled = total > 0 ? done * width / total : width;
    std::fprintf(stderr, "\r%s [%s%s] %d/%d", what,
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(width - filled), '.').c_str(), done, total);
    progressOpen = done < total;
    if (done >= total) std::fputc('\n', stderr);
    std::fflush(stderr);
  };
}

SectorDone SectorBar(const char* what) {
  Progress bar = MakeProgress(what);
  if (!bar) return {};
  return [bar](int sector, int total, const Dump&) {
    bar(sector + 1, total);
    return true;
  };
}

bool LoadKeys(const std::string& path, KeyFile* keys, std::string* error) {
  std::string text;
  if (!ReadFile(path, &text, error)) return false;
  Diversification diversification;
  if (!ParseKeyFile(text, keys, error) || !ParseDiversification(*keys, &diversification, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

// Opens the reader and activates the card; on failure the exit code is in *code.
// With `keys`, diversified keys become the keys of the card in the field.
bool Connect(const Options& options, CardInfo* info, int* code, KeyFile* keys = nullptr) {
  Result result = OpenReader(options.reader);
  if (result.ok()) result = ActivateCard(info);
  if (result.ok() && keys != nullptr && !KeysForCard(*keys, info->id.uid, keys, &result.message))
    result.outcome = Outcome::kBadInput;
  if (!result.ok()) {
    *code = Fail(options, result);
    return false;
  }
  return true;
}

Json CardJson(const CardInfo& info) {
  Json card = {
      {"UID", ToHex(info.id.uid)}, {"ATQA", ToHex(info.id.atqa)}, {"SAK", ToHex(&info.id.sak, 1)}};
  if (!info.id.ats.empty()) card["ATS"] = ToHex(info.id.ats);
  card["SecurityLevel"] = info.level;
  if (info.layer4) card["Type"] = info.sCard ? "S" : "X";
  if (info.sizeKnown) card["Size"] = SizeName(info.size);
  card["UIDSize"] = info.id.uid.size();
  return card;
}

// Which path each kind of card command takes, from the reader's own description
// (a PC/SC reader names its paths there: "raw:KIND value:KIND").
std::string ReaderPathsText(const std::string& info) {
  if (info.find("raw:") == std::string::npos) return {};
  const bool session = info.find("raw:part3") != std::string::npos;
  const bool chip = info.find("raw:pn532") != std::string::npos;
  std::string text = session ? "raw frames through the transparent session"
                     : chip  ? "raw frames through the PN532 pass-through"
                             : "no raw frames: personalization over T=CL, no switch from Level 1, "
                               "no Level 2";
  text += info.find("value:apdu") != std::string::npos    ? "; Level 1 values through FF D7"
          : info.find("value:pn532") != std::string::npos ? "; Level 1 values through the chip"
                                                          : "; no Level 1 value commands";
  return text;
}

int Info(const Options& options) {
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code)) return code;
  if (options.json) {
    PrintJson(CardJson(info));
    return 0;
  }
  std::printf("UID     %s (%zu bytes)\n", ToHex(info.id.uid, " ").c_str(), info.id.uid.size());
  std::printf("ATQ     %s\n", ToHex(info.id.atqa, " ").c_str());
  std::printf("SAK     %02X\n", info.id.sak);
  std::printf("ATS     %s\n",
              info.id.ats.empty() ? "(none at this level)" : ToHex(info.id.ats, " ").c_str());
  std::printf("Card    %s\n", DescribeCard(info).c_str());
  unsigned char reader[61] = {};
  if (ReaderGetInfo(reader) == 0) {
    const std::string text(reinterpret_cast<const char*>(reader));
    std::printf("Reader  %s\n", text.c_str());
    const std::string paths = ReaderPathsText(text);
    if (!paths.empty()) std::printf("Paths   %s\n", paths.c_str());
  }
  return 0;
}

int DumpCommand(const Options& options, const std::string& keysPath, const std::string& output,
                const std::string& binary) {
  KeyFile keys;
  std::string error;
  if (!LoadKeys(keysPath, &keys, &error)) return BadInput(options, error);
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code, &keys)) return code;
  DumpOutcome outcome = DumpCard(info, keys, SectorBar("reading"));
  if (outcome.result.outcome == Outcome::kIoError || outcome.result.outcome == Outcome::kBadInput)
    return Fail(options, outcome.result);
  const std::string text = SerializeDump(outcome.dump);
  const bool complete =
      outcome.sectorsPartial + outcome.sectorsRefused + outcome.sectorsMissing == 0;
  if (!output.empty() && !WriteFileAtomically(output, text, &error))
    return Fail(options, {Outcome::kIoError, 0, error});
  // An image has no place for "not read": its zeros would go onto a card as
  // trailers that lock their sectors. Only a complete dump gets one.
  std::string imageNote;
  if (!binary.empty() && complete && !WriteFileAtomically(binary, DumpImage(outcome.dump), &error))
    return Fail(options, {Outcome::kIoError, 0, error});
  if (!binary.empty() && !complete) {
    imageNote = "no binary image written to " + binary +
                ": the dump is not complete, and an image cannot say which blocks were not read";
    std::fprintf(stderr, "ostrel: %s\n", imageNote.c_str());
  }
  if (options.json) {
    Json out = output.empty() ? Json::parse(text) : Json({{"ok", true}, {"file", output}});
    out["complete"] = complete;
    out["sectorsRead"] = outcome.sectorsRead;
    out["sectorsPartial"] = outcome.sectorsPartial;
    out["sectorsRefused"] = outcome.sectorsRefused;
    out["sectorsWithoutKeys"] = outcome.sectorsMissing;
    if (!imageNote.empty()) out["binary"] = imageNote;
    PrintJson(out);
  } else {
    std::printf("%s, UID %s\n", DescribeCard(info).c_str(), ToHex(info.id.uid, " ").c_str());
    std::printf("Sector  Blocks    Status        Access\n");
    for (const auto& [sector, record] : outcome.dump.sectors) {
      const int first = FirstBlockOfSector(sector);
      std::printf("0x%02X    %3d-%-3d   %-12s  %s\n", sector, first,
                  first + BlocksInSector(sector) - 1, record.status.c_str(),
                  record.access ? ToHex(*record.access).c_str() : "-");
    }
    if (output.empty()) {
      std::printf("\nBlock  Data\n");
      for (const auto& [block, data] : outcome.dump.blocks) {
        std::printf("0x%02X   %s", block, BlockDataText(data.data()).c_str());
      }
    }
  }
  std::fprintf(stderr, "%d sectors read, %d partly, %d refused, %d without keys\n",
               outcome.sectorsRead, outcome.sectorsPartial, outcome.sectorsRefused,
               outcome.sectorsMissing);
  return Code(outcome.result.outcome);
}

struct RestoreArgs {
  std::string dumpPath, keysPath;
  bool dryRun = false, withTrailers = false, otherCard = false, force = false;
};

Json RestoreJson(const RestoreReport& report) {
  Json failed = Json::array();
  for (const auto& [block, status] : report.failed)
    failed.push_back({{"block", block}, {"status", status}});
  Json keys = Json::array();
  for (const KeyChange& change : report.keysChanged)
    keys.push_back({{"sector", change.sector}, {"key", change.keyB ? "B" : "A"}});
  return {{"written", report.written},
          {"failed", failed},
          {"not_attempted", report.notAttempted},
          {"uncertain", report.uncertain},
          {"keys_changed", keys}};
}

std::string BlockList(const std::vector<int>& blocks) {
  std::string text;
  for (int block : blocks) text += (text.empty() ? "" : " ") + std::to_string(block);
  return text.empty() ? "-" : text;
}

int RestoreCommand(const Options& options, const RestoreArgs& args) {
  std::string text, error;
  Dump wanted;
  if (!ReadFile(args.dumpPath, &text, &error)) return BadInput(options, error);
  if (!ParseDump(text, &wanted, &error)) return BadInput(options, args.dumpPath + ": " + error);
  KeyFile keys;
  if (!LoadKeys(args.keysPath, &keys, &error)) return BadInput(options, error);
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code, &keys)) return code;
  if (info.level < 1)
    return BadInput(options, "a Level 0 card cannot take a dump; personalize it first");
  if (wanted.card.uid != info.id.uid && !args.otherCard) {
    return Fail(options, {Outcome::kIoError, 0,
                          std::string(kOtherCard) + ": the dump is of card " +
                              ToHex(wanted.card.uid) + ", this card is " + ToHex(info.id.uid) +
                              " (--other-card writes it to this one)"});
  }
  DumpOutcome current = DumpCard(info, keys, SectorBar("comparing"), true);
  if (current.result.outcome == Outcome::kIoError) return Fail(options, current.result);
  current.dump.typeKnown = info.layer4;
  const RestorePlan plan =
      PlanRestore(wanted, current.dump, &keys, {args.withTrailers, args.force});
  Json changes = Json::array();
  for (const BlockChange& change : plan.changes) {
    changes.push_back(
        {{"block", change.block}, {"from", ToHex(change.from)}, {"to", ToHex(change.to)}});
  }
  if (!options.json) {
    for (const std::string& note : plan.notes) std::printf("note: %s\n", note.c_str());
    std::printf("%zu blocks differ%s\n", plan.changes.size(), plan.changes.empty() ? "" : ":");
    for (const KeyChange& change : plan.keyChanges) {
      std::printf("AES key %c of sector 0x%02X (0x%04X) changes\n", change.keyB ? 'B' : 'A',
                  change.sector, SectorKeyAddress(change.sector, change.keyB));
    }
    for (const BlockChange& change : plan.changes) {
      std::printf("0x%02X   card %s       dump %s", change.block,
                  BlockDataText(change.from.data()).substr(0, 53).c_str(),
                  BlockDataText(change.to.data()).c_str());
    }
  }
  if (!plan.refusals.empty()) {
    for (std::size_t i = 1; i < plan.refusals.size(); ++i)
      std::fprintf(stderr, "ostrel: refused: %s\n", plan.refusals[i].c_str());
    // A sector the keys do not open means other keys, not a malformed request.
    const bool otherKeys = current.sectorsRefused + current.sectorsPartial > 0 &&
                           plan.refusals.front().find("keys do not open") != std::string::npos;
    const Result refused{otherKeys ? Outcome::kKeyRefused : Outcome::kBadInput, 0,
                         "refused, nothing written: " + plan.refusals.front()};
    std::fprintf(stderr, "ostrel: %s\n", refused.message.c_str());
    if (options.json) {
      // The lists as after any restore: every planned block not attempted.
      RestoreReport nothing;
      for (const BlockChange& change : plan.changes) nothing.notAttempted.push_back(change.block);
      Json out = {{"ok", false},
                  {"error", refused.message},
                  {"exit", Code(refused.outcome)},
                  {"refusals", plan.refusals}};
      out.update(RestoreJson(nothing));
      PrintJson(out);
    }
    return Code(refused.outcome);
  }
  for (const std::string& effect : plan.permanent)
    std::fprintf(stderr, "ostrel: --force: permanent from now on: %s\n", effect.c_str());
  RestoreReport report;
  if (!args.dryRun && (!plan.changes.empty() || !plan.keyChanges.empty())) {
    // Each AES key that changed is saved at once: no key lives only on the card.
    auto saveKey = [&](const KeyChange& change, std::string* saveError) {
      SectorKeys& set = keys.sectors[change.sector];
      (change.keyB ? set.aesB : set.aesA) = change.to;
      if (WriteFileAtomically(args.keysPath, SerializeKeyFile(keys), saveError)) return true;
      *saveError = "the key file was not updated: " + *saveError;
      return false;
    };
    report = ApplyRestore(info, keys, plan, MakeProgress("writing"), saveKey);
  }
  const bool done = report.result.ok();
  const std::string summary = args.dryRun       ? "dry run: nothing written"
                              : done            ? "restored"
                              : report.partly() ? "partly restored: " + report.result.message
                                                : "nothing restored: " + report.result.message;
  EndProgress();
  if (options.json) {
    Json out = {{"ok", done}, {"dryRun", args.dryRun}, {"summary", summary}};
    if (!done) out["exit"] = Code(report.result.outcome);
    out["changes"] = changes;
    out["keyChanges"] = plan.keyChanges.size();
    out["notes"] = plan.notes;
    out.update(RestoreJson(report));
    PrintJson(out);
  } else {
    if (!args.dryRun) {
      std::printf("written:       %s\n", BlockList(report.written).c_str());
      for (const auto& [block, status] : report.failed)
        std::printf("failed:        %d (%s)\n", block, status.c_str());
      if (!report.notAttempted.empty())
        std::printf("not attempted: %s\n", BlockList(report.notAttempted).c_str());
      if (!report.uncertain.empty())
        std::printf("uncertain:     %s (read them back before trusting them)\n",
                    BlockList(report.uncertain).c_str());
      for (const KeyChange& change : report.keysChanged)
        std::printf("AES key %c of sector %d changed and saved in %s\n", change.keyB ? 'B' : 'A',
                    change.sector, args.keysPath.c_str());
    }
    std::printf("%s\n", summary.c_str());
  }
  if (!done) std::fprintf(stderr, "ostrel: %s\n", summary.c_str());
  return Code(report.result.outcome);
}

std::optional<AesKey> AesFromText(const std::string& text) {
  auto bytes = ParseHexSized(text, 16);
  if (!bytes) return std::nullopt;
  AesKey key;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

int PersoCommand(const Options& options, const std::string& keysPath, bool commit, bool force) {
  KeyFile keys;
  std::string error;
  if (!LoadKeys(keysPath, &keys, &error)) return BadInput(options, error);
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code, &keys)) return code;
  if (force) {
    for (const auto& [sector, set] : keys.sectors) {
      if (!set.access) continue;
      for (const std::string& effect : PermanentEffects(sector, set.access->data()))
        std::fprintf(stderr, "ostrel: --force: permanent from now on: %s\n", effect.c_str());
    }
  }
  const Result result = Personalize(info, keys, commit, MakeProgress("personalizing"), force);
  if (!result.ok()) return Fail(options, result);
  if (options.json) {
    PrintJson(Json({{"ok", true}, {"committed", commit}}));
  } else {
    std::printf("%s\n",
                commit
                    ? "personalized and committed: the card is at Level 1 from its next activation"
                    : "personalized, not committed (the card stays at Level 0)");
  }
  return 0;
}

int SwitchCommand(const Options& options, int level, const std::string& keyText,
                  const std::string& keysPath) {
  if (keyText.empty() == keysPath.empty())
    return BadInput(options, "give the switch key with --key or --keys");
  std::optional<AesKey> key;
  KeyFile keys;
  std::string error;
  const std::uint16_t address = level == 2 ? 0x9002 : 0x9003;
  if (!keysPath.empty()) {
    if (!LoadKeys(keysPath, &keys, &error)) return BadInput(options, error);
    if (keys.cardKeys.count(address) == 0)
      return BadInput(options, keysPath + ": no card key " + (level == 2 ? "9002" : "9003"));
  } else {
    key = AesFromText(keyText);
    if (!key) return BadInput(options, "--key: expected 32 hex digits (an AES key)");
  }
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code, keysPath.empty() ? nullptr : &keys)) return code;
  if (!key) key = keys.cardKeys.at(address);
  const Result result = SwitchLevel(info, level, *key);
  if (!result.ok()) return Fail(options, result);
  if (options.json) {
    PrintJson(Json({{"ok", true}, {"level", level}}));
  } else {
    std::printf("switched to Level %d (shows at the next activation)\n", level);
  }
  return 0;
}

struct BlockArgs {
  std::string block, key, aesKey, keysPath, data, set, increment, decrement;
  bool keyB = false, force = false;
};

// Checks a block command's arguments before anything is sent; with the card's
// UID, diversified keys of the key file become the card's.
bool ParseBlockArgs(const BlockArgs& args, int* block, BlockKey* key, std::string* error,
                    const Bytes* uid = nullptr) {
  const auto number = ParseNumber(args.block, 255);
  if (!number) {
    *error = "--block: expected a block number from 0 to 255";
    return false;
  }
  *block = static_cast<int>(*number);
  key->keyB = args.keyB;
  if (!args.key.empty()) {
    auto bytes = ParseHex(args.key);
    if (!bytes || (bytes->size() != 6 && bytes->size() != 16)) {
      *error = "--key: expected 12 hex digits (CRYPTO1) or 32 (AES)";
      return false;
    }
    key->key = *bytes;
  }
  if (!args.aesKey.empty()) {
    auto bytes = ParseHexSized(args.aesKey, 16);
    if (!bytes) {
      *error = "--aes-key: expected 32 hex digits";
      return false;
    }
    key->aesKey = *bytes;
  }
  if (!args.keysPath.empty()) {
    KeyFile keys;
    if (!LoadKeys(args.keysPath, &keys, error)) return false;
    if (uid != nullptr && !KeysForCard(keys, *uid, &keys, error)) return false;
    const auto found = keys.sectors.find(SectorOfBlock(*block));
    if (found != keys.sectors.end()) {
      const SectorKeys& set = found->second;
      const auto& aes = args.keyB ? set.aesB : set.aesA;
      const auto& crypto1 = args.keyB ? set.crypto1B : set.crypto1A;
      if (key->key.empty() && crypto1) key->key.assign(crypto1->begin(), crypto1->end());
      if (aes && key->aesKey.empty()) key->aesKey.assign(aes->begin(), aes->end());
    }
  }
  if (key->key.empty() && key->aesKey.empty()) {
    *error = "give the sector's key with --key or --keys";
    return false;
  }
  return true;
}

// At Level 3 the AES key is the key; the CRYPTO1 key serves Levels 1 and 2.
void ChooseLevelKey(const CardInfo& info, BlockKey* key) {
  if (info.level == 3 && key->key.size() != 16 && key->aesKey.size() == 16) key->key = key->aesKey;
}

int BlockCommand(const Options& options, const std::string& which, const BlockArgs& args) {
  int block = 0;
  BlockKey key;
  std::string error;
  if (!ParseBlockArgs(args, &block, &key, &error)) return BadInput(options, error);
  Block data{};
  std::optional<std::int32_t> operand;
  ValueOp op = ValueOp::kGet;
  if (which == "write") {
    auto bytes = ParseHexSized(args.data, 16);
    if (!bytes) return BadInput(options, "--data: expected 32 hex digits (one block)");
    std::copy(bytes->begin(), bytes->end(), data.begin());
    if (block == 0) return BadInput(options, "block 0 (the manufacturer block) is never written");
  }
  if (which == "value") {
    const int given = !args.set.empty() + !args.increment.empty() + !args.decrement.empty();
    if (given > 1) return BadInput(options, "give at most one of --set, --inc and --dec");
    const std::string& text = !args.set.empty()         ? args.set
                              : !args.increment.empty() ? args.increment
                                                        : args.decrement;
    if (given == 1) {
      op = !args.set.empty()         ? ValueOp::kSet
           : !args.increment.empty() ? ValueOp::kIncrement
                                     : ValueOp::kDecrement;
      char* end = nullptr;
      errno = 0;
      const long long v = std::strtoll(text.c_str(), &end, 0);
      if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX ||
          (op != ValueOp::kSet && v < 0))
        return BadInput(options,
                        "the value must be a 32-bit number (not negative for --inc and --dec)");
      operand = static_cast<std::int32_t>(v);
    }
  }
  CardInfo info;
  int code = 0;
  if (!Connect(options, &info, &code)) return code;
  if (!args.keysPath.empty()) {
    // The key file's keys again, now for the card in the field.
    key = BlockKey{};
    if (!ParseBlockArgs(args, &block, &key, &error, &info.id.uid)) return BadInput(options, error);
  }
  ChooseLevelKey(info, &key);
  Result result;
  std::int32_t value = 0;
  if (which == "read") result = ReadBlock(info, block, key, &data);
  if (which == "write" && args.force && IsTrailer(block)) {
    for (const std::string& effect : PermanentEffects(SectorOfBlock(block), data.data() + 6))
      std::fprintf(stderr, "ostrel: --force: permanent from now on: %s\n", effect.c_str());
  }
  if (which == "write") result = WriteBlock(info, block, key, data, args.force);
  if (which == "value") result = ValueBlock(info, block, key, op, operand.value_or(0), &value);
  if (!result.ok()) return Fail(options, result);
  if (which == "value") {
    if (options.json)
      PrintJson(Json({{"ok", true}, {"block", block}, {"value", value}}));
    else
      std::printf("block 0x%02X value %d\n", block, value);
  } else if (options.json) {
    PrintJson(Json({{"ok", true}, {"block", block}, {"data", ToHex(data)}}));
  } else {
    std::printf("block 0x%02X  %s", block, BlockDataText(data.data()).c_str());
  }
  return 0;
}

int TraceDecodeCommand(const Options& options, const std::string& path) {
  std::string text, error;
  if (!ReadFile(path, &text, &error)) return BadInput(options, error);
  if (!options.json) {
    std::string out;
    if (!DecodeTrace(text, &out, &error)) return BadInput(options, path + ": " + error);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  TraceDecoder decoder;
  Json frames = Json::array();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::optional<TraceEntry> entry;
    if (!decoder.Feed(line, &entry, &error))
      return BadInput(options, path + ": line " + std::to_string(number) + ": " + error);
    if (!entry) continue;
    std::string bytes;
    for (const auto& b : entry->bytes)
      bytes += (bytes.empty() ? "" : " ") +
               (b ? ToHex(Bytes{static_cast<std::uint8_t>(*b)}) : std::string("**"));
    frames.push_back({{"time", entry->time},
                      {"direction", entry->direction == '>' ? "request" : "response"},
                      {"bytes", bytes},
                      {"note", entry->note},
                      {"decoded", entry->annotations}});
  }
  PrintJson(
      Json({{"frames", frames}, {"failed", decoder.failures()}, {"retries", decoder.retries()}}));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ostrel: whole-card tools for MIFARE Plus cards behind a Pelkin reader"};
  app.footer(kExitCodes);
  app.set_version_flag("--version", std::string("ostrel ") + OSTREL_VERSION);
  Options options;
  app.add_option("--reader", options.reader, "reader, as HOLLINK_READER (default: the library's)");
  app.add_flag("--json", options.json, "output for scripts, as JSON on stdout");
  app.require_subcommand(1);
  // --reader and --json also after the command, as people type them.
  app.fallthrough();

  app.add_subcommand("info", "activate the card and tell what it is");

  std::string keysPath, output, binary, keyText;
  RestoreArgs restoreArgs;
  bool commit = false, persoForce = false;
  int level = 0;
  auto* dump = app.add_subcommand("dump", "read every sector the keys open into a dump file");
  dump->add_option("--keys", keysPath, "key file (\"FileType\": \"mfpkeys\")")->required();
  dump->add_option("-o,--output", output,
                   "dump file to write (JSON); without it the blocks are printed");
  dump->add_option("--bin", binary, "also write a binary image, 16 bytes per block");

  auto* restore = app.add_subcommand("restore", "write the data blocks of a dump back to the card");
  restore->add_option("dump", restoreArgs.dumpPath, "dump file")->required();
  restore->add_option("--keys", restoreArgs.keysPath, "key file that opens the card now")
      ->required();
  restore->add_flag("--dry-run", restoreArgs.dryRun, "print what differs, write nothing");
  restore->add_flag("--with-trailers", restoreArgs.withTrailers,
                    "also write sector trailers (only with consistent access bits and known keys)");
  restore->add_flag("--other-card", restoreArgs.otherCard,
                    "write the dump to a card with another UID than the dump's");
  restore->add_flag("--force", restoreArgs.force,
                    "write trailers that no key can change again (permanent)");

  auto* perso = app.add_subcommand("perso", "personalize a Level 0 card from a key file");
  perso->add_option("--keys", keysPath, "key file with sector keys and card keys 9000 to 9003")
      ->required();
  perso->add_flag("--commit", commit, "commit the personalization (the card moves to Level 1)");
  perso->add_flag("--force", persoForce,
                  "write access conditions that no key can change again (permanent)");

  auto* sw = app.add_subcommand("switch", "switch the card to Level 2 or 3");
  sw->add_option("--level", level, "2 or 3")->required()->check(CLI::IsMember({2, 3}));
  sw->add_option("--key", keyText, "the switch key (0x9002 or 0x9003), 32 hex digits");
  sw->add_option("--keys", keysPath, "take the switch key from a key file's card keys");

  BlockArgs blockArgs;
  auto addBlockOptions = [&](CLI::App* command) {
    command->add_option("--block", blockArgs.block, "absolute block number")->required();
    command->add_option("--key", blockArgs.key, "sector key: 12 hex digits (CRYPTO1) or 32 (AES)");
    command->add_option("--aes-key", blockArgs.aesKey, "Level 2: the sector's AES key");
    command->add_option("--keys", blockArgs.keysPath, "take the sector's keys from a key file");
    command->add_flag("-b,--key-b", blockArgs.keyB, "use key B (default key A)");
  };
  auto* read = app.add_subcommand("read", "read one block");
  addBlockOptions(read);
  auto* write = app.add_subcommand("write", "write one block (never block 0)");
  addBlockOptions(write);
  write->add_option("--data", blockArgs.data, "16 bytes as 32 hex digits")->required();
  write->add_flag("--force", blockArgs.force,
                  "write a trailer that no key can change again (permanent)");
  auto* value = app.add_subcommand("value", "read, set, increment or decrement a value block");
  addBlockOptions(value);
  value->add_option("--set", blockArgs.set, "write the value");
  value->add_option("--inc", blockArgs.increment, "increment by this amount");
  value->add_option("--dec", blockArgs.decrement, "decrement by this amount");

  ostrel_cli::BatchArgs batchArgs;
  auto* batch = ostrel_cli::AddBatchCommand(app, &batchArgs);

  std::string tracePath;
  auto* trace = app.add_subcommand("trace", "frame traces (OSTREL_TRACE)");
  trace->require_subcommand(1);
  auto* decode = trace->add_subcommand("decode", "print a trace file as an annotated exchange");
  decode->add_option("file", tracePath, "trace file")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? 0 : Code(Outcome::kBadInput);
  }

  int code = 0;
  if (app.got_subcommand("info"))
    code = Info(options);
  else if (app.got_subcommand(dump))
    code = DumpCommand(options, keysPath, output, binary);
  else if (app.got_subcommand(restore))
    code = RestoreCommand(options, restoreArgs);
  else if (app.got_subcommand(perso))
    code = PersoCommand(options, keysPath, commit, persoForce);
  else if (app.got_subcommand(sw))
    code = SwitchCommand(options, level, keyText, keysPath);
  else if (app.got_subcommand(read))
    code = BlockCommand(options, "read", blockArgs);
  else if (app.got_subcommand(write))
    code = BlockCommand(options, "write", blockArgs);
  else if (app.got_subcommand(value))
    code = BlockCommand(options, "value", blockArgs);
  else if (app.got_subcommand(batch))
    return ostrel_cli::RunBatchCommand(batchArgs, options.reader, options.json);
  else if (app.got_subcommand(trace))
    code = TraceDecodeCommand(options, tracePath);
  CloseReader();
  return code;
}
