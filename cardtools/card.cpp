#include "card.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ostrel.h"
#include "status.h"

namespace cardtools {

namespace {

constexpr std::uint8_t kModeKeyA = 0x00, kModeKeyB = 0x04;
// Level 3 codes. Reads: encrypted data and a MAC on the answer, which covers the
// block number and count too, so the command needs none of its own. Writes:
// encrypted data, MAC on command and answer.
constexpr std::uint8_t kSl3ReadEncryptedMaced = 0x35;
constexpr std::uint8_t kSl3WriteEncryptedMaced = 0xA1;
constexpr std::uint8_t kCardNoSuchBlock = 0xBA;
constexpr int kSl3MaxWriteBlocks = 3;
constexpr int kSl2MaxBlocks = 3;

Outcome OutcomeOf(std::uint8_t status) {
  switch (status) {
    case 0x00:
      return Outcome::kOk;
    case 0x01:
      return Outcome::kNoCard;
    case 0x04:
    case 0x0A:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x11:
    case 0x12:
    case 0xB6:
    case 0xBB:
    case 0xEC:
      return Outcome::kKeyRefused;
    default:
      return Outcome::kIoError;
  }
}

Result Failure(std::uint8_t status, const std::string& what) {
  return {OutcomeOf(status), status, what + ": " + StatusText(status)};
}

Result Refused(Outcome outcome, const std::string& message) {
  return {outcome, 0, message};
}

// A failure of the link, not of the card's judgement: the walk cannot go on.
bool LinkFailure(std::uint8_t status) {
  return OutcomeOf(status) == Outcome::kIoError && !(status >= 0xB0 && status <= 0xBF);
}

std::string Sector(int sector) {
  return "sector " + std::to_string(sector);
}

std::string JoinEffects(const std::vector<std::string>& effects) {
  std::string text;
  for (const std::string& effect : effects) text += (text.empty() ? "" : "; ") + effect;
  return text;
}

// Activation again after a refusal that drops the card (a failed CRYPTO1
// authentication unselects it, as a real card does) or after a lost answer. A card
// with another UID is another card: nothing more may be written to it.
Result Reactivate(const CardInfo& info) {
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[100];
  PiccDeSelect();
  PiccHalt();
  std::uint8_t status = PiccActivate(0x52, atq, uid, &uidLength, &sak);
  if (status == 0 && Bytes(uid, uid + uidLength) != info.id.uid)
    return Refused(Outcome::kIoError, kOtherCard);
  if (status == 0 && info.layer4) {
    status = PiccRATS(10, ats);
    if (status == 0) status = PiccPPS(0, 0);
  }
  if (status != 0) {
    Result failed = Failure(status, "activation again");
    failed.outcome = Outcome::kIoError;  // the walk cannot go on either way
    return failed;
  }
  return {};
}

// The keys of one sector that the card's level uses, in the order they are tried.
struct KeyChoice {
  bool keyB;
  Bytes key;     // CRYPTO1 (Levels 1 and 2) or AES (Level 3)
  Bytes aesKey;  // Level 2: the AES key the CRYPTO1 key is bound to
};

std::vector<KeyChoice> KeysFor(int level, const SectorKeys& set) {
  std::vector<KeyChoice> choices;
  for (const bool keyB : {false, true}) {
    const auto& aes = keyB ? set.aesB : set.aesA;
    const auto& crypto1 = keyB ? set.crypto1B : set.crypto1A;
    if (level == 3 && aes) choices.push_back({keyB, Bytes(aes->begin(), aes->end()), {}});
    if (level == 1 && crypto1)
      choices.push_back({keyB, Bytes(crypto1->begin(), crypto1->end()), {}});
    if (level == 2 && crypto1 && aes) {
      choices.push_back(
          {keyB, Bytes(crypto1->begin(), crypto1->end()), Bytes(aes->begin(), aes->end())});
    }
  }
  return choices;
}

// Opens a sector with one key at the card's level. `following`: a Level 3 session
// stands, so a Following Authenticate (no capability bytes) changes its key.
std::uint8_t Authenticate(const CardInfo& info, int sector, const KeyChoice& choice,
                          bool following = false) {
  const auto sectorByte = static_cast<unsigned char>(sector);
  const unsigned char mode = choice.keyB ? kModeKeyB : kModeKeyA;
  switch (info.level) {
    case 1:
      return PiccAuthKey(mode, choice.key.data(), sectorByte);
    case 2: {
      const std::uint8_t status =
          PLUSSL2AESAuth(SectorKeyAddress(sector, choice.keyB), choice.aesKey.data());
      if (status != 0) return status;
      return PLUSSL2CryptoAuth(mode, sectorByte, choice.key.data());
    }
    case 3:
      return (following ? PLUSSL3FollowingAuth : PLUSSL3FirstAuth)(
          SectorKeyAddress(sector, choice.keyB), choice.key.data());
    default:
      return OSTREL_BAD_ARGUMENT;
  }
}

// Reads `count` blocks from `first` in an open sector into `out` (16 x count).
std::uint8_t ReadRun(const CardInfo& info, int first, int count, std::uint8_t* out) {
  switch (info.level) {
    case 1:
      for (int i = 0; i < count; ++i) {
        const std::uint8_t status =
            PiccReadBlock(static_cast<unsigned char>(first + i), out + 16 * i);
        if (status != 0) return status;
      }
      return 0;
    case 2:
      return PLUSSL2MultiBlockRead(static_cast<unsigned char>(first),
                                   static_cast<unsigned char>(count), out);
    default:
      return PLUSSL3Read(kSl3ReadEncryptedMaced, static_cast<unsigned short>(first),
                         static_cast<unsigned char>(count), out);
  }
}

int LargestRead(const CardInfo& info) {
  if (info.level == 1) return 16;  // one block per exchange whatever the run
  if (info.level == 2) return kSl2MaxBlocks;
  return OSTREL_SL3_MAX_READ_BLOCKS;
}

std::uint8_t WriteRun(const CardInfo& info, int first, int count, const std::uint8_t* data) {
  switch (info.level) {
    case 1:
      for (int i = 0; i < count; ++i) {
        const std::uint8_t status =
            PiccWriteBlock(static_cast<unsigned char>(first + i), data + 16 * i);
        if (status != 0) return status;
      }
      return 0;
    case 2:
      return PLUSSL2MultiBlockWrite(static_cast<unsigned char>(first),
                                    static_cast<unsigned char>(count), data);
    default:
      return PLUSSL3Write(kSl3WriteEncryptedMaced, static_cast<unsigned short>(first),
                          static_cast<unsigned char>(count), data);
  }
}

// Runs of consecutive block numbers, each at most `longest` long.
std::vector<std::pair<int, int>> Runs(const std::vector<int>& blocks, int longest) {
  std::vector<std::pair<int, int>> runs;
  for (int block : blocks) {
    if (!runs.empty() && runs.back().first + runs.back().second == block &&
        runs.back().second < longest) {
      ++runs.back().second;
    } else {
      runs.push_back({block, 1});
    }
  }
  return runs;
}

}  // namespace

Result OpenReader(const std::string& reader) {
  if (!reader.empty()) ::setenv("HOLLINK_READER", reader.c_str(), 1);
  if (ReaderCommInit() != 0) {
    return Refused(Outcome::kIoError,
                   "cannot open the reader" + (reader.empty() ? std::string() : " " + reader));
  }
  return {};
}

void CloseReader() {
  ReaderCommExit();
}

Result ActivateCard(CardInfo* info, bool identify) {
  CardInfo found;
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[100] = {};
  PiccDeSelect();
  PiccHalt();
  std::uint8_t status = PiccActivate(0x52, atq, uid, &uidLength, &sak);
  if (status != 0) {
    if (status == OSTREL_NO_CARD) return Refused(Outcome::kNoCard, "no card in the field");
    return Failure(status, "activation");
  }
  found.id.uid.assign(uid, uid + uidLength);
  found.id.atqa = {atq[0], atq[1]};
  found.id.sak = sak;
  switch (sak) {
    case 0x08:
    case 0x18:
      found.level = 1;
      found.size = sak == 0x18 ? CardSize::k4K : CardSize::k2K;
      found.sizeKnown = true;
      break;
    case 0x10:
    case 0x11:
      found.level = 2;
      found.size = sak == 0x11 ? CardSize::k4K : CardSize::k2K;
      found.sizeKnown = true;
      break;
    case 0x20:
      found.layer4 = true;
      break;
    default:
      return Refused(Outcome::kIoError,
                     "the card's SAK " + ToHex(&sak, 1) + " is not one of a MIFARE Plus card");
  }
  if (found.layer4) {
    status = PiccRATS(10, ats);
    if (status == 0) status = PiccPPS(0, 0);
    if (status != 0) return Failure(status, "layer 4 activation");
    found.id.ats.assign(ats, ats + ats[0]);
    // The historical bytes end in 00 35 C7 on an S card, 01 BC D6 on an X card.
    found.sCard = found.id.ats.size() >= 3 && found.id.ats[found.id.ats.size() - 3] == 0x00;
    if (identify) {
      // Reset Authenticate: accepted at Level 3, "not allowed" at Level 0.
      status = PLUSSL3RestAuth();
      if (LinkFailure(status)) return Failure(status, "level probe");
      found.level = status == 0 ? 3 : 0;
      if (found.level == 3) {
        // First step of an authentication with sector 32's key A: a 2K card has no
        // such key. The step changes nothing; the next command drops it.
        const unsigned char probe[4] = {0x70, 0x40, 0x40, 0x00};
        unsigned char answer[OSTREL_TPCL_MAX_ANSWER];
        unsigned short answerLength = 0;
        status = PiccTPCLEx(probe, sizeof probe, answer, sizeof answer, &answerLength);
        if (status != 0 || answerLength < 1) return Failure(status, "size probe");
        found.size = answer[0] == 0x90 ? CardSize::k4K : CardSize::k2K;
        found.sizeKnown = true;
        PLUSSL3RestAuth();
      }
    }
  }
  *info = found;
  return {};
}

std::string DescribeCard(const CardInfo& info) {
  std::string text = "Level " + (info.level >= 0 ? std::to_string(info.level) : std::string("?"));
  if (info.layer4) text += info.sCard ? ", MIFARE Plus S" : ", MIFARE Plus X";
  text += info.sizeKnown ? std::string(", ") + SizeName(info.size) : ", size unknown at Level 0";
  text += ", " + std::to_string(info.id.uid.size()) + "-byte UID";
  return text;
}

DumpOutcome DumpCard(const CardInfo& info, const KeyFile& keys, const SectorDone& done,
                     bool proveEveryKey) {
  DumpOutcome out;
  Dump& dump = out.dump;
  dump.card = info.id;
  dump.level = info.level;
  dump.size = info.size;
  dump.sCard = info.sCard;
  if (info.level < 1 || info.level > 3) {
    out.result = Refused(Outcome::kBadInput, "a Level 0 card holds no data to dump");
    return out;
  }
  const int sectors = SectorCount(info.size);
  bool session = false;  // a Level 3 session stands since the last authentication
  for (int sector = 0; sector < sectors; ++sector) {
    if (sector > 0 && done && !done(sector - 1, sectors, dump)) {
      out.cancelled = true;
      break;
    }
    SectorRecord& record = dump.sectors[sector];
    const auto found = keys.sectors.find(sector);
    const std::vector<KeyChoice> choices =
        found == keys.sectors.end() ? std::vector<KeyChoice>{} : KeysFor(info.level, found->second);
    if (choices.empty()) {
      record.status = "key missing";
      ++out.sectorsMissing;
      continue;
    }
    const int first = FirstBlockOfSector(sector), count = BlocksInSector(sector);
    std::vector<int> pending(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) pending[static_cast<std::size_t>(i)] = first + i;
    bool opened = false, dropped = false;
    // Opens the sector again with `choice` after a refusal dropped the card.
    auto reopen = [&](const KeyChoice& choice) -> bool {
      if (info.level == 3) return true;
      if (Result again = Reactivate(info); !again.ok()) {
        out.result = again;
        return false;
      }
      const std::uint8_t status = Authenticate(info, sector, choice);
      if (status != 0) {
        out.result = Failure(status, "authentication again of " + Sector(sector));
        out.result.outcome = Outcome::kIoError;
        return false;
      }
      return true;
    };
    // Every key is tried once, also after the blocks are read: the dump records the
    // keys that opened the sector and the ones the card refused, and nothing else.
    for (const KeyChoice& choice : choices) {
      if (pending.empty() && !proveEveryKey) {
        // Key B is worth proving only where the trailer hides it (Levels 1 and 2).
        const auto t = dump.blocks.find(TrailerOfSector(sector));
        const bool hidden =
            info.level != 3 && t != dump.blocks.end() &&
            std::all_of(t->second.begin() + 10, t->second.end(), [](auto b) { return b == 0; });
        if (!choice.keyB || !hidden) break;
      }
      if (dropped) {
        if (Result again = Reactivate(info); !again.ok()) {
          out.result = again;
          return out;
        }
        dropped = false;
      }
      std::uint8_t status = Authenticate(info, sector, choice, session);
      if (status != 0 && !LinkFailure(status)) {
        // A spoilt answer can look like a refusal: an authentication changes
        // nothing on the card, so a second one tells a refused key from the link.
        if (info.level != 3) {
          if (Result again = Reactivate(info); !again.ok()) {
            out.result = again;
            return out;
          }
        }
        status = Authenticate(info, sector, choice, false);
      }
      session = status == 0 && info.level == 3;  // a refused authentication ends it
      if (status != 0) {
        if (LinkFailure(status)) {
          out.result = Failure(status, "authentication of " + Sector(sector));
          return out;
        }
        (choice.keyB ? record.refusedB : record.refusedA) = true;
        dropped = info.level != 3;
        continue;
      }
      (choice.keyB ? record.keyB : record.keyA) = ToHex(choice.key);
      opened = true;
      std::vector<int> left;
      for (const auto& [start, length] : Runs(pending, LargestRead(info))) {
        std::uint8_t data[16 * OSTREL_SL3_MAX_READ_BLOCKS];
        status = ReadRun(info, start, length, data);
        if (status != 0 && !LinkFailure(status)) {
          // A spoilt answer (a failed MAC) can look like a closed block: a read can
          // be repeated safely, in a fresh session.
          if (info.level == 3 || Reactivate(info).ok()) {
            if (Authenticate(info, sector, choice) == 0)
              status = ReadRun(info, start, length, data);
          }
        }
        if (status != 0 && length > 1 && !LinkFailure(status)) {
          // Some block of the run is closed to this key: find which, block by block.
          if (!reopen(choice)) return out;
          for (int b = start; b < start + length; ++b) {
            const std::uint8_t one = ReadRun(info, b, 1, data);
            if (LinkFailure(one)) {
              out.result = Failure(one, "read of block " + std::to_string(b));
              return out;
            }
            if (one == 0) {
              std::memcpy(dump.blocks[b].data(), data, 16);
            } else {
              left.push_back(b);
              if (!reopen(choice)) return out;
            }
          }
          continue;
        }
        if (LinkFailure(status)) {
          out.result = Failure(status, "read of " + Sector(sector));
          return out;
        }
        if (status != 0) {
          left.push_back(start);
          if (!reopen(choice)) return out;
          continue;
        }
        for (int i = 0; i < length; ++i)
          std::memcpy(dump.blocks[start + i].data(), data + 16 * i, 16);
      }
      pending = left;
    }
    const int trailer = TrailerOfSector(sector);
    if (auto it = dump.blocks.find(trailer); it != dump.blocks.end()) {
      Block& t = it->second;
      record.access = AccessBytes{t[6], t[7], t[8], t[9]};
      // Key A never reads back at Levels 1 and 2, and key B only where it is data:
      // the keys that opened the sector take their places. A key the card did not
      // accept is never written in: the zeros stay, and a restore refuses them.
      if (info.level != 3) {
        const auto& set = found->second;
        if (set.crypto1A && !record.keyA.empty())
          std::copy(set.crypto1A->begin(), set.crypto1A->end(), t.begin());
        const bool keyBHidden = std::all_of(t.begin() + 10, t.end(), [](auto b) { return b == 0; });
        if (set.crypto1B && keyBHidden && !record.keyB.empty())
          std::copy(set.crypto1B->begin(), set.crypto1B->end(), t.begin() + 10);
      }
    }
    if (pending.empty()) {
      ++out.sectorsRead;
    } else if (opened && static_cast<int>(pending.size()) < count) {
      record.status = "partial";
      ++out.sectorsPartial;
    } else {
      record.status = opened ? "not read" : "key refused";
      ++out.sectorsRefused;
    }
    if (dropped) {
      session = false;
      if (Result again = Reactivate(info); !again.ok()) {
        out.result = again;
        return out;
      }
    }
  }
  if (!out.cancelled && done) done(sectors - 1, sectors, dump);
  if (out.cancelled) {
    out.result = Refused(Outcome::kIoError, "cancelled");
  } else if (out.sectorsPartial + out.sectorsRefused + out.sectorsMissing > 0) {
    out.result = Refused(Outcome::kKeyRefused, "some sectors were not read");
  }
  return out;
}

namespace {

// Which keys of a sector may be used on the card now: in the key file at the card's
// level (or, without one, proved on it) and not refused by it.
std::pair<bool, bool> UsableKeys(const Dump& current, const KeyFile* keys, int sector) {
  const auto record = current.sectors.find(sector);
  bool usable[2] = {false, false};
  for (const bool keyB : {false, true}) {
    if (record != current.sectors.end()) {
      const SectorRecord& r = record->second;
      if (keyB ? r.refusedB : r.refusedA) continue;
      if (!(keyB ? r.keyB : r.keyA).empty()) usable[keyB] = true;
    }
    if (keys != nullptr && !usable[keyB]) {
      const auto set = keys->sectors.find(sector);
      if (set == keys->sectors.end()) continue;
      for (const KeyChoice& choice : KeysFor(current.level, set->second))
        if (choice.keyB == keyB) usable[keyB] = true;
    }
  }
  return {usable[0], usable[1]};
}

}  // namespace

RestorePlan PlanRestore(const Dump& wanted, const Dump& current, const KeyFile* keys,
                        const PlanOptions& options) {
  RestorePlan plan;
  if (wanted.size != current.size) {
    plan.refusals.push_back(std::string("the dump is of a ") + SizeName(wanted.size) +
                            " card, this card is " + SizeName(current.size));
    return plan;
  }
  if (wanted.level != current.level) {
    plan.refusals.push_back("the dump was taken at Level " + std::to_string(wanted.level) +
                            ", this card is at Level " + std::to_string(current.level));
    return plan;
  }
  if (wanted.typeKnown && current.typeKnown && wanted.sCard != current.sCard) {
    plan.refusals.push_back(std::string("the dump is of a MIFARE Plus ") +
                            (wanted.sCard ? "S" : "X") + " card, this card is a MIFARE Plus " +
                            (current.sCard ? "S" : "X"));
    return plan;
  }
  if (wanted.card.uid != current.card.uid) {
    plan.notes.push_back("the dump is of card " + ToHex(wanted.card.uid) + ", this card is " +
                         ToHex(current.card.uid));
  }
  const int blocks = BlockCount(current.size);
  std::vector<BlockChange> trailers;
  for (const auto& [block, data] : wanted.blocks) {
    const std::string name = "block " + std::to_string(block);
    if (block < 0 || block >= blocks) {
      plan.refusals.push_back(name + " lies beyond this card");
      continue;
    }
    const auto now = current.blocks.find(block);
    const int sector = SectorOfBlock(block);
    if (now != current.blocks.end() && now->second == data) continue;
    if (block == 0) {
      plan.notes.push_back("block 0 differs: the manufacturer block is never written");
      continue;
    }
    if (IsTrailer(block) && !options.withTrailers) {
      if (now != current.blocks.end())
        plan.notes.push_back("trailer " + name + " differs: left alone without --with-trailers");
      continue;
    }
    const auto trailerNow = current.blocks.find(TrailerOfSector(sector));
    if (now == current.blocks.end() || trailerNow == current.blocks.end()) {
      plan.refusals.push_back(name + ": the keys do not open " + Sector(sector) +
                              " of this card, so it cannot be compared or written");
      continue;
    }
    // What the card's access conditions let the usable keys write.
    const std::uint8_t* bitsNow = trailerNow->second.data() + 6;
    if (!AccessBitsConsistent(bitsNow)) {
      plan.refusals.push_back(name + ": the access bits of " + Sector(sector) +
                              " on the card are damaged; no key may write it");
      continue;
    }
    const auto conditions = DecodeAccess(bitsNow);
    const auto [usableA, usableB0] = UsableKeys(current, keys, sector);
    const bool usableB = usableB0 && !KeyBReadable(conditions[3]);
    std::optional<bool> writer;  // the key to write with
    if (IsTrailer(block)) {
      // The card stores only the parts the key may change: one key must be
      // allowed to change every part that differs.
      const bool parts[3] = {
          !std::equal(data.begin(), data.begin() + 6, now->second.begin()),
          !std::equal(data.begin() + 6, data.begin() + 10, now->second.begin() + 6),
          !std::equal(data.begin() + 10, data.end(), now->second.begin() + 10)};
      for (const bool keyB : {false, true}) {
        if (writer || !(keyB ? usableB : usableA)) continue;
        bool all = true;
        for (int part = 0; part < 3; ++part)
          if (parts[part] &&
              !TrailerWriteAllowed(conditions[3], static_cast<TrailerPart>(part), keyB))
            all = false;
        if (all) writer = keyB;
      }
    } else {
      const std::uint8_t condition = conditions[static_cast<std::size_t>(GroupOfBlock(block))];
      if (usableA && DataWriteAllowed(condition, false)) {
        writer = false;
      } else if (usableB && DataWriteAllowed(condition, true)) {
        writer = true;
      }
    }
    if (!writer) {
      plan.refusals.push_back(name + ": the access conditions of " + Sector(sector) +
                              " let no key of the key file write it");
      continue;
    }
    if (IsTrailer(block)) {
      if (!AccessBitsConsistent(data.data() + 6)) {
        plan.refusals.push_back("trailer " + name +
                                ": its access bits do not match their complements and would "
                                "lock " +
                                Sector(sector));
        continue;
      }
      const auto effects = PermanentEffects(sector, data.data() + 6);
      if (!effects.empty() && !options.force) {
        plan.refusals.push_back("trailer " + name + ": its access bits would leave " +
                                Sector(sector) +
                                " with no key able to change its trailer again (--force "
                                "makes it permanent)");
        continue;
      }
      plan.permanent.insert(plan.permanent.end(), effects.begin(), effects.end());
      if (wanted.level != 3) {
        const auto record = wanted.sectors.find(sector);
        const bool keyBData = KeyBReadable(DecodeAccess(data.data() + 6)[3]);
        if (record == wanted.sectors.end() || record->second.keyA.size() != 12 ||
            ToHex(data.data(), 6) != record->second.keyA) {
          plan.refusals.push_back("trailer " + name +
                                  ": the dump does not hold the key A it would write");
          continue;
        }
        if (!keyBData && (record->second.keyB.size() != 12 ||
                          ToHex(data.data() + 10, 6) != record->second.keyB)) {
          plan.refusals.push_back("trailer " + name +
                                  ": the dump does not hold the key B it would write");
          continue;
        }
      }
      trailers.push_back({block, now->second, data, *writer});
      continue;
    }
    plan.changes.push_back({block, now->second, data, *writer});
  }
  if (options.withTrailers && wanted.level == 3) {
    for (const auto& [sector, record] : wanted.sectors) {
      if (sector >= SectorCount(current.size)) continue;
      const auto now = current.sectors.find(sector);
      for (const bool keyB : {false, true}) {
        const auto to = ParseHexSized(keyB ? record.keyB : record.keyA, 16);
        if (!to) continue;
        const auto from = now == current.sectors.end()
                              ? std::nullopt
                              : ParseHexSized(keyB ? now->second.keyB : now->second.keyA, 16);
        if (from == to) continue;
        const std::string which = std::string(keyB ? "key B" : "key A") + " of " + Sector(sector);
        if (!from || now->second.status != "read") {
          plan.refusals.push_back(which + ": the keys do not open this sector to change it");
          continue;
        }
        KeyChange change{sector, keyB, {}, {}};
        std::copy(from->begin(), from->end(), change.from.begin());
        std::copy(to->begin(), to->end(), change.to.begin());
        plan.keyChanges.push_back(change);
      }
    }
  }
  // Trailers go last within their sector: they may change the keys the writes use.
  for (const BlockChange& trailer : trailers) {
    auto at = std::find_if(plan.changes.begin(), plan.changes.end(), [&](const BlockChange& c) {
      return SectorOfBlock(c.block) > SectorOfBlock(trailer.block);
    });
    plan.changes.insert(at, trailer);
  }
  return plan;
}

namespace {

// A failure that says the card judged the command (it refused it): the write did
// not happen. Anything else may have been stored: the answer was lost or spoilt.
bool CardRefusal(std::uint8_t status) {
  // 0xB8 is also the library's answer-MAC mismatch: the card may have stored it.
  if (status == OSTREL_SUPPORT_LAST_MAC) return false;
  return OutcomeOf(status) == Outcome::kKeyRefused || (status >= 0xB1 && status <= 0xBF);
}

std::string StatusWords(std::uint8_t status) {
  return StatusText(status);
}

}  // namespace

RestoreReport ApplyRestore(const CardInfo& info, const KeyFile& keys, const RestorePlan& plan,
                           const Progress& progress, const KeySaved& keySaved) {
  RestoreReport report;
  if (!plan.refusals.empty()) {
    report.result = Refused(Outcome::kBadInput, plan.refusals.front());
    for (const BlockChange& change : plan.changes) report.notAttempted.push_back(change.block);
    return report;
  }
  // Every block from `index` on is left as it is.
  auto stopAt = [&](std::size_t index, const Result& why) {
    for (std::size_t i = index; i < plan.changes.size(); ++i)
      report.notAttempted.push_back(plan.changes[i].block);
    report.result = why;
  };
  auto choiceFor = [&](int sector, bool keyB) -> std::optional<KeyChoice> {
    const auto found = keys.sectors.find(sector);
    if (found == keys.sectors.end()) return std::nullopt;
    for (const KeyChoice& choice : KeysFor(info.level, found->second))
      if (choice.keyB == keyB) return choice;
    return std::nullopt;
  };
  // After a lost answer: a fresh session on the same card, then the block read back.
  auto readBack = [&](int sector, const KeyChoice& choice, int block, Block* out) -> Result {
    if (Result again = Reactivate(info); !again.ok()) return again;
    std::uint8_t status = Authenticate(info, sector, choice);
    if (status == 0) status = ReadRun(info, block, 1, out->data());
    if (status != 0) return Failure(status, "read back of block " + std::to_string(block));
    return {};
  };
  const int total = static_cast<int>(plan.changes.size() + plan.keyChanges.size());
  int openSector = -1;
  bool openKeyB = false;
  for (std::size_t i = 0; i < plan.changes.size();) {
    if (progress) progress(static_cast<int>(i), total);
    const BlockChange& first = plan.changes[i];
    const int sector = SectorOfBlock(first.block);
    const auto choice = choiceFor(sector, first.keyB);
    if (!choice) {
      stopAt(i, Refused(Outcome::kKeyRefused, "no key for " + Sector(sector)));
      return report;
    }
    // A run: consecutive data blocks of one sector under one key; a trailer alone.
    const int longest =
        info.level == 1 ? 1 : (info.level == 2 ? kSl2MaxBlocks : kSl3MaxWriteBlocks);
    std::size_t length = 1;
    while (!IsTrailer(first.block) && i + length < plan.changes.size() &&
           static_cast<int>(length) < longest) {
      const BlockChange& next = plan.changes[i + length];
      if (next.block != first.block + static_cast<int>(length) || IsTrailer(next.block) ||
          next.keyB != first.keyB || SectorOfBlock(next.block) != sector)
        break;
      ++length;
    }
    std::uint8_t buffer[16 * kSl3MaxWriteBlocks];
    for (std::size_t k = 0; k < length; ++k)
      std::memcpy(buffer + 16 * k, plan.changes[i + k].to.data(), 16);
    std::uint8_t status = 0;
    if (openSector != sector || openKeyB != first.keyB) {
      status = Authenticate(info, sector, *choice);
      if (status != 0 && !LinkFailure(status)) {
        // The plan proved this key: a refusal now is more likely a spoilt answer.
        if (info.level != 3) {
          if (Result again = Reactivate(info); !again.ok()) {
            stopAt(i, again);
            return report;
          }
        }
        status = Authenticate(info, sector, *choice);
      }
      if (status != 0) {
        stopAt(i, Failure(status, "authentication of " + Sector(sector)));
        if (LinkFailure(status)) report.result.outcome = Outcome::kIoError;
        return report;
      }
      openSector = sector;
      openKeyB = first.keyB;
    }
    status = WriteRun(info, first.block, static_cast<int>(length), buffer);
    const bool trailer = IsTrailer(first.block);
    if (status != 0 && CardRefusal(status)) {
      for (std::size_t k = 0; k < length; ++k)
        report.failed.push_back({plan.changes[i + k].block, StatusWords(status)});
      stopAt(i + length, Failure(status, "write of block " + std::to_string(first.block)));
      return report;
    }
    if (status != 0 || trailer) {
      // The answer was lost or spoilt, or a trailer, which the card may have taken
      // only in part: read back what the card holds. A trailer is read under the key
      // A it now has (always allowed to read the access bits).
      KeyChoice reader = *choice;
      if (trailer && info.level != 3) {
        reader.keyB = false;
        reader.key.assign(first.to.begin(), first.to.begin() + 6);
        if (info.level == 2) {
          if (const auto a = choiceFor(sector, false)) reader.aesKey = a->aesKey;
        }
      }
      bool lost = false;
      for (std::size_t k = 0; k < length; ++k) {
        const BlockChange& change = plan.changes[i + k];
        Block seen{};
        const Result back = readBack(sector, reader, change.block, &seen);
        if (back.message == kOtherCard) {
          report.uncertain.push_back(change.block);
          stopAt(i + k + 1, back);
          return report;
        }
        bool stored = back.ok() && std::equal(seen.begin(), seen.end(), change.to.begin());
        if (back.ok() && trailer) {
          // Key A never reads back; key B only where it is data.
          const bool keyBData = KeyBReadable(DecodeAccess(change.to.data() + 6)[3]);
          stored = std::equal(seen.begin() + 6, seen.begin() + 10, change.to.begin() + 6) &&
                   (!keyBData || std::equal(seen.begin() + 10, seen.end(), change.to.begin() + 10));
          if (info.level == 3) stored = stored && seen == change.to;
        }
        if (!back.ok()) {
          report.uncertain.push_back(change.block);
          lost = true;
        } else if (stored) {
          report.written.push_back(change.block);
        } else {
          report.failed.push_back(
              {change.block, status != 0 ? StatusWords(status) + "; the card kept the old data"
                                         : "the card kept part of the old trailer (the key may "
                                           "not change it)"});
          lost = true;
        }
      }
      openSector = -1;  // the read back opened the sector in another session
      if (lost) {
        stopAt(i + length,
               status != 0 ? Failure(status, "write of block " + std::to_string(first.block))
                           : Refused(Outcome::kKeyRefused, "the card did not take trailer block " +
                                                               std::to_string(first.block)));
        if (status != 0) report.result.outcome = Outcome::kIoError;
        return report;
      }
    } else {
      for (std::size_t k = 0; k < length; ++k) report.written.push_back(plan.changes[i + k].block);
    }
    i += length;
  }
  for (const KeyChange& change : plan.keyChanges) {
    if (progress)
      progress(static_cast<int>(plan.changes.size() + report.keysChanged.size()), total);
    const std::string which =
        std::string(change.keyB ? "key B" : "key A") + " of " + Sector(change.sector);
    const Bytes from(change.from.begin(), change.from.end());
    const Bytes to(change.to.begin(), change.to.end());
    std::uint8_t status = Authenticate(info, change.sector, {change.keyB, from, {}});
    if (status != 0) {
      report.result = Failure(status, "authentication to change " + which);
      return report;
    }
    status = PLUSSL3Write(kSl3WriteEncryptedMaced, SectorKeyAddress(change.sector, change.keyB), 1,
                          change.to.data());
    // Proved at once: the new key must open the sector, else the key is lost.
    const std::uint8_t proof = Authenticate(info, change.sector, {change.keyB, to, {}});
    if (proof != 0) {
      const std::uint8_t old = Authenticate(info, change.sector, {change.keyB, from, {}});
      report.result = Failure(
          status != 0 ? status : proof,
          old == 0 ? "change of " + which + " (the card kept the old key)"
                   : "change of " + which + ": neither the old nor the new key opens the sector");
      report.result.outcome = Outcome::kIoError;
      return report;
    }
    report.keysChanged.push_back(change);
    std::string error;
    if (keySaved && !keySaved(change, &error)) {
      report.result = Refused(Outcome::kIoError, which + " changed on the card, but " + error);
      return report;
    }
  }
  if (progress) progress(total, total);
  return report;
}

namespace {

// Opens the sector of `block` with the single key of a block command.
Result OpenForBlock(const CardInfo& info, int block, const BlockKey& key) {
  if (info.level < 1 || info.level > 3)
    return Refused(Outcome::kBadInput, "block commands need a card at Level 1, 2 or 3");
  if (!info.sizeKnown || block >= BlockCount(info.size))
    return Refused(Outcome::kBadInput, "block " + std::to_string(block) + " lies beyond this card");
  const std::size_t wanted = info.level == 3 ? 16 : 6;
  if (key.key.size() != wanted)
    return Refused(Outcome::kBadInput, "Level " + std::to_string(info.level) + " needs a " +
                                           std::to_string(wanted) + "-byte key");
  if (info.level == 2 && key.aesKey.size() != 16)
    return Refused(Outcome::kBadInput, "Level 2 needs the sector's AES key as well (--aes-key)");
  const int sector = SectorOfBlock(block);
  const std::uint8_t status = Authenticate(info, sector, {key.keyB, key.key, key.aesKey});
  if (status != 0) return Failure(status, "authentication of " + Sector(sector));
  return {};
}

}  // namespace

Result ReadBlock(const CardInfo& info, int block, const BlockKey& key, Block* data) {
  if (Result opened = OpenForBlock(info, block, key); !opened.ok()) return opened;
  const std::uint8_t status = ReadRun(info, block, 1, data->data());
  if (status != 0) return Failure(status, "read of block " + std::to_string(block));
  return {};
}

Result WriteBlock(const CardInfo& info, int block, const BlockKey& key, const Block& data,
                  bool force) {
  if (block == 0)
    return Refused(Outcome::kBadInput, "block 0 (the manufacturer block) is never written");
  if (IsTrailer(block) && !AccessBitsConsistent(data.data() + 6)) {
    return Refused(
        Outcome::kBadInput,
        "the trailer's access bits do not match their complements and would lock the sector");
  }
  if (IsTrailer(block) && !force) {
    const auto effects = PermanentEffects(SectorOfBlock(block), data.data() + 6);
    if (!effects.empty())
      return Refused(Outcome::kBadInput, "refused: this would make permanent " +
                                             JoinEffects(effects) + " (--force writes it)");
  }
  if (Result opened = OpenForBlock(info, block, key); !opened.ok()) return opened;
  const std::uint8_t status = WriteRun(info, block, 1, data.data());
  if (status != 0) return Failure(status, "write of block " + std::to_string(block));
  return {};
}

Result ValueBlock(const CardInfo& info, int block, const BlockKey& key, ValueOp op,
                  std::int32_t operand, std::int32_t* value) {
  if (block == 0 || IsTrailer(block))
    return Refused(Outcome::kBadInput, "block " + std::to_string(block) + " cannot hold a value");
  if (info.level == 2) return Refused(Outcome::kBadInput, "value commands work at Levels 1 and 3");
  if (Result opened = OpenForBlock(info, block, key); !opened.ok()) return opened;
  const auto b = static_cast<unsigned char>(block);
  const auto b16 = static_cast<unsigned short>(block);
  std::uint8_t status = 0;
  if (op == ValueOp::kSet) {
    status = info.level == 1 ? PiccWriteValue(b, operand) : PLUSSL3WriteValue(0xA1, b16, operand);
  } else if (op == ValueOp::kIncrement || op == ValueOp::kDecrement) {
    const bool up = op == ValueOp::kIncrement;
    // The operation and the transfer back into the same block in one command.
    status = info.level == 1 ? PiccValue(up ? 0xC1 : 0xC0, b, operand, b)
                             : PLUSSL3ValueOperTran(up ? 0xB7 : 0xB9, b16, b16, operand);
  }
  if (status != 0) return Failure(status, "value command on block " + std::to_string(block));
  int read = 0;
  status = info.level == 1 ? PiccReadValue(b, &read)
                           : PLUSSL3ReadValue(kSl3ReadEncryptedMaced, b16, &read);
  if (status != 0) return Failure(status, "value read of block " + std::to_string(block));
  *value = read;
  return {};
}

Result Personalize(const CardInfo& info, const KeyFile& keys, bool commit, const Progress& progress,
                   bool force) {
  if (info.level != 0) {
    return Refused(Outcome::kBadInput,
                   "personalization needs a card at Level 0, this one is at Level " +
                       std::to_string(info.level));
  }
  struct Write {
    std::uint16_t address;
    Block data;
    std::string what;
  };
  std::vector<Write> writes;
  for (const auto& [sector, set] : keys.sectors) {
    for (const bool keyB : {false, true}) {
      const auto& aes = keyB ? set.aesB : set.aesA;
      if (aes) {
        Block block;
        std::copy(aes->begin(), aes->end(), block.begin());
        writes.push_back({SectorKeyAddress(sector, keyB), block,
                          Sector(sector) + (keyB ? " AES key B" : " AES key A")});
      }
    }
    if (set.crypto1A || set.crypto1B || set.access) {
      if (!set.crypto1A || !set.crypto1B) {
        return Refused(Outcome::kBadInput,
                       Sector(sector) + ": a trailer needs both CRYPTO1 keys in the key file");
      }
      Block trailer{};
      const AccessBytes access = set.access.value_or(AccessBytes{0xFF, 0x07, 0x80, 0x69});
      if (const auto effects = PermanentEffects(sector, access.data()); !effects.empty() && !force)
        return Refused(Outcome::kBadInput, Sector(sector) + ": the key file's access conditions " +
                                               "would make permanent " + JoinEffects(effects) +
                                               " (--force writes them)");
      std::copy(set.crypto1A->begin(), set.crypto1A->end(), trailer.begin());
      std::copy(access.begin(), access.end(), trailer.begin() + 6);
      std::copy(set.crypto1B->begin(), set.crypto1B->end(), trailer.begin() + 10);
      writes.push_back({static_cast<std::uint16_t>(TrailerOfSector(sector)), trailer,
                        Sector(sector) + " trailer"});
    }
  }
  for (std::uint16_t address = 0x9000; address <= 0x9003; ++address) {
    const auto found = keys.cardKeys.find(address);
    if (found == keys.cardKeys.end()) {
      if (commit) {
        char text[80];
        std::snprintf(text, sizeof text, "the commit needs card key %04X in the key file", address);
        return Refused(Outcome::kBadInput, text);
      }
      continue;
    }
    Block block;
    std::copy(found->second.begin(), found->second.end(), block.begin());
    char text[24];
    std::snprintf(text, sizeof text, "card key %04X", address);
    writes.push_back({address, block, text});
  }
  int done = 0;
  bool twoK = false;
  for (const Write& write : writes) {
    if (progress) progress(done++, static_cast<int>(writes.size()));
    // Sectors 32 to 39 exist on 4K cards only; a 2K card says so at the first of them.
    const bool upper = (write.address >= 0x4040 && write.address < 0x4050) ||
                       (write.address >= 128 && write.address < 256);
    if (upper && twoK) continue;
    const std::uint8_t status = PLUSWritePersoTCL(write.address, write.data.data());
    if (status == kCardNoSuchBlock && upper) {
      twoK = true;
      continue;
    }
    if (status != 0) return Failure(status, "personalization of " + write.what);
  }
  if (progress) progress(done, done);
  if (commit) {
    const std::uint8_t status = PLUSCommitPersoTCL();
    if (status != 0) return Failure(status, "commit");
  }
  return {};
}

Result SwitchLevel(const CardInfo& info, int level, const AesKey& key) {
  if (level != 2 && level != 3)
    return Refused(Outcome::kBadInput, "the level to switch to is 2 or 3");
  if (info.level < 1 || info.level >= level) {
    return Refused(Outcome::kBadInput, "a card at Level " + std::to_string(info.level) +
                                           " cannot switch to Level " + std::to_string(level));
  }
  if (level == 2 && info.sCard) return Refused(Outcome::kBadInput, "an S card has no Level 2");
  if (!info.layer4) {
    unsigned char ats[100];
    std::uint8_t status = PiccRATS(10, ats);
    if (status == 0) status = PiccPPS(0, 0);
    if (status != 0) return Failure(status, "layer 4 activation");
  }
  const std::uint8_t status = PLUSSL3FirstAuth(level == 2 ? 0x9002 : 0x9003, key.data());
  if (status != 0) return Failure(status, "switch to Level " + std::to_string(level));
  return {};
}

}  // namespace cardtools
