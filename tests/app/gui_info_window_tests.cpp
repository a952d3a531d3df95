// The information window: entries, highlights, clearing and log files.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include "core/messages.h"
#include "core_qt_print.h"
#include "gui/info_window.h"
#include "gui/prompts.h"

namespace {

const QString kStamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");

// The colour of the text at the first occurrence of `needle`.
QColor ColourOf(const InfoWindow& window, const QString& needle) {
  QTextCursor found = window.document()->find(needle);
  if (found.isNull()) return {};
  QTextCursor at(window.document());
  at.setPosition(found.selectionStart() + 1);
  return at.charFormat().foreground().color();
}

bool IsRed(const QColor& colour) {
  return colour == QColor(255, 0, 0);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

class InfoWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    SetLanguage(Language::SimplifiedChinese);
    InfoWindow::ResetSaveCounterForTest();
    ASSERT_TRUE(dir_.isValid());
  }
  QString PathFor(const QString& name) const { return dir_.filePath(name); }

  InfoWindow window_;
  QTemporaryDir dir_;
};

TEST_F(InfoWindowTest, EntryIsTimeStampBlankAndTextWithItsOwnLineEnd) {
  window_.AppendMessage(1915);
  window_.AppendLog(QStringLiteral("block\n  data\n"), false);
  const QRegularExpression whole(QStringLiteral("^") + kStamp +
                                 QStringLiteral("正在连接 读卡器\\.\\.\\. \\.\\.\\.\\n") + kStamp +
                                 QStringLiteral("block\\n  data\\n$"));
  EXPECT_TRUE(whole.match(window_.toPlainText()).hasMatch()) << window_.toPlainText().toStdString();
  // An entry without a line end runs on into the next one, as the text says.
  window_.AppendLog(QStringLiteral("no end"), false);
  window_.AppendLog(QStringLiteral("next\n"), false);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("no end") + kStamp + QStringLiteral("next\\n$"))
                  .match(window_.toPlainText())
                  .hasMatch());
}

TEST_F(InfoWindowTest, OnlyTheThreeConnectionMessagesAreRed) {
  EXPECT_TRUE(InfoWindow::IsConnectionMessage(1925));
  EXPECT_TRUE(InfoWindow::IsConnectionMessage(1930));
  EXPECT_TRUE(InfoWindow::IsConnectionMessage(1950));
  EXPECT_FALSE(InfoWindow::IsConnectionMessage(1915));
  EXPECT_FALSE(InfoWindow::IsConnectionMessage(1875));

  window_.AppendMessage(1915);
  window_.AppendMessage(1925);
  window_.AppendMessage(1875);
  window_.AppendMessage(1930);
  window_.AppendLog(QStringLiteral("after the red one\n"), false);
  window_.AppendMessage(1950);
  EXPECT_FALSE(IsRed(ColourOf(window_, QStringLiteral("正在连接"))));
  EXPECT_TRUE(IsRed(ColourOf(window_, QStringLiteral("连接成功"))));
  EXPECT_FALSE(IsRed(ColourOf(window_, QStringLiteral("断开读卡器"))));
  EXPECT_TRUE(IsRed(ColourOf(window_, QStringLiteral("连接失败"))));
  EXPECT_FALSE(IsRed(ColourOf(window_, QStringLiteral("after the red one"))));
  EXPECT_TRUE(IsRed(ColourOf(window_, QStringLiteral("没有连接读卡器"))));
  // The time stamp of a highlighted entry is red too: the whole entry is.
  const QTextBlock failed = window_.document()->find(QStringLiteral("连接失败")).block();
  QTextCursor stamp(failed);
  stamp.setPosition(failed.position() + 1);
  EXPECT_TRUE(IsRed(stamp.charFormat().foreground().color()));
}

