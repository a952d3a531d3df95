#include "core/read_all_plan.h"

#include <algorithm>

#include "core/card_text.h"
#include "core/messages.h"

namespace {

QString Text(const char* name) {
  return UiText(QStringLiteral("readAll.") + QLatin1String(name));
}

QString Hex2(int value) {
  return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

cardtools::KeyFile KeysForEverySector(int level, bool aes, bool keyB, const std::uint8_t* key,
                                      const std::uint8_t* aesKey) {
  cardtools::KeyFile result;
  for (int sector = 0; sector < 40; ++sector) {
    cardtools::SectorKeys& set = result.sectors[sector];
    if (aes || level == 2) {
      cardtools::AesKey value;
      std::copy(aes ? key : aesKey, (aes ? key : aesKey) + 16, value.begin());
      (keyB ? set.aesB : set.aesA) = value;
    }
    if (!aes) {
      cardtools::Crypto1Key value;
      std::copy(key, key + 6, value.begin());
      (keyB ? set.crypto1B : set.crypto1A) = value;
    }
  }
  return result;
}

QString SectorEntry(int level, int sector, const cardtools::Dump& dump) {
  const cardtools::SectorRecord& record = dump.sectors.at(sector);
  if (record.status == "read") {
    QString entry = Text("sector").arg(level).arg(Hex2(sector));
    const int first = cardtools::FirstBlockOfSector(sector);
    for (int block = first; block < first + cardtools::BlocksInSector(sector); ++block) {
      entry += BlockDataText(dump.blocks.at(block).data(), 1);
    }
    return entry;
  }
  const char* reason = record.status == "key missing"   ? "keyMissing"
                       : record.status == "key refused" ? "keyRefused"
                                                        : "partial";
  return Text("sectorFailed").arg(level).arg(Hex2(sector)).arg(Text(reason));
}
