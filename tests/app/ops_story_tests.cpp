// One card's life driven through the window as an operator would: personalize
// on the Level 0 page, work at Level 1, upgrade to Level 2, work there through
// the AES-bound recovery, upgrade to Level 3 and work there. Every step's log
// entry is checked, and the card itself is read back from the simulator's file.
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QThread>

#include "core/card_text.h"
#include "gui/dialogs/upgrade_dialog.h"
#include "ops_fixture.h"

namespace {

using W = MainWindow;
using Story = OpsTest;

QString DataText(const QByteArray& bytes) {
  return BlockDataText(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                       static_cast<int>(bytes.size() / 16));
}

TEST_F(Story, FreshCardToLevelThree) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("0")}});
  MainWindow& w = Open();
  ASSERT_TRUE(w.IsConnected());

  // Level 0: the four card keys, then the commit.
  auto* zero = static_cast<Level0Page*>(w.page(0));
  const QByteArray keyData(16, '\x5C');
  for (int row = 0; row < 4; ++row) {
    zero->row(row).write->click();
    EXPECT_EQ(Entries().last(),
              FormatMessage(2115, 0, 0x9000 + row, 1, qUtf8Printable(DataText(keyData))));
    EXPECT_EQ(ReadCard().Key(0x9000 + row), keyData);
  }
  prompts_.QueueYesNo(true);
  zero->commitButton()->click();
  EXPECT_EQ(Entries().last(), LoadMessage(2380) + u'\n');
  EXPECT_EQ(ReadCard().level, 1);

  // Level 1: CRYPTO1 key A of the transport trailers, one block, value work.
  w.SelectLevel(1);
  EXPECT_EQ(Run(W::kAuthenticate), LoadMessage(2150));
  auto blockWork = [&](int level, int sector, int count, const QByteArray& data) {
    const int start = MainWindow::BlockAddress(sector, 0);
    Pick(sector, 0);
    if (count > 1) Choose(w.blockCountBox(), count);
    for (int row = 0; row < count; ++row)
      w.dataRow(row)->setEditText(Hex16(data.mid(16 * row, 16)));
    EXPECT_EQ(Run(W::kWriteBlocks),
              FormatMessage(2115, level, start, count, qUtf8Printable(DataText(data))));
    for (int row = 0; row < count; ++row)
      EXPECT_EQ(ReadCard().Block(start + row), data.mid(16 * row, 16)) << row;
    const QByteArray ones(16, '\xFF');
    for (int row = 0; row < count; ++row) w.dataRow(row)->setEditText(Hex16(ones));
    EXPECT_EQ(Run(W::kReadBlocks), FormatMessage(2085, level, start, count) + DataText(data));
    EXPECT_EQ(w.dataRow(count - 1)->currentText(), Hex16(data.right(16)));
  };
  auto valueWork = [&](int level, int sector) {
    const int a = MainWindow::BlockAddress(sector, 1), b = a + 1;
    Pick(sector, 1, 2);
    Operand(QStringLiteral("100"));
    EXPECT_EQ(Run(W::kWriteValue), FormatMessage(2060, level, a, 0x100));
    EXPECT_EQ(Run(W::kReadValue), FormatMessage(2035, level, a, 0x100));
    Operand(QStringLiteral("20"));
    EXPECT_EQ(Run(W::kIncrement), FormatMessage(1995, level, a, 0x20, b));
    EXPECT_EQ(ReadCard().Value(b), 0x120);
    Operand(QStringLiteral("5"));
    Pick(sector, 2, 1);
    EXPECT_EQ(Run(W::kDecrement), FormatMessage(2015, level, b, 5, a));
    EXPECT_EQ(ReadCard().Value(a), 0x11B);
    Pick(sector, 1, 2);
    EXPECT_EQ(Run(W::kBackup), FormatMessage(1980, level, a, b));
    EXPECT_EQ(ReadCard().Value(b), 0x11B);
  };
  QByteArray data;
  for (int i = 0; i < 48; ++i) data.append(static_cast<char>(0x10 + i));
  blockWork(1, 1, 1, data.left(16));
  valueWork(1, 2);

  auto upgrade = [&](int switchKey, int level) {
    UpgradeDialog dialog(w);
    Choose(dialog.levelBox(), switchKey);
    dialog.keyBox()->setEditText(Hex16(keyData));  // as written on the Level 0 page
    prompts_.QueueYesNo(true);
    dialog.Upgrade();
    EXPECT_EQ(dialog.resultLabel()->text(), LoadMessage(2220));
    EXPECT_EQ(dialog.cardInfoLabel()->text(), w.cardInfo());
    EXPECT_EQ(ReadCard().level, level);
  };
  upgrade(0x9002, 2);

  // Level 2: the CRYPTO1 authentication asks for the AES one first (2290), so
  // the recovery runs it, then authenticates with CRYPTO1.
  w.SelectLevel(2);
  const int before = static_cast<int>(Entries().size());
  EXPECT_EQ(Run(W::kAuthenticate), LoadMessage(2150));
  ASSERT_EQ(Entries().size(), before + 2);
  EXPECT_EQ(Entries()[before], LoadMessage(2155));
  EXPECT_TRUE(TheAesAuthMemory().valid);
  blockWork(2, 3, 2, data.left(32));
  valueWork(2, 4);

  upgrade(0x9003, 3);

  // Level 3: AES sector keys, three blocks at once, value work in plain.
  w.SelectLevel(3);
  Pick(5, 0);
  EXPECT_EQ(Run(W::kAuthenticate), LoadMessage(2150));
  blockWork(3, 5, 3, data);
  valueWork(3, 6);
  // What Levels 1 and 2 wrote is still there.
  EXPECT_EQ(ReadCard().Block(4), data.left(16));
  EXPECT_EQ(ReadCard().Value(17), 0x11B);
}

