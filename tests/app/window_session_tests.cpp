// Start-up, the reader session, the stored tab and card activation, driving the
// real library against the simulated reader.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <utility>

#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "tips/tip_renderer.h"
#include "window_fixture.h"

namespace {

using Startup = WindowTest;

TEST_F(Startup, LogsConnectingThenConnectedInRedAndOpensTheStoredTab) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("2")}});
  MainWindow& w = Open();
  const QStringList entries = Entries();
  ASSERT_GE(entries.size(), 2);
  EXPECT_EQ(entries[0], LoadMessage(1915));
  EXPECT_EQ(entries[1], LoadMessage(1925));
  EXPECT_FALSE(IsRed(Line(1915)));
  EXPECT_TRUE(IsRed(Line(1925)));
  EXPECT_TRUE(w.IsConnected());
  EXPECT_EQ(w.currentLevelIndex(), 2);
  EXPECT_EQ(w.findChild<QTabBar*>(QStringLiteral("levelTabs"))->currentIndex(), 2);
  EXPECT_TRUE(w.page(2)->isVisibleTo(&w));
  EXPECT_FALSE(w.page(1)->isVisibleTo(&w));
  // Connected: connect is off, disconnect on, in the buttons and in the menu.
  EXPECT_FALSE(w.findChild<QWidget*>(QStringLiteral("connectButton"))->isEnabled());
  EXPECT_TRUE(w.findChild<QWidget*>(QStringLiteral("disconnectButton"))->isEnabled());
  EXPECT_FALSE(w.action(MainWindow::kConnect)->isEnabled());
  EXPECT_TRUE(w.action(MainWindow::kDisconnect)->isEnabled());
}

TEST_F(Startup, StoredPageThreeOpensLevelThree) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("3")},
            {QStringLiteral("TipEnable"), QStringLiteral("1")}});
  MainWindow& w = Open();
  EXPECT_EQ(w.currentLevelIndex(), 3);
  EXPECT_EQ(w.CurrentPage()->level(), 3);
  EXPECT_TRUE(w.tipsEnabled());
  EXPECT_EQ(IniValue(QStringLiteral("TipEnable")), QStringLiteral("1"));
}

// Start-up only reads the settings: no file appears, and a file whose values
// cannot be read is left exactly as it was (the defaults hold in memory).
TEST_F(Startup, StartUpWritesNothingAndKeepsUnreadableValues) {
  ASSERT_FALSE(QFile::exists(IniPath()));
  MainWindow& w = Open();
  EXPECT_EQ(w.currentLevelIndex(), 1);
  EXPECT_FALSE(w.tipsEnabled());
  EXPECT_FALSE(QFile::exists(IniPath()));
  window_.reset();

  const QByteArray unreadable = "[Setting]\r\nTipEnable=yes\r\nDefaultPage=one\r\n";
  {
    QFile file(IniPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(unreadable);
  }
  MainWindow& again = Open();
  EXPECT_EQ(again.currentLevelIndex(), 1);
  QFile file(IniPath());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), unreadable);
  // The operator's choice is written.
  again.SelectLevel(2);
  EXPECT_EQ(IniValue(QStringLiteral("DefaultPage")), QStringLiteral("2"));
}

TEST_F(Startup, StoredPageOutOfRangeShowsNoPageUntilATabIsPicked) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("7")}});
  MainWindow& w = Open();
  EXPECT_EQ(w.CurrentPage(), nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(w.page(i)->isVisibleTo(&w)) << i;
  w.RunCommand(MainWindow::kLevel0);
  EXPECT_EQ(w.currentLevelIndex(), 0);
  EXPECT_TRUE(w.page(0)->isVisibleTo(&w));
  EXPECT_EQ(IniValue(QStringLiteral("DefaultPage")), QStringLiteral("0"));
}

TEST_F(Startup, TabSelectionIsStoredAndTheTipsBoxWritesAtOnce) {
  MainWindow& w = Open();
  w.findChild<QTabBar*>(QStringLiteral("levelTabs"))->setCurrentIndex(3);
  EXPECT_EQ(IniValue(QStringLiteral("DefaultPage")), QStringLiteral("3"));
  auto* tips = w.findChild<QCheckBox*>(QStringLiteral("tipsCheckBox"));
  ASSERT_NE(tips, nullptr);
  auto* connect = w.findChild<TipButton*>(QStringLiteral("connectButton"));
  auto* level3 = static_cast<Level3Page*>(w.page(3));
  EXPECT_EQ(connect->Tip().window(), nullptr);
  EXPECT_EQ(connect->Tip().text(), LoadMessage(1885));
  tips->click();
  EXPECT_TRUE(w.tipsEnabled());
  EXPECT_EQ(IniValue(QStringLiteral("TipEnable")), QStringLiteral("1"));
  EXPECT_EQ(connect->Tip().window(), w.tipRenderer());
  EXPECT_EQ(level3->encryptedBox()->Tip().window(), w.tipRenderer());
  tips->click();
  EXPECT_FALSE(w.tipsEnabled());
  EXPECT_EQ(IniValue(QStringLiteral("TipEnable")), QStringLiteral("0"));
  EXPECT_EQ(connect->Tip().window(), nullptr);
  EXPECT_EQ(level3->encryptedBox()->Tip().window(), nullptr);
  // The check box itself always explains what it does.
  EXPECT_EQ(static_cast<TipCheckBox*>(tips)->Tip().window(), w.tipRenderer());
  EXPECT_EQ(static_cast<TipCheckBox*>(tips)->Tip().text(), LoadMessage(1785));
}

