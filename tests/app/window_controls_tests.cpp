// The main window's boxes: block addressing, the block-count check, the level
// step per tab, command routing by number and the language menu.
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <set>
#include <utility>
#include <vector>

#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "window_fixture.h"

namespace {

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

QList<int> Values(const QComboBox* box) {
  QList<int> values;
  for (int i = 0; i < box->count(); ++i) values << box->itemData(i).toInt();
  return values;
}

class Controls : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    // Box logic needs no card: run without a reader so nothing else is logged.
    noReader_ =
        std::make_unique<ScopedEnv>("HOLLINK_READER", QByteArray("serial:/nonexistent/tty"));
  }
  void TearDown() override {
    WindowTest::TearDown();
    noReader_.reset();
  }
  void SelectSector(int sector) { window().sectorBox()->setCurrentIndex(sector); }
  void SelectBlock(int index) { window().blockBox()->setCurrentIndex(index); }
  void SelectCount(int count) { window().blockCountBox()->setCurrentIndex(count - 1); }
  QString Text(const char* name) {
    if (auto* label = window().findChild<QLabel*>(QString::fromLatin1(name))) return label->text();
    return window().findChild<QLineEdit*>(QString::fromLatin1(name))->text();
  }
  std::vector<bool> RowsEnabled() {
    return {window().dataRow(0)->isEnabled(), window().dataRow(1)->isEnabled(),
            window().dataRow(2)->isEnabled()};
  }

  std::unique_ptr<ScopedEnv> noReader_;
};

TEST_F(Controls, StartUpFillsTheBoxes) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("2")}});
  MainWindow& w = Open();
  ASSERT_EQ(w.sectorBox()->count(), 40);
  EXPECT_EQ(w.sectorBox()->itemText(0), QStringLiteral("0x00"));
  EXPECT_EQ(w.sectorBox()->itemText(39), QStringLiteral("0x27"));
  EXPECT_EQ(w.SelectedSector(), 1);
  EXPECT_EQ(Items(w.blockBox()), (QStringList{"0", "1", "2"}));
  EXPECT_EQ(w.destinationBlockBox()->currentIndex(), 1);
  EXPECT_EQ(w.operandEdit()->text(), QStringLiteral("1"));
  EXPECT_EQ(Text("absoluteAddressEdit"), QStringLiteral("0x04"));
  ASSERT_EQ(w.aesAddressBox()->count(), 80);
  EXPECT_EQ(w.aesAddressBox()->itemText(0), QStringLiteral("0x4000"));
  EXPECT_EQ(w.aesAddressBox()->itemText(79), QStringLiteral("0x404F"));
  EXPECT_EQ(w.aesAddressBox()->itemData(79).toInt(), 0x404F);
  EXPECT_EQ(Values(w.blockCountBox()), (QList<int>{1, 2, 3}));
  std::uint8_t bytes[16] = {};
  for (int row = 0; row < 3; ++row) {
    ASSERT_EQ(w.dataRow(row)->GetBytes(bytes, 16), 16) << row;
    for (std::uint8_t b : bytes) EXPECT_EQ(b, 0xFF);
  }
  EXPECT_EQ(w.aesKeyBox()->GetBytes(bytes, 16), 16);
  EXPECT_EQ(w.SelectedReaderType(), 1);
  EXPECT_EQ(w.SelectedCardType(), 5);
  EXPECT_FALSE(w.findChild<QComboBox*>(QStringLiteral("readerTypeBox"))->isEnabled());
  EXPECT_FALSE(w.findChild<QComboBox*>(QStringLiteral("cardTypeBox"))->isEnabled());
}

TEST_F(Controls, BlockAddressing) {
  EXPECT_EQ(MainWindow::BlockAddress(0, 0), 0);
  EXPECT_EQ(MainWindow::BlockAddress(5, 2), 22);
  EXPECT_EQ(MainWindow::BlockAddress(31, 2), 126);
  EXPECT_EQ(MainWindow::BlockAddress(32, 0), 128);
  EXPECT_EQ(MainWindow::BlockAddress(33, 2), 0x92);
  EXPECT_EQ(MainWindow::BlockAddress(39, 14), 254);
  EXPECT_EQ(MainWindow::BlockAddress(40, 1), 0);
  EXPECT_EQ(MainWindow::BlockAddress(-1, 1), 0);
}

