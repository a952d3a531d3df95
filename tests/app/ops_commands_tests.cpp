// The operator's block and value commands against the simulated card: the
// common frame (reader, page, one recovery, one entry), the read-value extra
// step, and the guards that keep a command from writing what nobody asked for.
#include <QSignalBlocker>

#include "core/card_text.h"
#include "ops_fixture.h"

namespace {

using Ops = OpsTest;
using W = MainWindow;

constexpr int kCardCommands[] = {W::kIncrement,   W::kDecrement,    W::kReadValue,
                                 W::kWriteValue,  W::kBackup,       W::kReadBlocks,
                                 W::kWriteBlocks, W::kAuthenticate, W::kAesAuthenticate};

TEST_F(Ops, WithoutReaderOrPageEveryCardCommandSaysSoAndSendsNothing) {
  MainWindow& w = Open();
  w.Disconnect();
  trace_->Clear();
  for (int command : kCardCommands) {
    EXPECT_EQ(Run(command), LoadMessage(1950)) << command;
    EXPECT_TRUE(IsRed(Line(1950)));
  }
  EXPECT_TRUE(trace_->Requests().empty());

  window_.reset();
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("7")}});
  Open();
  trace_->Clear();
  for (int command : kCardCommands)
    EXPECT_EQ(Run(command), UiText(QStringLiteral("noLevelPage"))) << command;
  EXPECT_TRUE(trace_->Requests().empty());
}

// A block that holds no value: 124 at Level 1, 0xC3 at Level 3; both times the
// entry goes on with what the block holds.
TEST_F(Ops, ReadValueOfADataBlockShowsTheBlock) {
  for (const auto& [level, code] : {std::pair{1, 124}, std::pair{3, 0xC3}}) {
    SCOPED_TRACE(level);
    window_.reset();
    QFile::remove(TempPath(QStringLiteral("card.json")));
    ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(level, level));
    Pick(1, 1);
    const QString row = QStringLiteral("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    window().dataRow(0)->setEditText(row);
    ASSERT_TRUE(Run(W::kWriteBlocks).startsWith(FormatMessage(2115, level, 5, 1, "").left(20)));
    const QByteArray data = QByteArray::fromHex(row.toLatin1());
    EXPECT_EQ(Run(W::kReadValue),
              FormatMessage(2045, level, 5, qUtf8Printable(MessageText(code))) +
                  FormatMessage(2050, qUtf8Printable(BlockDataText(
                                          reinterpret_cast<const std::uint8_t*>(data.data()), 1))));
  }
}

TEST_F(Ops, ValuesPrintAsEightDigitsAndAnEmptyOperandAddsZero) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  Pick(1, 1, 2);
  Operand(QStringLiteral("1"));
  EXPECT_EQ(Run(W::kWriteValue), FormatMessage(2060, 1, 5, 1));
  const QString read = Run(W::kReadValue);
  EXPECT_EQ(read, FormatMessage(2035, 1, 5, 1));
  EXPECT_TRUE(read.contains(QStringLiteral("0x00000001")));
  Operand(QString());
  const QString added = Run(W::kIncrement);
  EXPECT_EQ(added, FormatMessage(1995, 1, 5, 0, 6));
  EXPECT_TRUE(added.contains(QStringLiteral("0x00000000")));
  EXPECT_EQ(ReadCard().Value(6), 1);
}

// A value command into its own block is not sent twice: the first attempt may
// have changed the card although its answer failed. Into another block the
// repeat is harmless and runs.
TEST_F(Ops, ValueCommandIntoItsOwnBlockIsNotRepeatedAfterRecovery) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  MainWindow& w = window();
  Pick(1, 1, 1);
  Operand(QStringLiteral("7"));
  ASSERT_EQ(Run(W::kWriteValue), FormatMessage(2060, 1, 5, 7));
  Operand(QStringLiteral("3"));
  for (int command : {W::kIncrement, W::kDecrement, W::kBackup}) {
    SCOPED_TRACE(command);
    w.Activate(0, nullptr, nullptr, nullptr);  // the sector is no longer authenticated
    trace_->Clear();
    const QString entry = Run(command);
    EXPECT_TRUE(entry.endsWith(UiText(QStringLiteral("101.notRepeated")))) << entry.toStdString();
    EXPECT_EQ(FramesOf(0x70), 1);
    EXPECT_EQ(ReadCard().Value(5), 7);
  }
  Pick(1, 1, 2);
  w.Activate(0, nullptr, nullptr, nullptr);
  trace_->Clear();
  EXPECT_EQ(Run(W::kIncrement), FormatMessage(1995, 1, 5, 3, 6));
  EXPECT_EQ(FramesOf(0x70), 2);
  EXPECT_EQ(ReadCard().Value(6), 10);
}

