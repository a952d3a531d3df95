// Texts: the string tables, MessageText, the message registry and formatting.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>

#include "core/messages.h"
#include "core_qt_print.h"

namespace {

// The printf conversions of a text in order ("%d", "%02X", "%s" ...), so that a
// translation that swaps or drops one is caught before it formats garbage.
QStringList Conversions(const QString& text) {
  static const QRegularExpression conversion(
      QStringLiteral("%[-+ #0]*[0-9]*(?:\\.[0-9]+)?[hlL]*[diouxXcspf%]"));
  QStringList found;
  for (auto it = conversion.globalMatch(text); it.hasNext();) found.append(it.next().captured());
  return found;
}

class MessagesTest : public testing::Test {
 protected:
  void SetUp() override { SetLanguage(Language::SimplifiedChinese); }
  void TearDown() override { SetLanguage(Language::SimplifiedChinese); }
};

// Runs first in its own process (ctest runs every case alone), so the registry
// starts empty.
TEST_F(MessagesTest, RegistryHandsOutCodesFrom32211AndReusesEqualTexts) {
  const QString bufferTooSmall = LoadMessage(2180);
  ASSERT_EQ(bufferTooSmall, QStringLiteral("数据缓冲区太小\n"));
  EXPECT_EQ(RegisterMessage(bufferTooSmall), 32211);
  EXPECT_EQ(RegisterMessage(bufferTooSmall), 32211);
  // Same characters without the line end is another text.
  EXPECT_EQ(RegisterMessage(LoadMessage(2300)), 32212);
  EXPECT_EQ(RegisterMessage(bufferTooSmall), 32211);
  EXPECT_EQ(MessageText(32211), bufferTooSmall);
  EXPECT_EQ(MessageText(32212), QStringLiteral("数据缓冲区太小"));
  // A code nobody registered yet still has a text.
  EXPECT_EQ(MessageText(32213), QStringLiteral("找不到错误号为 32213 的错误描述\n"));
}

TEST_F(MessagesTest, MessageTextPrefersTableThenRegistryThenFallback) {
  EXPECT_EQ(MessageText(9), QStringLiteral("密钥错误"));
  EXPECT_EQ(MessageText(7), QStringLiteral("找不到错误号为 7 的错误描述\n"));
  EXPECT_EQ(MessageText(0), QStringLiteral("找不到错误号为 0 的错误描述\n"));
  EXPECT_EQ(MessageText(-5), QStringLiteral("找不到错误号为 -5 的错误描述\n"));
  EXPECT_EQ(MessageText(1950), QStringLiteral("没有连接读卡器\n"));
  EXPECT_EQ(MessageText(2210), QStringLiteral("ERROR_CODE_NOimplement"));
  EXPECT_TRUE(LoadMessage(7).isEmpty());
  EXPECT_TRUE(LoadMessage(99999).isEmpty());
}

TEST_F(MessagesTest, StatusTableHoldsExactly124Texts) {
  const QList<int> numbers = MessageNumbers(Language::SimplifiedChinese);
  int status = 0;
  for (int number : numbers) status += (number >= 1 && number <= 255) ? 1 : 0;
  EXPECT_EQ(status, 124);
  // Gaps of the table fall to the fallback text.
  for (int missing : {7, 28, 29, 33, 105, 112, 180, 189, 190, 192, 197, 207, 215}) {
    EXPECT_TRUE(LoadMessage(missing).isEmpty()) << missing;
  }
}

TEST_F(MessagesTest, QuotedTextsKeepTheirBlanksAndLineEnds) {
  EXPECT_EQ(LoadMessage(225), QStringLiteral(" 无空闲ID可用"));
  EXPECT_EQ(LoadMessage(204), QStringLiteral("分组帧格式错误 "));
  EXPECT_EQ(LoadMessage(232), QStringLiteral("目标发送草食"));
  EXPECT_EQ(LoadMessage(1785), QStringLiteral("当鼠标停留在按钮或其它控件上方时\n就像本条语句一样 "
                                              "会出现一条提示语句 \n用来帮助您理解操作的内容."));
  EXPECT_EQ(LoadMessage(1915), QStringLiteral("正在连接 读卡器... ...\n"));
  EXPECT_EQ(LoadMessage(2140),
            QStringLiteral("当前状况 读写块数不能为%d个,已经自动给您改成%d个了,否则会越界!\n"));
  EXPECT_EQ(LoadMessage(2376),
            QStringLiteral("日志文件(*.log)|*.log|文本文件(*.txt)|*.txt|All Files (*.*)|*.*||"));
  EXPECT_EQ(LoadMessage(2305), QStringLiteral("AES密钥地址不在0x4000～0x403F之间\n"));
  EXPECT_EQ(LoadMessage(2394), QStringLiteral("16进制数,表示卡片容量   0A=2K字节 0B=4K字节\n"));
  EXPECT_EQ(LoadMessage(2402), QStringLiteral("设置成功,重启软件后生效"));
}

TEST_F(MessagesTest, EveryLanguageHasEveryEntryWithTheSameFormats) {
  const QList<int> numbers = MessageNumbers(Language::SimplifiedChinese);
  const QList<QString> names = UiTextNames(Language::SimplifiedChinese);
  ASSERT_GT(numbers.size(), 250);
  ASSERT_GT(names.size(), 100);
  for (Language other : {Language::English, Language::TraditionalChinese}) {
    const QList<int> otherNumbers = MessageNumbers(other);
    EXPECT_EQ(QSet<int>(otherNumbers.begin(), otherNumbers.end()),
              QSet<int>(numbers.begin(), numbers.end()));
    for (int number : numbers) {
      const QString source = TableEntry(Language::SimplifiedChinese, number);
      const QString translated = TableEntry(other, number);
      EXPECT_FALSE(translated.isEmpty()) << number;
      EXPECT_EQ(Conversions(translated), Conversions(source)) << number;
      EXPECT_EQ(translated.endsWith(u'\n'), source.endsWith(u'\n')) << number;
    }
    const QList<QString> otherNames = UiTextNames(other);
    EXPECT_EQ(otherNames, names);
    for (const QString& name : names) {
      EXPECT_EQ(Conversions(TableUiEntry(other, name)),
                Conversions(TableUiEntry(Language::SimplifiedChinese, name)))
          << name.toStdString();
    }
  }
}

TEST_F(MessagesTest, LanguageSwitchChangesLoadedTexts) {
  SetLanguage(Language::English);
  EXPECT_EQ(CurrentLanguage(), Language::English);
  EXPECT_EQ(MessageText(9), QStringLiteral("Key error"));
  EXPECT_EQ(MessageText(7), QStringLiteral("No description found for error number 7\n"));
  EXPECT_EQ(ControlText(1077), QStringLiteral("Show tips"));
  SetLanguage(Language::TraditionalChinese);
  EXPECT_EQ(MessageText(9), QStringLiteral("金鑰錯誤"));
  EXPECT_EQ(LoadMessage(2402), QStringLiteral("設定成功,重啟軟體後生效"));
}

TEST_F(MessagesTest, LanguageNamesRoundTrip) {
  for (Language language :
       {Language::SimplifiedChinese, Language::TraditionalChinese, Language::English}) {
    EXPECT_EQ(LanguageFromName(LanguageName(language)), language);
  }
  EXPECT_EQ(LanguageName(Language::TraditionalChinese), QStringLiteral("Chinese(Taiwan)"));
  EXPECT_EQ(LanguageName(Language::SimplifiedChinese), QStringLiteral("Chinese"));
  EXPECT_EQ(LanguageFromName(QStringLiteral("Klingon")), Language::SimplifiedChinese);
  EXPECT_EQ(LanguageFromName(QString()), Language::SimplifiedChinese);
}

TEST_F(MessagesTest, FormatMessageFillsNumbersTextsAndWordValues) {
  EXPECT_EQ(FormatMessage(2140, 3, 1),
            QStringLiteral("当前状况 读写块数不能为3个,已经自动给您改成1个了,否则会越界!\n"));
  EXPECT_EQ(FormatMessage(1970, qUtf8Printable(MessageText(1))),
            QStringLiteral("激活卡片失败！错误原因:有效区内没卡\n"));
  // The value of a read is printed as eight upper-case digits after the 0x.
  EXPECT_EQ(FormatMessage(2035, 3, 0x12, 0x1F),
            QStringLiteral("Level 3 块地址0x12 读取成功值为：0x0000001F\n"));
  EXPECT_EQ(FormatMessage(2060, 1, 0x05, -1),
            QStringLiteral("Level 1 块地址0x05 写入成功值为：0xFFFFFFFF\n"));
}

TEST_F(MessagesTest, CaptionsAreLookedUpPerDialog) {
  EXPECT_EQ(ControlText(1077), QStringLiteral("显示提示信息"));
  EXPECT_EQ(ControlText(1095), QStringLiteral("扇区"));
  EXPECT_EQ(ControlText(106, 1095), QStringLiteral("虚拟卡"));
  EXPECT_EQ(ControlText(1840), QStringLiteral("保存日志"));  // a menu command
  EXPECT_EQ(UiText(QStringLiteral("101.title")), QStringLiteral("Pelkin PLUS Card"));
  EXPECT_EQ(UiText(QStringLiteral("101.tab2")), QStringLiteral("Level  2"));
  EXPECT_TRUE(UiText(QStringLiteral("no.such.name")).isEmpty());
  EXPECT_TRUE(ControlText(4242).isEmpty());
}

}  // namespace