TEST_F(Controls, SectorZeroOffersBlocksZeroToTwoButValueBlocksOneAndTwo) {
  MainWindow& w = Open();
  SelectSector(0);
  EXPECT_EQ(Items(w.blockBox()), (QStringList{"0", "1", "2"}));
  EXPECT_EQ(Items(w.sourceBlockBox()), (QStringList{"1", "2"}));
  EXPECT_EQ(Items(w.destinationBlockBox()), (QStringList{"1", "2"}));
  EXPECT_EQ(Values(w.sourceBlockBox()), (QList<int>{1, 2}));

  // Block and source box follow each other, one entry apart in sector 0.
  SelectBlock(2);
  EXPECT_EQ(w.sourceBlockBox()->currentText(), QStringLiteral("2"));
  EXPECT_EQ(w.BlockAddress(MainWindow::BlockBox::Source), 2);
  w.sourceBlockBox()->setCurrentIndex(0);
  EXPECT_EQ(w.blockBox()->currentText(), QStringLiteral("1"));
  EXPECT_EQ(Text("absoluteAddressEdit"), QStringLiteral("0x01"));

  SelectSector(7);
  EXPECT_EQ(Items(w.sourceBlockBox()), (QStringList{"0", "1", "2"}));
  SelectBlock(2);
  EXPECT_EQ(w.sourceBlockBox()->currentText(), QStringLiteral("2"));
  EXPECT_EQ(w.BlockAddress(MainWindow::BlockBox::Block), 30);
}

TEST_F(Controls, SectorThirtyThreeBlockTwoShows0x92AndAcceptsThreeBlocks) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("3")}});
  MainWindow& w = Open();
  SelectSector(33);
  ASSERT_EQ(w.blockBox()->count(), 15);
  EXPECT_EQ(w.blockBox()->itemText(14), QStringLiteral("14"));
  SelectBlock(2);
  EXPECT_EQ(Text("absoluteAddressEdit"), QStringLiteral("0x92"));
  EXPECT_EQ(Text("addressLabel1"), QStringLiteral("0x92"));
  EXPECT_EQ(Text("addressLabel2"), QStringLiteral("0x93"));
  EXPECT_EQ(Text("addressLabel3"), QStringLiteral("0x94"));
  const int entries = static_cast<int>(Entries().size());
  SelectCount(3);
  EXPECT_EQ(w.SelectedBlockCount(), 3);
  EXPECT_EQ(static_cast<int>(Entries().size()), entries);  // nothing to correct
  EXPECT_EQ(RowsEnabled(), (std::vector<bool>{true, true, true}));
}

TEST_F(Controls, CountBeyondTheSectorIsCutWithMessage2140) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("2")}});
  MainWindow& w = Open();
  SelectSector(5);
  SelectBlock(2);
  SelectCount(3);
  EXPECT_EQ(Entries().last(), FormatMessage(2140, 3, 1));
  EXPECT_EQ(w.SelectedBlockCount(), 1);
  EXPECT_EQ(RowsEnabled(), (std::vector<bool>{true, false, false}));

  SelectBlock(0);
  SelectCount(3);
  EXPECT_EQ(w.SelectedBlockCount(), 3);
  EXPECT_EQ(RowsEnabled(), (std::vector<bool>{true, true, true}));
  // Moving the start block down cuts the count as well.
  SelectBlock(1);
  EXPECT_EQ(Entries().last(), FormatMessage(2140, 3, 2));
  EXPECT_EQ(w.SelectedBlockCount(), 2);
  EXPECT_EQ(RowsEnabled(), (std::vector<bool>{true, true, false}));
}