using Session = WindowTest;

TEST_F(Session, DisconnectAndReconnect) {
  MainWindow& w = Open();
  ASSERT_TRUE(w.IsConnected());
  EXPECT_TRUE(w.action(1910)->isEnabled());
  w.RunCommand(MainWindow::kDisconnect);
  EXPECT_FALSE(w.IsConnected());
  EXPECT_EQ(Entries().last(), LoadMessage(1875));
  EXPECT_FALSE(IsRed(Line(1875)));
  EXPECT_TRUE(w.action(MainWindow::kConnect)->isEnabled());
  EXPECT_FALSE(w.action(MainWindow::kDisconnect)->isEnabled());
  for (int id : {1860, 1870, 1880, 1890, 1900, 1910, 1920, 1935}) {
    EXPECT_FALSE(w.action(id)->isEnabled()) << id;
  }
  // The buttons stay enabled; they report the missing reader themselves.
  EXPECT_TRUE(w.findChild<QWidget*>(QStringLiteral("readBlocksButton"))->isEnabled());

  w.findChild<QPushButton*>(QStringLiteral("connectButton"))->click();
  EXPECT_TRUE(w.IsConnected());
  EXPECT_EQ(Entries().last(), LoadMessage(1925));
  // Reconnecting runs the level step of the current tab again.
  EXPECT_TRUE(w.action(1910)->isEnabled());
  EXPECT_TRUE(w.action(1935)->isEnabled());
}

TEST_F(Session, ActivateCardCommandShowsTheIdentityAndLogsSuccess) {
  MainWindow& w = Open();
  w.findChild<QPushButton*>(QStringLiteral("activateButton"))->click();
  EXPECT_EQ(Entries().last(), LoadMessage(1960));
  const QString info = w.findChild<QLineEdit*>(QStringLiteral("cardInfoEdit"))->text();
  EXPECT_EQ(info, w.cardInfo());
  static const QRegularExpression shape(QStringLiteral(
      "^UID: 0x([0-9A-F]{8}|[0-9A-F]{14})    ATQ: 0x[0-9A-F]{4}    SAK: 0x[0-9A-F]{2}$"));
  EXPECT_TRUE(shape.match(info).hasMatch()) << info.toStdString();
}

TEST_F(Session, SevenByteUidPrintsFourteenDigitsLastByteFirst) {
  ScopedEnv reader("HOLLINK_READER", QByteArray("sim:seed=1,variant=X4K7"));
  MainWindow& w = Open();
  ASSERT_TRUE(w.IsConnected());
  QString info;
  int code = -1;
  ASSERT_EQ(w.Activate(0, &code, &info, nullptr), 1) << code;
  static const QRegularExpression shape(
      QStringLiteral("^UID: 0x([0-9A-F]{14})    ATQ: 0x([0-9A-F]{4})    SAK: 0x([0-9A-F]{2})$"));
  const QRegularExpressionMatch m = shape.match(info);
  ASSERT_TRUE(m.hasMatch()) << info.toStdString();

  // The same card read directly: the text lists the UID bytes in reverse.
  PiccDeSelect();
  PiccHalt();
  unsigned char atq[2] = {}, uid[10] = {}, uidLength = 0, sak = 0;
  ASSERT_EQ(PiccActivate(0x52, atq, uid, &uidLength, &sak), 0);
  ASSERT_EQ(uidLength, 7);
  QString reversed;
  for (int i = 6; i >= 0; --i) reversed += QString::asprintf("%02X", uid[i]);
  EXPECT_EQ(m.captured(1), reversed);
  EXPECT_EQ(m.captured(2), QString::asprintf("%02X%02X", atq[1], atq[0]));
  EXPECT_EQ(m.captured(3), QString::asprintf("%02X", sak));
}