// The same life through a PC/SC reader, run by the pcsc_reader test with
// QUILLON_STORY_READER (a HOLLINK_READER value), QUILLON_STORY_STATE (the card's
// state file) and QUILLON_STORY_RAW (1 when the reader carries raw frames).
TEST_F(Story, ThroughAPcscReader) {
  const QByteArray address = qgetenv("QUILLON_STORY_READER");
  const QString state = QString::fromLocal8Bit(qgetenv("QUILLON_STORY_STATE"));
  if (address.isEmpty() || state.isEmpty()) GTEST_SKIP() << "run by the pcsc_reader test";
  const bool raw = qgetenv("QUILLON_STORY_RAW") == "1";
  ScopedEnv reader("HOLLINK_READER", address);
  // The simulator stores the card from its own process: wait a little for it.
  auto level = [&](int expected) {
    int found = -1;
    for (int i = 0; i < 40 && found != expected; ++i) {
      QFile file(state);
      if (file.open(QIODevice::ReadOnly))
        found = QJsonDocument::fromJson(file.readAll()).object()[QStringLiteral("level")].toInt(-1);
      if (found != expected) QThread::msleep(50);
    }
    return found;
  };
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("0")}});
  MainWindow& w = Open();
  ASSERT_TRUE(w.IsConnected());

  auto* zero = static_cast<Level0Page*>(w.page(0));
  const QByteArray keyData(16, '\x5C');
  for (int row = 0; row < 4; ++row) {
    zero->row(row).write->click();
    EXPECT_EQ(Entries().last(),
              FormatMessage(2115, 0, 0x9000 + row, 1, qUtf8Printable(DataText(keyData))));
  }
  // Without raw frames the page says once that it went over T=CL.
  EXPECT_EQ(Log().count(UiText(QStringLiteral("102.persoOverTcl"))), raw ? 0 : 1);
  prompts_.QueueYesNo(true);
  zero->commitButton()->click();
  EXPECT_EQ(Entries().last(), LoadMessage(2380) + u'\n');
  EXPECT_EQ(level(1), 1);

  w.SelectLevel(1);
  EXPECT_EQ(Run(W::kAuthenticate), LoadMessage(2150));
  Pick(1, 0);
  const QByteArray data(16, '\x3A');
  w.dataRow(0)->setEditText(Hex16(data));
  EXPECT_EQ(Run(W::kWriteBlocks), FormatMessage(2115, 1, 4, 1, qUtf8Printable(DataText(data))));

  UpgradeDialog dialog(w);
  Choose(dialog.levelBox(), 0x9003);
  dialog.keyBox()->setEditText(Hex16(keyData));
  prompts_.QueueYesNo(true);
  dialog.Upgrade();
  if (!raw) {
    // A generic reader cannot reach a Level 1 card at layer 4.
    EXPECT_NE(dialog.resultLabel()->text(), LoadMessage(2220));
    EXPECT_EQ(level(1), 1);
    return;
  }
  EXPECT_EQ(dialog.resultLabel()->text(), LoadMessage(2220));
  EXPECT_EQ(level(3), 3);
  w.SelectLevel(3);
  Pick(5, 0);
  EXPECT_EQ(Run(W::kAuthenticate), LoadMessage(2150));
  EXPECT_EQ(Run(W::kWriteBlocks), FormatMessage(2115, 3, MainWindow::BlockAddress(5, 0), 1,
                                                qUtf8Printable(DataText(data))));
}

}  // namespace