TEST_F(Controls, ChangingSectorNeverLeavesACountThatCrossesTheTrailer) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("3")}});
  MainWindow& w = Open();
  SelectSector(33);
  SelectBlock(2);
  SelectCount(3);
  ASSERT_EQ(w.SelectedBlockCount(), 3);
  // Block 2 survives the switch to a 4-block sector, where only one block fits.
  SelectSector(5);
  EXPECT_EQ(w.blockBox()->currentText(), QStringLiteral("2"));
  EXPECT_EQ(w.SelectedBlockCount(), 1);
  EXPECT_EQ(Entries().last(), FormatMessage(2140, 3, 1));
  // A selection past the new sector's end falls back to the first entry.
  SelectSector(33);
  SelectBlock(12);
  SelectSector(6);
  EXPECT_EQ(w.blockBox()->currentIndex(), 0);
}

TEST_F(Controls, SectorChangeKeepsEachBoxOnItsBlockNumber) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("1")}});
  MainWindow& w = Open();
  // Block box, source and destination as block numbers, before and after.
  struct Case {
    int from, block, destination, to;
    int blockAfter, sourceAfter, destinationAfter;
  };
  const Case cases[] = {
      {0, 1, 2, 7, 1, 1, 2},    // sector 0's value lists start at block 1
      {7, 2, 0, 0, 2, 2, 1},    // block 0 is no value block in sector 0
      {7, 0, 1, 0, 0, 1, 1},    // the manufacturer block: the source keeps its place
      {33, 12, 9, 6, 0, 0, 0},  // numbers the small sector lacks fall back to its first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from * 100 + c.to);
    SelectSector(c.from);
    w.blockBox()->setCurrentIndex(w.blockBox()->findData(c.block));
    w.destinationBlockBox()->setCurrentIndex(w.destinationBlockBox()->findData(c.destination));
    SelectSector(c.to);
    EXPECT_EQ(w.blockBox()->currentData().toInt(), c.blockAfter);
    EXPECT_EQ(w.sourceBlockBox()->currentData().toInt(), c.sourceAfter);
    EXPECT_EQ(w.destinationBlockBox()->currentData().toInt(), c.destinationAfter);
  }
}

TEST_F(Controls, LevelStepSetsKeyTypesGroupsAndMenuItems) {
  MainWindow& w = Open();
  auto* aesRow = w.findChild<QWidget*>(QStringLiteral("aesRow"));
  auto* crypto1 = w.findChild<QWidget*>(QStringLiteral("caption1052"));
  auto* aes = w.findChild<QWidget*>(QStringLiteral("caption1056"));
  auto* operations = w.findChild<QWidget*>(QStringLiteral("operationsFrame"));
  auto* pageFrame = w.findChild<QWidget*>(QStringLiteral("pageFrame"));
  const std::set<int> level1 = {1860, 1870, 1880, 1890, 1900, 1910, 1920, 1935};
  const std::set<int> level2 = {1860, 1870, 1880, 1890, 1900, 1910, 1920, 1955,
                                2075, 2090, 1945, 2105, 2120, 2110, 2080};
  // 2040 (relay attack policy) does nothing, so it is never enabled.
  const std::set<int> level3 = {1860,  1870,  1880,  1890,  1900,  1910,  1920,
                                32822, 32823, 32824, 32825, 32826, 32827, 32828};
  const std::set<int> all = [&] {
    std::set<int> u = level2;
    u.insert(level3.begin(), level3.end());
    u.insert({1935, 2040});
    return u;
  }();
  auto enabledItems = [&] {
    std::set<int> on;
    for (int id : all) {
      if (w.action(id)->isEnabled()) on.insert(id);
    }
    return on;
  };

  w.SelectLevel(1);
  EXPECT_EQ(Values(w.keyTypeBox()), (QList<int>{0, 1}));
  EXPECT_EQ(Items(w.keyTypeBox()), (QStringList{LoadMessage(2130), LoadMessage(2135)}));
  EXPECT_EQ(w.keyBox()->ByteCount(), 6);
  EXPECT_FALSE(w.blockCountBox()->isEnabled());
  EXPECT_EQ(w.SelectedBlockCount(), 1);
  EXPECT_FALSE(aesRow->isVisibleTo(&w));
  EXPECT_TRUE(crypto1->isVisibleTo(&w));
  EXPECT_FALSE(aes->isVisibleTo(&w));
  EXPECT_FALSE(pageFrame->isVisibleTo(&w));
  EXPECT_EQ(enabledItems(), level1);

  w.SelectLevel(2);
  EXPECT_EQ(Values(w.keyTypeBox()), (QList<int>{2, 3}));
  EXPECT_TRUE(w.blockCountBox()->isEnabled());
  EXPECT_TRUE(aesRow->isVisibleTo(&w));
  EXPECT_TRUE(pageFrame->isVisibleTo(&w));
  EXPECT_EQ(enabledItems(), level2);

  w.SelectLevel(3);
  EXPECT_EQ(Values(w.keyTypeBox()), (QList<int>{5, 6}));
  EXPECT_EQ(w.keyBox()->ByteCount(), 16);  // Level 3 keys are AES keys
  std::uint8_t key[16] = {};
  EXPECT_EQ(w.keyBox()->GetBytes(key, 16), 16);
  EXPECT_FALSE(aesRow->isVisibleTo(&w));
  EXPECT_FALSE(crypto1->isVisibleTo(&w));
  EXPECT_TRUE(aes->isVisibleTo(&w));
  EXPECT_EQ(enabledItems(), level3);

  w.SelectLevel(0);
  EXPECT_FALSE(operations->isVisibleTo(&w));
  EXPECT_TRUE(w.page(0)->isVisibleTo(&w));
  EXPECT_TRUE(enabledItems().empty());
  EXPECT_EQ(Values(w.keyTypeBox()), (QList<int>{5, 6}));  // unchanged at Level 0
}

