// The card map's model: a dump turned into cells and decoded trailers, without
// any widget.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <set>

#include "card_map_dumps.h"
#include "core/card_map.h"
#include "core/messages.h"

namespace {

using cardmap::BlockKind;

class CardMapModel : public ::testing::Test {
 protected:
  void SetUp() override { SetLanguage(Language::English); }
  void TearDown() override { SetLanguage(Language::SimplifiedChinese); }
};

struct KindCase {
  const char* name;
  cardtools::Dump dump;
  int sectors, cells;
  std::vector<std::tuple<int, int, BlockKind>> expected;  // sector, block in sector, kind
};

TEST_F(CardMapModel, EveryBlockOfTheCardGetsTheKindItHas) {
  const std::vector<KindCase> cases = {
      {"2K Level 1",
       testdumps::Card(1, cardtools::CardSize::k2K),
       32,
       128,
       {{0, 0, BlockKind::Manufacturer},
        {0, 1, BlockKind::Data},
        {0, 3, BlockKind::Trailer},
        {1, 1, BlockKind::Value},
        {31, 3, BlockKind::Trailer}}},
      {"4K Level 3",
       testdumps::Card(3, cardtools::CardSize::k4K),
       40,
       256,
       {{0, 0, BlockKind::Manufacturer},
        {1, 1, BlockKind::Value},
        {32, 0, BlockKind::Data},
        {32, 14, BlockKind::Data},
        {32, 15, BlockKind::Trailer},
        {39, 15, BlockKind::Trailer}}},
      {"partial 4K Level 1",
       testdumps::Partial(),
       40,
       256,
       {{0, 0, BlockKind::Manufacturer},
        {2, 0, BlockKind::NotRead},
        {2, 3, BlockKind::NotRead},
        {3, 0, BlockKind::Data},
        {3, 1, BlockKind::NotRead},
        {3, 3, BlockKind::Trailer},
        {33, 15, BlockKind::NotRead}}},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<cardmap::SectorRow> rows = cardmap::BuildRows(c.dump);
    ASSERT_EQ(static_cast<int>(rows.size()), c.sectors);
    int cells = 0, block = 0;
    for (const cardmap::SectorRow& row : rows) {
      for (const cardmap::Cell& cell : row.cells) {
        EXPECT_EQ(cell.block, block++) << "blocks run on without a gap";
        ++cells;
      }
    }
    EXPECT_EQ(cells, c.cells);
    for (const auto& [sector, index, kind] : c.expected) {
      const cardmap::Cell& cell =
          rows[static_cast<std::size_t>(sector)].cells.at(static_cast<std::size_t>(index));
      EXPECT_EQ(cell.kind, kind) << "sector " << sector << " block " << index;
    }
  }
}

TEST_F(CardMapModel, ValueBlocksAreRecognisedOnlyWithTheirWholeLayout) {
  struct Case {
    const char* name;
    cardtools::Block block;
    std::optional<std::int32_t> value;
  };
  const cardtools::Block minusOne = testdumps::ValueBlock(-1, 0x22);
  cardtools::Block badCopy = testdumps::ValueBlock(100, 5);
  badCopy[9] ^= 1;
  cardtools::Block badInverse = testdumps::ValueBlock(100, 5);
  badInverse[4] ^= 0x80;
  cardtools::Block badAddress = testdumps::ValueBlock(100, 5);
  badAddress[13] = 5;
  const std::vector<Case> cases = {
      {"value 100", testdumps::ValueBlock(100, 5), 100},
      {"value -1", minusOne, -1},
      {"largest", testdumps::ValueBlock(0x7FFFFFFF, 0), 0x7FFFFFFF},
      {"copy differs", badCopy, std::nullopt},
      {"inverse differs", badInverse, std::nullopt},
      {"address not inverted", badAddress, std::nullopt},
      {"zeros", cardtools::Block{}, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parsed = cardmap::ParseValueBlock(c.block);
    ASSERT_EQ(parsed.has_value(), c.value.has_value()) << c.name;
    if (parsed) {
      EXPECT_EQ(parsed->value, *c.value) << c.name;
    }
  }
  // The cell carries the value and the address byte into its description.
  const auto rows = cardmap::BuildRows(testdumps::Card(1, cardtools::CardSize::k2K));
  const cardmap::Cell& cell = rows[1].cells[1];
  EXPECT_EQ(cell.value, testdumps::kValue);
  EXPECT_EQ(cardmap::CellDescription(1, cell),
            QStringLiteral("Sector 0x01, block 1 (block number 5): Value %1, address byte 05")
                .arg(testdumps::kValue));
  EXPECT_TRUE(cardmap::CellText(cell).contains(QString::number(testdumps::kValue)));
}

struct TrailerCase {
  const char* name;
  cardtools::Dump dump;
  int sector;
  bool read, valid, keyBReadable;
  std::vector<QString> lines;  // each must be among the decoded lines
  std::vector<QString> absent;
};

TEST_F(CardMapModel, TrailersAreDecodedInTheWordsOfTheAccessTables) {
  cardtools::Dump locked = testdumps::Card(1, cardtools::CardSize::k2K);
  locked.blocks[7][8] ^= 0x01;  // a complement that no longer matches
  cardtools::Dump refused = testdumps::Card(1, cardtools::CardSize::k2K);
  refused.sectors[4].status = "key refused";
  const std::vector<TrailerCase> cases = {
      {"transport trailer at Level 1",
       testdumps::Card(1, cardtools::CardSize::k2K),
       0,
       true,
       true,
       true,
       {QStringLiteral("Sector 0x00, trailer block 3: read"),
        QStringLiteral("Key A: known, FFFFFFFFFFFF"), QStringLiteral("Key B: known, FFFFFFFFFFFF"),
        QStringLiteral("Access bits FF 07 80 69, general purpose byte 69"),
        QStringLiteral("Block 0 (0 0 0): Read: Key A|B, Write: Key A|B, Increment: Key A|B, "
                       "Decrement, Transfer, Restore: Key A|B"),
        QStringLiteral("Access conditions of the key block (0 0 1): Key A Read: Never, Write: "
                       "Key A; Access bits Read: Key A, Write: Key A; Key B Read: Key A, Write: "
                       "Key A"),
        QStringLiteral("Key B can be read: it holds data, not a key")},
       {}},
      {"value sector at Level 1 (row 110 on block 1, trailer 011)",
       testdumps::Card(1, cardtools::CardSize::k2K),
       1,
       true,
       true,
       false,
       {QStringLiteral("Block 1 (1 1 0): Read: Key A|B, Write: Key B, Increment: Key B, "
                       "Decrement, Transfer, Restore: Key A|B"),
        QStringLiteral("Access conditions of the key block (0 1 1): Key A Read: Never, Write: "
                       "Key B; Access bits Read: Key A|B, Write: Key B; Key B Read: Never, "
                       "Write: Key B")},
       {QStringLiteral("Key B can be read: it holds data, not a key")}},
      {"large sector at Level 3: groups of five, AES keys kept outside",
       testdumps::Card(3, cardtools::CardSize::k4K),
       33,
       true,
       true,
       false,
       {QStringLiteral("Sector 0x21, trailer block 159: read"),
        QStringLiteral("Key A: known, FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"),
        QStringLiteral("Key B: not known"),
        QStringLiteral("Blocks 10-14 (0 0 0): Read: Key A|B, Write: Key A|B, Increment: Key "
                       "A|B, Decrement, Transfer, Restore: Key A|B")},
       {QStringLiteral("Key B can be read: it holds data, not a key")}},
      {"complement broken",
       locked,
       1,
       true,
       false,
       false,
       {QStringLiteral("The access bits do not match their complements: the card treats this "
                       "sector as locked")},
       {}},
      {"keys of a refused sector prove nothing",
       refused,
       4,
       true,
       true,
       true,
       {QStringLiteral("Key A: not known"), QStringLiteral("Key B: known, FFFFFFFFFFFF")},
       {}},
      {"trailer not read",
       testdumps::Partial(),
       2,
       false,
       false,
       false,
       {QStringLiteral("Sector 0x02, trailer block 11: not read"),
        QStringLiteral("Key A: not known"),
        QStringLiteral("The trailer was not read: its access conditions are not known")},
       {}},
  };
  for (const TrailerCase& c : cases) {
    SCOPED_TRACE(c.name);
    const cardmap::TrailerInfo info = cardmap::DecodeTrailer(c.dump, c.sector);
    EXPECT_EQ(info.read, c.read);
    EXPECT_EQ(info.accessValid, c.valid);
    EXPECT_EQ(info.keyBReadable, c.keyBReadable);
    const QStringList lines = cardmap::TrailerLines(info);
    for (const QString& line : c.lines) {
      EXPECT_TRUE(lines.contains(line)) << line.toStdString() << "\nnot among:\n"
                                        << lines.join(u'\n').toStdString();
    }
    for (const QString& line : c.absent) EXPECT_FALSE(lines.contains(line)) << line.toStdString();
    if (!c.valid) {
      EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("Read:")))
          << "no conditions are made up for bits that cannot be decoded";
    }
  }
}

