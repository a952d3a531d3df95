#include "core/card_map.h"

#include <algorithm>

#include "core/messages.h"

namespace cardmap {

namespace {

constexpr int kMsgKinds = 2411;       // 2411..2415 in BlockKind order
constexpr int kMsgShortKinds = 2443;  // the same, short enough for a cell
constexpr int kMsgCell = 2416;
constexpr int kMsgValue = 2417;
constexpr int kMsgSummary = 2423;
constexpr int kMsgTrailerHeading = 2424;
constexpr int kMsgKeyAKnown = 2425;
constexpr int kMsgKeyANotKnown = 2426;
constexpr int kMsgKeyBKnown = 2427;
constexpr int kMsgKeyBNotKnown = 2428;
constexpr int kMsgKeyBIsData = 2429;
constexpr int kMsgAccessBytes = 2430;
constexpr int kMsgAccessLocked = 2431;
constexpr int kMsgTrailerNotRead = 2432;
constexpr int kMsgStatusRead = 2433;
constexpr int kMsgStatusNotRead = 2442;
constexpr int kMsgDumpUnusable = 2421;
// Captions of the data groups: "block 0".."block 2" and "blocks 0-4".."blocks 10-14".
constexpr int kMsgSmallGroups = 2340;
constexpr int kMsgLargeGroups = 2355;

std::int32_t LittleEndian(const std::uint8_t* bytes) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
      static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
}

QString Ui(const char* name) {
  return UiText(QString::fromLatin1(name));
}

// A heading of the access tables on one line ("Decrement,\nTransfer,\nRestore").
QString Heading(const char* name) {
  return Ui(name).replace(u'\n', u' ');
}

QString Right(const char* heading, int rights) {
  return Heading(heading) + QStringLiteral(": ") + RightsText(rights);
}

QString Hex(const std::string& text) {
  return QString::fromStdString(text);
}

bool SectorOpened(const cardtools::Dump& dump, int sector) {
  const auto it = dump.sectors.find(sector);
  // A dump without sector records came from a tool that reads only what it opened.
  if (it == dump.sectors.end()) return true;
  return it->second.status == "read" || it->second.status == "partial";
}

}  // namespace

std::optional<ValueContent> ParseValueBlock(const cardtools::Block& data) {
  const std::uint8_t* d = data.data();
  for (int i = 0; i < 4; ++i) {
    if (d[i] != d[i + 8] || static_cast<std::uint8_t>(~d[i]) != d[i + 4]) return std::nullopt;
  }
  if (d[12] != d[14] || d[13] != d[15] || static_cast<std::uint8_t>(~d[12]) != d[13]) {
    return std::nullopt;
  }
  return ValueContent{LittleEndian(d), d[12]};
}