TEST_F(Controls, LevelMenuItemsSelectTheirTab) {
  MainWindow& w = Open();
  auto* tabs = w.findChild<QTabBar*>(QStringLiteral("levelTabs"));
  const std::pair<int, int> items[] = {{1775, 0}, {1800, 3}, {1790, 2}, {1780, 1}};
  for (const auto& [command, tab] : items) {
    w.action(command)->trigger();
    EXPECT_EQ(tabs->currentIndex(), tab) << command;
    EXPECT_EQ(w.CurrentPage()->level(), tab) << command;
    EXPECT_EQ(IniValue(QStringLiteral("DefaultPage")), QString::number(tab));
  }
  ASSERT_EQ(tabs->count(), 4);
  EXPECT_EQ(tabs->tabText(0), QStringLiteral("Level  0"));
}

class Routing : public Controls {
 protected:
  void SetUp() override {
    Controls::SetUp();
    for (int t : kTemplates) {
      RegisterSettingDialog(t, [this](CardLevelPage& page, int command) {
        calls_.emplace_back(page.level(), command);
      });
    }
  }
  void TearDown() override {
    for (int t : kTemplates) UnregisterSettingDialog(t);
    Controls::TearDown();
  }
  static constexpr int kTemplates[] = {110, 113, 115, 116, 117, 119, 120, 121, 148};
  std::vector<std::pair<int, int>> calls_;
};

TEST_F(Routing, CardSettingCommandsReachTheirPageWhateverTheTab) {
  MainWindow& w = Open();
  const std::pair<int, int> routes[] = {
      {1935, 1}, {1955, 2},  {2075, 2},  {2090, 2},  {1945, 2},  {2105, 2},  {2120, 2},  {2110, 2},
      {2080, 2}, {32822, 3}, {32823, 3}, {32824, 3}, {32825, 3}, {32826, 3}, {32827, 3}, {32828, 3},
  };
  for (int tab = 0; tab < 4; ++tab) {
    w.SelectLevel(tab);
    for (const auto& [command, level] : routes) {
      calls_.clear();
      w.RunCommand(command);
      ASSERT_EQ(calls_.size(), 1u) << "command " << command << " on tab " << tab;
      EXPECT_EQ(calls_[0], std::make_pair(level, command)) << "tab " << tab;
    }
  }
  // The Level 3 page takes 2040 and 2165 and opens nothing for them.
  calls_.clear();
  w.RunCommand(2040);
  w.RunCommand(32821);
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(w.RoutedPage(2165), w.page(3));
  EXPECT_EQ(w.RoutedPage(2040), w.page(3));
  EXPECT_EQ(w.RoutedPage(1860), nullptr);
}