TEST_F(CardMapModel, DumpFilesAreReadWithTheCardToolsParser) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const cardtools::Dump original = testdumps::Partial();
  const QString good = dir.filePath(QStringLiteral("card.json"));
  ASSERT_TRUE(testdumps::Write(original, good));
  cardtools::Dump loaded;
  QString error;
  ASSERT_TRUE(cardmap::LoadDump(good, &loaded, &error)) << error.toStdString();
  EXPECT_EQ(loaded.blocks.size(), original.blocks.size());
  EXPECT_EQ(loaded.sectors.at(2).status, "key missing");

  struct Bad {
    const char* name;
    QByteArray content;  // empty: no file at all
    const char* says;
  };
  const std::vector<Bad> cases = {
      {"missing", {}, "Bad"},
      {"not a dump", R"({"FileType": "mfpkeys"})", "not a card dump"},
      {"block beyond a 2K card",
       R"({"FileType": "mfcard", "Card": {"UID": "01020304", "Size": "2K"},
           "blocks": {"200": "00000000000000000000000000000000"}})",
       "beyond"},
      {"not JSON", "blocks", ""},
  };
  for (const Bad& c : cases) {
    const QString path = dir.filePath(QStringLiteral("Bad %1.json").arg(QLatin1String(c.name)));
    if (!c.content.isEmpty()) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(c.content);
    }
    cardtools::Dump untouched = original;
    error.clear();
    EXPECT_FALSE(cardmap::LoadDump(path, &untouched, &error)) << c.name;
    EXPECT_TRUE(error.startsWith(QStringLiteral("The dump file cannot be used:\n"))) << c.name;
    EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
    EXPECT_EQ(untouched.blocks.size(), original.blocks.size()) << "a failed load changed the dump";
  }
}

// Each kind has its own text in every language, so the legend and the cells
// never show two kinds alike.
TEST_F(CardMapModel, KindsHaveDistinctTextsInEveryLanguage) {
  for (const Language language :
       {Language::SimplifiedChinese, Language::TraditionalChinese, Language::English}) {
    SetLanguage(language);
    std::set<QString> texts;
    for (int k = 0; k < cardmap::kBlockKinds; ++k) {
      const QString text = cardmap::KindText(static_cast<BlockKind>(k));
      EXPECT_FALSE(text.isEmpty());
      texts.insert(text);
    }
    EXPECT_EQ(static_cast<int>(texts.size()), cardmap::kBlockKinds);
  }
}

}  // namespace