TEST_F(Ops, WriteBlocksRefusesWhatItCannotWriteWhole) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(2, 2));
  MainWindow& w = window();
  const QString whole = QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C");
  Pick(1, 0);
  Choose(w.blockCountBox(), 2);
  // A 15-byte row 2, then a half-typed last byte in row 1.
  w.dataRow(1)->setEditText(whole.left(44));
  w.RunCommand(W::kWriteBlocks);
  w.dataRow(1)->setEditText(whole);
  w.dataRow(0)->setEditText(whole.left(46));
  w.RunCommand(W::kWriteBlocks);
  EXPECT_EQ(prompts_.messages(), QStringList(2, LoadMessage(2378)));

  // Block 0 of sector 0: the message ends its line, the next entry starts anew.
  Pick(0, 0);
  w.RunCommand(W::kWriteBlocks);
  w.AppendLog(QStringLiteral("next\n"), false);
  EXPECT_TRUE(Log().contains(LoadMessage(2100) + u'\n'));

  // A count that runs into the sector trailer is corrected, not sent.
  Pick(1, 2);
  {
    QSignalBlocker blocker(w.blockCountBox());
    w.blockCountBox()->setCurrentIndex(2);
  }
  EXPECT_EQ(Run(W::kWriteBlocks), FormatMessage(2140, 3, 1));
  EXPECT_EQ(w.SelectedBlockCount(), 1);
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_EQ(Hex16(ReadCard().Block(7)),
            QStringLiteral("FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF"));
}

TEST_F(Ops, FailedRecoveryIsReportedWithItsReason) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  window().keyBox()->setEditText(QStringLiteral("00 00 00 00 00 00"));
  Pick(1, 0);
  EXPECT_EQ(Run(W::kReadBlocks), FormatMessage(2170, qUtf8Printable(LoadMessage(4))));
}

// A key goes to the card only as typed in full and of its type's length; a
// malformed one is reported by the message box alone, never as a result code.
TEST_F(Ops, AuthenticationSendsOnlyWholeKeysOfTheirType) {
  struct Case {
    int level;
    int command;
    const char* key;     // sector key box
    const char* aesKey;  // Level 2 AES key box
    int authCommand;     // reader command that would carry the key
  };
  const char* ff16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
  const Case cases[] = {
      {3, W::kAuthenticate, "FF FF FF FF FF FF", ff16, 0x94},  // 6 bytes for an AES key
      {1, W::kAuthenticate, "FF FF FF FF FF F", ff16, 0x73},   // a half-typed last byte
      {2, W::kAuthenticate, "FF FF FF FF FF FF", "FF FF", 0x90},
      {2, W::kAesAuthenticate, "FF FF FF FF FF FF", "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF",
       0x90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    window_.reset();
    QFile::remove(TempPath(QStringLiteral("card.json")));
    prompts_.clear();
    ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(c.level, c.level));
    window().keyBox()->setEditText(QString::fromLatin1(c.key));
    window().aesKeyBox()->setEditText(QString::fromLatin1(c.aesKey));
    const auto entries = Entries().size();
    window().RunCommand(c.command);
    EXPECT_EQ(prompts_.messages(), QStringList{LoadMessage(2378)});
    EXPECT_EQ(Entries().size(), entries);
    EXPECT_EQ(FramesOf(c.authCommand), 0);
  }
}

}  // namespace
