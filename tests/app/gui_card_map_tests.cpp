// The card map window on the offscreen platform: filled from dumps, read through
// the accessibility interface, wired to the main window's boxes, and rendered to
// PNG files under the build folder for a person to look at.
#include <QAccessible>
#include <QAccessibleInterface>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "card_map_dumps.h"
#include "gui/card_map_window.h"
#include "window_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

using cardmap::BlockKind;

class CardMap : public WindowTest {
 protected:
  CardMapWindow& Map() { return CardMapOf(window()); }

  // What assistive technology reads for a cell of the table.
  static QString CellName(CardMapWindow& map, int row, int column) {
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(map.table());
    if (table == nullptr || table->tableInterface() == nullptr) return {};
    QAccessibleInterface* cell = table->tableInterface()->cellAt(row, column);
    return cell == nullptr ? QString() : cell->text(QAccessible::Name);
  }
  static QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face == nullptr ? QString() : face->text(QAccessible::Name);
  }
  static BlockKind KindOf(CardMapWindow& map, int sector, int block) {
    QTableWidgetItem* item = map.cell(sector, block);
    return item == nullptr ? static_cast<BlockKind>(-1)
                           : static_cast<BlockKind>(item->data(Qt::UserRole).toInt());
  }
  void Render(CardMapWindow& map, const QString& name) {
    map.show();
    QCoreApplication::processEvents();
    const QImage image = map.grab().toImage();
    ASSERT_FALSE(image.isNull());
    const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
    ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
    EXPECT_TRUE(image.save(out.filePath(name)));
  }
};

struct FillCase {
  const char* name;
  cardtools::Dump dump;
  const char* png;  // rendered when set
  int rows, columns;
  std::vector<std::tuple<int, int, BlockKind>> cells;
  int sector;           // selected, then its trailer read through accessibility
  const char* trailer;  // a line of the decoded trailer
};

TEST_F(CardMap, FillsFromDumpsAndTellsAssistiveTechnologyWhatEachCellIs) {
  SetLanguage(Language::English);
  Open();
  const std::vector<FillCase> cases = {
      {"2K Level 1",
       testdumps::Card(1, cardtools::CardSize::k2K),
       "card_map_2k_level1.png",
       32,
       4,
       {{0, 0, BlockKind::Manufacturer}, {1, 1, BlockKind::Value}, {5, 3, BlockKind::Trailer}},
       1,
       "Block 1 (1 1 0): Read: Key A|B, Write: Key B"},
      {"4K Level 3",
       testdumps::Card(3, cardtools::CardSize::k4K),
       "card_map_4k_level3.png",
       40,
       16,
       {{31, 2, BlockKind::Data}, {32, 15, BlockKind::Trailer}, {39, 0, BlockKind::Data}},
       35,
       "Blocks 5-9 (0 0 0): Read: Key A|B"},
      {"4K Level 1 partial",
       testdumps::Partial(),
       "card_map_4k_partial.png",
       40,
       16,
       {{2, 0, BlockKind::NotRead}, {3, 0, BlockKind::Data}, {3, 2, BlockKind::NotRead}},
       2,
       "The trailer was not read: its access conditions are not known"},
  };
  for (const FillCase& c : cases) {
    SCOPED_TRACE(c.name);
    CardMapWindow& map = Map();
    map.ShowDump(c.dump, QStringLiteral("test"));
    ASSERT_EQ(map.table()->rowCount(), c.rows);
    EXPECT_EQ(map.table()->columnCount(), c.columns);
    for (const auto& [sector, block, kind] : c.cells) {
      EXPECT_EQ(KindOf(map, sector, block), kind) << sector << "/" << block;
      const QString name = CellName(map, sector, block);
      EXPECT_TRUE(name.startsWith(QString::asprintf("Sector 0x%02X, block %d (", sector, block)))
          << name.toStdString();
      // A value cell says its value, not only by colour.
      EXPECT_TRUE(
          kind == BlockKind::Value
              ? name.contains(QStringLiteral("Value %1, address byte").arg(testdumps::kValue))
              : name.endsWith(cardmap::KindText(kind)))
          << name.toStdString();
    }
    // A small sector leaves the columns of a large one empty: no cell there.
    if (c.columns == 16) {
      EXPECT_EQ(map.cell(0, 4), nullptr);
    }
    map.SelectSector(c.sector);
    const QString trailer = AccessibleName(map.trailerLabel());
    EXPECT_TRUE(trailer.contains(QLatin1String(c.trailer))) << trailer.toStdString();
    EXPECT_EQ(trailer, map.trailerLabel()->text()) << "the label exposes what it shows";
    Render(map, QLatin1String(c.png));
  }
  // The operator's default language, for a person to look at.
  SetLanguage(Language::SimplifiedChinese);
  CardMapWindow chinese;
  chinese.ShowDump(testdumps::Partial(), QStringLiteral("card.json"));
  chinese.SelectSector(3);
  Render(chinese, QStringLiteral("card_map_4k_partial_zh.png"));
}