TEST_F(InfoWindowTest, StaysScrolledToTheNewestEntry) {
  window_.resize(300, 120);
  window_.show();
  for (int i = 0; i < 60; ++i) window_.AppendLog(QStringLiteral("line %1\n").arg(i), false);
  QApplication::processEvents();
  const QScrollBar* bar = window_.verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(InfoWindowTest, ContextMenuClearsTheWindow) {
  QSignalSpy changes(&window_, &InfoWindow::contentChanged);
  window_.show();
  window_.AppendLog(QStringLiteral("something\n"), false);
  ASSERT_TRUE(window_.HasText());
  QTest::mouseRelease(window_.viewport(), Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
  auto* menu = window_.findChild<QMenu*>(QStringLiteral("infoWindowMenu"));
  ASSERT_NE(menu, nullptr);
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions.first()->text(), QStringLiteral("清空"));
  EXPECT_EQ(actions.first()->data().toInt(), InfoWindow::kClearCommand);
  actions.first()->trigger();
  menu->close();
  EXPECT_FALSE(window_.HasText());
  EXPECT_TRUE(window_.toPlainText().isEmpty());
  EXPECT_TRUE(window_.isReadOnly());
  ASSERT_EQ(changes.size(), 2);
  EXPECT_TRUE(changes.at(0).at(0).toBool());
  EXPECT_FALSE(changes.at(1).at(0).toBool());
}

TEST_F(InfoWindowTest, SavesProposeNumberedNamesEvenAfterACancel) {
  ScriptedPrompts prompts;
  prompts.QueueSavePath(QString());  // cancel the first
  prompts.QueueSavePath(PathFor(QStringLiteral("second.log")));
  window_.AppendLog(QStringLiteral("x\n"), false);
  EXPECT_FALSE(window_.SaveLog());
  EXPECT_TRUE(window_.SaveLog());
  const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
  ASSERT_EQ(prompts.shown().size(), 2);
  EXPECT_EQ(prompts.shown()[0].text, QStringLiteral("[%1]log1.log").arg(today));
  EXPECT_EQ(prompts.shown()[1].text, QStringLiteral("[%1]log2.log").arg(today));
  EXPECT_EQ(prompts.shown()[1].caption, LoadMessage(2376));
  EXPECT_EQ(InfoWindow::SaveCounter(), 2);
  EXPECT_EQ(InfoWindow::ProposedLogName(QDate(2009, 5, 12), 1),
            QStringLiteral("[2009-05-12]log1.log"));
}

TEST_F(InfoWindowTest, SavedFileHoldsExactlyWhatIsShown) {
  ScriptedPrompts prompts;
  const QString path = PathFor(QStringLiteral("log.txt"));
  // An existing longer file chosen by the operator is replaced, not patched.
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(4096, 'z'));
  }
  prompts.QueueSavePath(path);
  window_.AppendMessage(1915);
  window_.AppendMessage(1925);
  window_.AppendLog(QStringLiteral("UID: 0x04A1B2C3\n"), false);
  ASSERT_TRUE(window_.SaveLog());
  const QByteArray saved = ReadFile(path);
  EXPECT_EQ(saved, window_.toPlainText().toUtf8());
  EXPECT_TRUE(saved.endsWith("UID: 0x04A1B2C3\n"));
  EXPECT_EQ(saved.count('\n'), 3);
  EXPECT_TRUE(prompts.messages().isEmpty());
}

TEST_F(InfoWindowTest, ClearingThenSavingWritesAnEmptyFile) {
  ScriptedPrompts prompts;
  const QString path = PathFor(QStringLiteral("empty.log"));
  prompts.QueueSavePath(path);
  window_.AppendMessage(1915);
  window_.ClearLog();
  ASSERT_TRUE(window_.SaveLog());
  ASSERT_TRUE(QFile::exists(path));
  EXPECT_EQ(QFile(path).size(), 0);
}

TEST_F(InfoWindowTest, FailedWriteIsReportedAndLeavesNoFile) {
  ScriptedPrompts prompts;
  const QString path = PathFor(QStringLiteral("missing-folder/log.log"));
  prompts.QueueSavePath(path);
  window_.AppendLog(QStringLiteral("kept\n"), false);
  EXPECT_FALSE(window_.SaveLog());
  EXPECT_FALSE(QFile::exists(path));
  ASSERT_EQ(prompts.messages().size(), 1);
  EXPECT_TRUE(prompts.messages().first().contains(path));
  EXPECT_EQ(prompts.shown().last().caption, LoadMessage(2379));
  EXPECT_EQ(prompts.shown().last().icon, Prompts::Icon::Error);
  // The text is still there to be saved elsewhere.
  EXPECT_TRUE(window_.toPlainText().endsWith(QStringLiteral("kept\n")));
  // A folder chosen as the file is refused the same way.
  prompts.QueueSavePath(dir_.path());
  EXPECT_FALSE(window_.SaveLog());
  EXPECT_TRUE(QFileInfo(dir_.path()).isDir());
  EXPECT_EQ(prompts.messages().size(), 2);
}

}  // namespace
