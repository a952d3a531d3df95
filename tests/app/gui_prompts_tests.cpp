// The prompts interface: filter conversion and the scripted test prompts.
#include <gtest/gtest.h>

#include "core/messages.h"
#include "core_qt_print.h"
#include "gui/prompts.h"

namespace {

TEST(QtFileFilterTest, ConvertsTheLogFilter) {
  SetLanguage(Language::SimplifiedChinese);
  EXPECT_EQ(QtFileFilter(LoadMessage(2376)),
            QStringLiteral("日志文件(*.log);;文本文件(*.txt);;All Files (*.*)"));
  EXPECT_EQ(QtFileFilter(QStringLiteral("Data|*.bin||")), QStringLiteral("Data (*.bin)"));
  EXPECT_EQ(QtFileFilter(QStringLiteral("Images|*.png;*.jpg||")),
            QStringLiteral("Images (*.png *.jpg)"));
  EXPECT_EQ(QtFileFilter(QString()), QString());
  EXPECT_EQ(QtFileFilter(QStringLiteral("Odd|")), QStringLiteral("Odd ()"));
}

TEST(ScriptedPromptsTest, AnswersFromQueuesAndRestoresThePrevious) {
  Prompts& real = CurrentPrompts();
  EXPECT_NE(dynamic_cast<QtPrompts*>(&real), nullptr);
  {
    ScriptedPrompts outer;
    EXPECT_EQ(&CurrentPrompts(), &outer);
    {
      ScriptedPrompts inner;
      EXPECT_EQ(&CurrentPrompts(), &inner);
      inner.QueueYesNo(true);
      EXPECT_TRUE(CurrentPrompts().AskYesNo(nullptr, QStringLiteral("upgrade?"),
                                            QStringLiteral("confirm")));
      // An unanswered question gets the default button, No.
      EXPECT_FALSE(
          CurrentPrompts().AskYesNo(nullptr, QStringLiteral("again?"), QStringLiteral("confirm")));
      EXPECT_TRUE(CurrentPrompts()
                      .SaveFileName(nullptr, QStringLiteral("a.log"), QStringLiteral("x|*.x||"))
                      .isEmpty());
      CurrentPrompts().Message(nullptr, QStringLiteral("done"), QStringLiteral("ok"),
                               Prompts::Icon::Warning);
      ASSERT_EQ(inner.shown().size(), 4);
      EXPECT_EQ(inner.shown()[0].kind, ScriptedPrompts::Shown::Kind::YesNo);
      EXPECT_EQ(inner.shown()[2].kind, ScriptedPrompts::Shown::Kind::SaveFile);
      EXPECT_EQ(inner.shown()[2].text, QStringLiteral("a.log"));
      EXPECT_EQ(inner.messages(), QStringList{QStringLiteral("done")});
      EXPECT_EQ(inner.shown()[3].icon, Prompts::Icon::Warning);
      EXPECT_TRUE(outer.shown().isEmpty());
    }
    EXPECT_EQ(&CurrentPrompts(), &outer);
  }
  EXPECT_EQ(&CurrentPrompts(), &real);
}

}  // namespace