TEST_F(Session, ActivationRunsRatsAndPpsOnlyOnLevelThreeOrWhenForced) {
  FrameTrace trace(TempPath(QStringLiteral("frames.trace")));
  MainWindow& w = Open();
  auto ratsAndPps = [&trace] {
    const std::vector<int> commands = trace.Commands();
    const bool rats = std::find(commands.begin(), commands.end(), 0x91) != commands.end();
    const bool pps = std::find(commands.begin(), commands.end(), 0x92) != commands.end();
    return std::make_pair(rats, pps);
  };

  w.SelectLevel(1);
  trace.Clear();
  int code = -1;
  ASSERT_EQ(w.page(1)->Activate(0, &code, nullptr), 1) << code;
  EXPECT_EQ(ratsAndPps(), std::make_pair(false, false));

  trace.Clear();
  int variant = 0;
  ASSERT_EQ(w.page(1)->Activate(1, &code, nullptr, &variant), 1) << code;
  EXPECT_EQ(ratsAndPps(), std::make_pair(true, true));
  EXPECT_TRUE(variant == 1 || variant == 128) << variant;

  w.SelectLevel(3);
  trace.Clear();
  ASSERT_EQ(w.page(3)->Activate(0, &code, nullptr), 1) << code;
  EXPECT_EQ(ratsAndPps(), std::make_pair(true, true));
  // RATS asks for CID 10; PPS comes after it.
  const std::vector<QByteArray> frames = trace.Requests();
  auto rats = std::find_if(frames.begin(), frames.end(),
                           [](const QByteArray& f) { return f.size() > 3 && f[1] == '\x91'; });
  ASSERT_NE(rats, frames.end());
  EXPECT_EQ(static_cast<unsigned char>((*rats)[3]), 10);
  auto pps = std::find_if(rats, frames.end(),
                          [](const QByteArray& f) { return f.size() > 1 && f[1] == '\x92'; });
  EXPECT_NE(pps, frames.end());
}

// The ATS ends in 00 35 C7 on a MIFARE Plus S card only.
TEST_F(Session, RatsTellsAnSCardFromOthers) {
  for (const auto& [variant, expected] :
       {std::make_pair("S4K4", 1), std::make_pair("X4K4", 128), std::make_pair("S2K7", 1)}) {
    ScopedEnv reader("HOLLINK_READER", QByteArray("sim:seed=1,variant=") + variant);
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected()) << variant;
    int code = -1;
    int found = 0;
    ASSERT_EQ(w.Activate(1, &code, nullptr, &found), 1) << variant << " " << code;
    EXPECT_EQ(found, expected) << variant;
  }
}

TEST_F(Session, FailedActivationEmptiesTheCardInformation) {
  MainWindow& w = Open();
  ASSERT_EQ(w.Activate(0, nullptr, nullptr, nullptr), 1);
  ASSERT_FALSE(w.cardInfo().isEmpty());
  // The reader is gone: the next activation fails and the identity goes with it.
  ScopedEnv missing("HOLLINK_READER", QByteArray("serial:/nonexistent/tty"));
  ASSERT_NE(ReaderCommInit(), 0);
  int code = 0;
  QString info = QStringLiteral("stale");
  EXPECT_EQ(w.Activate(0, &code, &info, nullptr), 0);
  EXPECT_NE(code, 0);
  EXPECT_TRUE(info.isEmpty());
  EXPECT_TRUE(w.cardInfo().isEmpty());
  EXPECT_TRUE(w.findChild<QLineEdit*>(QStringLiteral("cardInfoEdit"))->text().isEmpty());
  w.findChild<QPushButton*>(QStringLiteral("activateButton"))->click();
  EXPECT_EQ(Entries().last(), FormatMessage(1970, qUtf8Printable(MessageText(code))));
}

// Last in this file: a driver that fails to load stays unbound for the rest
// of the process, so nothing after this test could connect.
using NoDriver = WindowTest;

TEST_F(NoDriver, StartUpLogsFailureInRedAndStillOpensTheStoredTab) {
  ScopedEnv missing("OSTREL_HOLLINK", QByteArray("/nonexistent/libhollink.so"));
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("3")}});
  MainWindow& w = Open();
  const QStringList entries = Entries();
  ASSERT_GE(entries.size(), 2);
  EXPECT_EQ(entries[0], LoadMessage(1915));
  EXPECT_EQ(entries[1], LoadMessage(1930));
  EXPECT_TRUE(IsRed(Line(1930)));
  EXPECT_FALSE(w.IsConnected());
  EXPECT_EQ(w.currentLevelIndex(), 3);
  EXPECT_TRUE(w.findChild<QWidget*>(QStringLiteral("connectButton"))->isEnabled());
  EXPECT_FALSE(w.findChild<QWidget*>(QStringLiteral("disconnectButton"))->isEnabled());
  // Activation without a connection answers 1950 and touches no card.
  int code = 0;
  EXPECT_EQ(w.Activate(0, &code, nullptr, nullptr), 0);
  EXPECT_EQ(code, 1950);
}

}  // namespace
