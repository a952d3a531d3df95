// The card tools' file parsers and restore planner fed hostile files: a dump and a
// key file, separated by a line "--". Beyond not crashing: a parsed dump survives
// its own rewrite, and a restore plan never holds block 0, a block beyond the card,
// a trailer with access bits that do not match or (without force) that no key can
// write again, or a Level 1/2 trailer whose keys the dump does not hold.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cardtools/card.h"
#include "cardtools/files.h"

namespace {

using namespace cardtools;

void Check(bool condition) {
  if (!condition) std::abort();
}

// What a card that every key opened holds: zeros and transport trailers.
Dump FreshCard(const Dump& like) {
  Dump card;
  card.card = like.card;
  card.size = like.size;
  card.level = like.level;
  const std::string key = like.level == 3 ? std::string(32, 'F') : std::string(12, 'F');
  for (int block = 0; block < BlockCount(card.size); ++block) {
    Block data{};
    if (IsTrailer(block)) {
      const auto trailer = ParseHexSized("FFFFFFFFFFFFFF078069FFFFFFFFFFFF", 16);
      std::copy(trailer->begin(), trailer->end(), data.begin());
    }
    card.blocks[block] = data;
  }
  for (int sector = 0; sector < SectorCount(card.size); ++sector)
    card.sectors[sector].keyA = card.sectors[sector].keyB = key;
  return card;
}

void CheckPlan(const Dump& wanted, const Dump& current, const RestorePlan& plan, bool force) {
  for (const BlockChange& change : plan.changes) {
    Check(change.block > 0 && change.block < BlockCount(current.size));
    if (!IsTrailer(change.block)) continue;
    Check(AccessBitsConsistent(change.to.data() + 6));
    if (!force) Check(PermanentEffects(SectorOfBlock(change.block), change.to.data() + 6).empty());
    if (wanted.level != 3) {
      const SectorRecord& record = wanted.sectors.at(SectorOfBlock(change.block));
      Check(record.keyA == ToHex(change.to.data(), 6));
      if (!KeyBReadable(DecodeAccess(change.to.data() + 6)[3]))
        Check(record.keyB == ToHex(change.to.data() + 10, 6));
    }
  }
  for (const KeyChange& change : plan.keyChanges)
    Check(change.sector >= 0 && change.sector < SectorCount(current.size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool force = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto split = text.find("\n--\n");
  const std::string dumpText = text.substr(0, split);
  const std::string keyText = split == std::string::npos ? text : text.substr(split + 4);

  std::string error;
  KeyFile keys;
  const bool haveKeys = ParseKeyFile(keyText, &keys, &error);
  if (haveKeys) {
    KeyFile again;
    Check(ParseKeyFile(SerializeKeyFile(keys), &again, &error));
    Check(again.sectors.size() == keys.sectors.size() && again.cardKeys == keys.cardKeys);
  }
  Dump wanted;
  if (!ParseDump(dumpText, &wanted, &error)) return 0;
  Dump again;
  Check(ParseDump(SerializeDump(wanted), &again, &error));
  Check(again.blocks == wanted.blocks && again.level == wanted.level && again.size == wanted.size);
  Check(DumpImage(wanted).size() == static_cast<std::size_t>(BlockCount(wanted.size)) * 16);

  const Dump current = FreshCard(wanted);
  for (const bool withTrailers : {false, true}) {
    const RestorePlan plan =
        PlanRestore(wanted, current, haveKeys ? &keys : nullptr, {withTrailers, force});
    CheckPlan(wanted, current, plan, force);
    if (!withTrailers) {
      for (const BlockChange& change : plan.changes) Check(!IsTrailer(change.block));
    }
  }
  return 0;
}