TEST_F(CardMap, ControlsAreNamedForAssistiveTechnology) {
  MainWindow& w = Open();
  w.RunCommand(32829);
  CardMapWindow& map = Map();
  EXPECT_TRUE(map.isVisible());
  EXPECT_FALSE(map.hasDump());
  EXPECT_EQ(AccessibleName(map.findChild<QLabel*>(QStringLiteral("cardLabel"))), LoadMessage(2422));
  map.ShowDump(testdumps::Card(1, cardtools::CardSize::k2K), QStringLiteral("x.json"));
  for (QWidget* widget : map.findChildren<QWidget*>()) {
    const bool control = qobject_cast<QAbstractButton*>(widget) != nullptr ||
                         qobject_cast<QAbstractItemView*>(widget) != nullptr ||
                         (qobject_cast<QLabel*>(widget) != nullptr && widget->isVisible());
    // Skip the table's own parts (headers, corner button, scroll bars).
    if (!control || widget->objectName().isEmpty() ||
        widget->objectName().startsWith(QStringLiteral("qt_")) ||
        widget->objectName() == QStringLiteral("statusLabel")) {
      continue;
    }
    EXPECT_FALSE(AccessibleName(widget).isEmpty()) << widget->objectName().toStdString();
  }
  // Every legend entry names a kind.
  for (int k = 0; k < cardmap::kBlockKinds; ++k) {
    const QString text = cardmap::KindText(static_cast<BlockKind>(k));
    bool found = false;
    for (QLabel* label : map.findChildren<QLabel*>()) {
      found = found || (label->objectName().startsWith(QStringLiteral("legend_")) &&
                        AccessibleName(label) == text);
    }
    EXPECT_TRUE(found) << text.toStdString();
  }
}

TEST_F(CardMap, MenuItemSitsBesideReadAllSectors) {
  MainWindow& w = Open();
  QMenu* tools = w.findChild<QMenu*>(QStringLiteral("toolsMenu"));
  ASSERT_NE(tools, nullptr);
  const QList<QAction*> items = tools->actions();
  const qsizetype read = items.indexOf(w.action(MainWindow::kReadAllSectors));
  ASSERT_GE(read, 0);
  ASSERT_LT(read + 1, items.size());
  EXPECT_EQ(items[read + 1], w.action(32829));
  EXPECT_EQ(items[read + 1]->text(), LoadMessage(2410));
  EXPECT_TRUE(items[read + 1]->isEnabled()) << "a dump file needs no reader";
}

// A double-click (or Enter) puts the block into the main window's boxes, as if the
// operator had chosen it there; a trailer is not offered in the block box.
TEST_F(CardMap, DoubleClickChoosesTheBlockInTheMainWindow) {
  MainWindow& w = Open();
  CardMapWindow& map = Map();
  map.ShowDump(testdumps::Card(1, cardtools::CardSize::k4K), QStringLiteral("test"));
  map.resize(1000, 900);
  map.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&map));
  struct Case {
    int sector, block;
    int wantBlockBox;  // -1: the block box keeps its block
    int message;
  };
  const std::vector<Case> cases = {
      {5, 2, 2, 2435}, {33, 14, 14, 2435}, {0, 0, 0, 2435}, {7, 3, -1, 2436}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sector * 100 + c.block);
    const int before = w.blockBox()->currentData().toInt();
    QTableWidget* table = map.table();
    QTableWidgetItem* item = map.cell(c.sector, c.block);
    ASSERT_NE(item, nullptr);
    table->scrollToItem(item);
    const QRect rect = table->visualItemRect(item);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(w.SelectedSector(), c.sector);
    EXPECT_EQ(w.blockBox()->currentData().toInt(), c.wantBlockBox < 0 ? before : c.wantBlockBox);
    EXPECT_EQ(w.BlockAddress(MainWindow::BlockBox::Block),
              MainWindow::BlockAddress(c.sector, w.blockBox()->currentData().toInt()))
        << "the window's own handlers ran";
    const QString status = AccessibleName(map.findChild<QLabel*>(QStringLiteral("statusLabel")));
    EXPECT_EQ(status, c.message == 2435 ? FormatMessage(c.message, c.sector, c.block)
                                        : FormatMessage(c.message, c.sector));
  }
  // Enter on the current cell does the same.
  map.table()->setFocus();
  map.table()->setCurrentCell(9, 1);
  QTest::keyClick(map.table(), Qt::Key_Return);
  EXPECT_EQ(w.SelectedSector(), 9);
  EXPECT_EQ(w.blockBox()->currentData().toInt(), 1);
}

TEST_F(CardMap, OpensADumpFileAndKeepsTheMapWhenAFileCannotBeUsed) {
  Open();
  CardMapWindow& map = Map();
  const QString good = TempPath(QStringLiteral("card.json"));
  ASSERT_TRUE(testdumps::Write(testdumps::Card(3, cardtools::CardSize::k2K), good));
  const QString bad = TempPath(QStringLiteral("keys.json"));
  {
    QFile file(bad);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"FileType": "mfpkeys"})");
  }
  prompts_.QueueOpenPath(good);
  map.findChild<QPushButton*>(QStringLiteral("openDumpButton"))->click();
  ASSERT_TRUE(map.hasDump());
  EXPECT_EQ(map.table()->rowCount(), 32);
  EXPECT_TRUE(map.findChild<QLabel*>(QStringLiteral("cardLabel"))->text().contains(good));
  EXPECT_EQ(prompts_.shown().size(), 1);

  prompts_.QueueOpenPath(bad);
  map.OpenDumpFile();
  ASSERT_EQ(prompts_.shown().size(), 3);
  EXPECT_EQ(prompts_.shown()[2].kind, ScriptedPrompts::Shown::Kind::Message);
  EXPECT_TRUE(prompts_.shown()[2].text.contains(QStringLiteral("not a card dump")));
  EXPECT_TRUE(map.findChild<QLabel*>(QStringLiteral("cardLabel"))->text().contains(good))
      << "the map still shows the dump that could be used";

  prompts_.QueueOpenPath(QString());  // cancelled
  map.OpenDumpFile();
  EXPECT_EQ(map.table()->rowCount(), 32);
}

}  // namespace