std::vector<SectorRow> BuildRows(const cardtools::Dump& dump) {
  std::vector<SectorRow> rows;
  const int sectors = cardtools::SectorCount(dump.size);
  rows.reserve(static_cast<std::size_t>(sectors));
  for (int sector = 0; sector < sectors; ++sector) {
    SectorRow row;
    row.sector = sector;
    const auto record = dump.sectors.find(sector);
    if (record != dump.sectors.end()) row.status = record->second.status;
    const int first = cardtools::FirstBlockOfSector(sector);
    const int count = cardtools::BlocksInSector(sector);
    for (int i = 0; i < count; ++i) {
      Cell cell;
      cell.block = first + i;
      cell.blockInSector = i;
      const auto found = dump.blocks.find(cell.block);
      if (found == dump.blocks.end()) {
        cell.kind = BlockKind::NotRead;
      } else {
        cell.data = found->second;
        if (cell.block == 0) {
          cell.kind = BlockKind::Manufacturer;
        } else if (cardtools::IsTrailer(cell.block)) {
          cell.kind = BlockKind::Trailer;
        } else if (const auto value = ParseValueBlock(cell.data)) {
          cell.kind = BlockKind::Value;
          cell.value = value->value;
          cell.address = value->address;
        } else {
          cell.kind = BlockKind::Data;
        }
      }
      row.cells.push_back(cell);
    }
    if (row.status.empty()) {
      // No record: whatever blocks the dump holds say whether the sector was read.
      const bool any = std::any_of(row.cells.begin(), row.cells.end(),
                                   [](const Cell& c) { return c.kind != BlockKind::NotRead; });
      row.status = any ? "read" : "not read";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

TrailerInfo DecodeTrailer(const cardtools::Dump& dump, int sector) {
  TrailerInfo info;
  info.sector = sector;
  info.block = cardtools::TrailerOfSector(sector);
  info.largeSector = cardtools::BlocksInSector(sector) > 4;
  info.keysInTrailer = dump.level != 3;
  const auto record = dump.sectors.find(sector);
  // The keys the dump names are the ones tried; only an opened sector proves them.
  if (record != dump.sectors.end() && SectorOpened(dump, sector)) {
    info.keyA = Hex(record->second.keyA);
    info.keyB = Hex(record->second.keyB);
  }
  const auto block = dump.blocks.find(info.block);
  if (block == dump.blocks.end()) return info;
  info.read = true;
  const cardtools::Block& t = block->second;
  std::copy(t.begin() + 6, t.begin() + 10, info.accessBytes.begin());
  info.generalPurpose = t[9];
  info.accessValid = accessbits::Decode(t.data() + 6, &info.rows);
  if (info.accessValid && info.keysInTrailer) {
    info.keyBReadable = accessbits::KeyBReadable(info.rows[3]);
    // Readable key B is data that the trailer itself shows.
    if (info.keyBReadable && info.keyB.isEmpty()) {
      info.keyB = QString::fromStdString(cardtools::ToHex(t.data() + 10, 6));
    }
  }
  return info;
}

QString RightsText(int rights) {
  switch (rights) {
    case accessbits::kEither:
      return Ui("113.either");
    case accessbits::kKeyA:
      return Ui("113.keyA");
    case accessbits::kKeyB:
      return Ui("113.keyB");
    default:
      return Ui("113.never");
  }
}

QString RowBitsText(int row) {
  const int v = accessbits::RowValue(row);
  return QStringLiteral("%1 %2 %3").arg((v >> 2) & 1).arg((v >> 1) & 1).arg(v & 1);
}

QStringList TrailerLines(const TrailerInfo& info) {
  QStringList lines;
  const std::string status = info.read ? "read" : "not read";
  lines << FormatMessage(kMsgTrailerHeading, info.sector, info.block,
                         qUtf8Printable(StatusText(status)));
  lines << (info.keyA.isEmpty() ? LoadMessage(kMsgKeyANotKnown)
                                : FormatMessage(kMsgKeyAKnown, qUtf8Printable(info.keyA)));
  lines << (info.keyB.isEmpty() ? LoadMessage(kMsgKeyBNotKnown)
                                : FormatMessage(kMsgKeyBKnown, qUtf8Printable(info.keyB)));
  if (!info.read) {
    lines << LoadMessage(kMsgTrailerNotRead);
    return lines;
  }
  const QString bytes = QString::fromStdString(cardtools::ToHex(info.accessBytes, " "));
  lines << FormatMessage(kMsgAccessBytes, qUtf8Printable(bytes), info.generalPurpose);
  if (!info.accessValid) {
    lines << LoadMessage(kMsgAccessLocked);
    return lines;
  }
  using accessbits::DataOp;
  using accessbits::Part;
  const int firstGroup = info.largeSector ? kMsgLargeGroups : kMsgSmallGroups;
  for (int group = 0; group < 3; ++group) {
    const int row = info.rows[static_cast<std::size_t>(group)];
    lines << LoadMessage(firstGroup + 5 * group) + QStringLiteral(" (") + RowBitsText(row) +
                 QStringLiteral("): ") +
                 QStringList{Right("113.read", accessbits::DataRights(row, DataOp::Read)),
                             Right("113.write", accessbits::DataRights(row, DataOp::Write)),
                             Right("113.increment", accessbits::DataRights(row, DataOp::Increment)),
                             Right("113.decrement", accessbits::DataRights(row, DataOp::Decrement))}
                     .join(QStringLiteral(", "));
  }
  const int row = info.rows[3];
  QStringList parts;
  const char* columns[3] = {"113.keyAColumn", "113.accessColumn", "113.keyBColumn"};
  for (int p = 0; p < 3; ++p) {
    const auto part = static_cast<Part>(p);
    parts << Heading(columns[p]) + QStringLiteral(" ") +
                 Right("113.readShort", accessbits::TrailerReadRights(row, part)) +
                 QStringLiteral(", ") +
                 Right("113.writeShort", accessbits::TrailerWriteRights(row, part));
  }
  lines << Heading("113.trailerTable") + QStringLiteral(" (") + RowBitsText(row) +
               QStringLiteral("): ") + parts.join(QStringLiteral("; "));
  if (info.keyBReadable) lines << LoadMessage(kMsgKeyBIsData);
  return lines;
}

QString KindText(BlockKind kind) {
  return LoadMessage(kMsgKinds + static_cast<int>(kind));
}

QString CellText(const Cell& cell) {
  const QString kind = LoadMessage(kMsgShortKinds + static_cast<int>(cell.kind));
  if (cell.kind == BlockKind::Value)
    return kind + QStringLiteral(" ") + QString::number(cell.value);
  return kind;
}

QString CellDescription(int sector, const Cell& cell) {
  QString what = KindText(cell.kind);
  if (cell.kind == BlockKind::Value) {
    what = FormatMessage(kMsgValue, qUtf8Printable(what), static_cast<int>(cell.value),
                         static_cast<int>(cell.address));
  }
  return FormatMessage(kMsgCell, sector, cell.blockInSector, cell.block, qUtf8Printable(what));
}

QString CardSummary(const cardtools::Dump& dump, const QString& source) {
  return FormatMessage(kMsgSummary, cardtools::ToHex(dump.card.uid).c_str(), dump.level,
                       cardtools::SizeName(dump.size), qUtf8Printable(source));
}

QString StatusText(const std::string& status) {
  if (status == "read") return LoadMessage(kMsgStatusRead);
  if (status == "key missing") return UiText(QStringLiteral("readAll.keyMissing"));
  if (status == "key refused") return UiText(QStringLiteral("readAll.keyRefused"));
  if (status == "partial") return UiText(QStringLiteral("readAll.partial"));
  if (status == "not read") return LoadMessage(kMsgStatusNotRead);
  return QString::fromStdString(status);  // a status some other tool wrote
}

bool LoadDump(const QString& path, cardtools::Dump* dump, QString* error) {
  std::string text, why;
  if (!cardtools::ReadFile(path.toStdString(), &text, &why) ||
      !cardtools::ParseDump(text, dump, &why)) {
    *error = FormatMessage(kMsgDumpUnusable, why.c_str());
    return false;
  }
  return true;
}

}  // namespace cardmap