TEST_F(Controls, CommandsWithoutTheirDialogSaySoInsteadOfPretending) {
  UnregisterSettingDialog(115);
  MainWindow& w = Open();
  const int before = static_cast<int>(Entries().size());
  w.RunCommand(2075);
  ASSERT_EQ(static_cast<int>(Entries().size()), before + 1);
  EXPECT_EQ(Entries().last(), NotAvailableText(MenuCommandText(2075)));
  EXPECT_TRUE(Entries().last().contains(QStringLiteral("修改主控密钥")));
  EXPECT_FALSE(Entries().last().contains(u'&'));
}

TEST_F(Controls, OperatorCommandsPlugInByNumber) {
  MainWindow& w = Open();
  std::vector<int> ran;
  for (int id : {1860, 1910, 1037})
    RegisterOperatorCommand(id, [&ran, id](CommandHost&) { ran.push_back(id); });
  w.action(1860)->trigger();
  w.findChild<QPushButton*>(QStringLiteral("incrementButton"))->click();
  w.findChild<QPushButton*>(QStringLiteral("readBlocksButton"))->click();
  w.findChild<QPushButton*>(QStringLiteral("authenticateButton"))->click();
  for (int id : {1860, 1910, 1037}) UnregisterOperatorCommand(id);
  EXPECT_EQ(ran, (std::vector<int>{1860, 1860, 1910, 1037}));
}

TEST_F(Controls, LanguageMenuStoresTheChoiceAndPromisesARestart) {
  MainWindow& w = Open();
  const std::pair<int, Language> items[] = {{2195, Language::English},
                                            {2175, Language::TraditionalChinese},
                                            {2185, Language::SimplifiedChinese}};
  for (const auto& [command, language] : items) {
    prompts_.clear();
    w.action(command)->trigger();
    EXPECT_EQ(ReadLanguage(), language) << command;
    ASSERT_EQ(prompts_.shown().size(), 1u);
    EXPECT_EQ(prompts_.shown()[0].text, LoadMessage(2402));
    EXPECT_EQ(prompts_.shown()[0].caption, LoadMessage(2401));
    // The running window keeps its language until the next start.
    EXPECT_EQ(CurrentLanguage(), Language::SimplifiedChinese);
  }
}

TEST_F(Controls, AboutBoxFromTheHelpMenu) {
  MainWindow& w = Open();
  QAction* about = w.action(MainWindow::kAbout);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->text(), LoadMessage(1101));
  about->trigger();
  ASSERT_NE(w.aboutBox(), nullptr);
  auto* version = w.aboutBox()->findChild<QLabel*>(QStringLiteral("aboutVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text(), UiText(QStringLiteral("100.version")));
  w.aboutBox()->findChild<QPushButton*>(QStringLiteral("aboutOk"))->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(w.aboutBox(), nullptr);
}

TEST_F(Controls, SaveLogIsOfferedOnceTheWindowHoldsText) {
  MainWindow& w = Open();
  EXPECT_TRUE(w.action(MainWindow::kSaveLog)->isEnabled());
  w.infoWindow()->ClearLog();
  EXPECT_FALSE(w.action(MainWindow::kSaveLog)->isEnabled());
  w.AppendLog(QStringLiteral("x\n"), false);
  EXPECT_TRUE(w.action(MainWindow::kSaveLog)->isEnabled());
}

TEST_F(Controls, KeyTypeDecidesTheKeyLength) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("2")}});
  MainWindow& w = Open();
  EXPECT_EQ(w.keyBox()->ByteCount(), 6);
  std::uint8_t key[16] = {};
  EXPECT_EQ(w.keyBox()->GetBytes(key, 16), 6);
  // Item value 4 (the Level 2 AES type) asks for a 16-byte key.
  w.keyTypeBox()->addItem(QStringLiteral("AES"), 4);
  w.keyTypeBox()->setCurrentIndex(2);
  EXPECT_EQ(w.keyBox()->ByteCount(), 16);
  EXPECT_EQ(w.keyBox()->GetBytes(key, 16), 16);
}

}  // namespace
