// Quillon in English: the language stored in the settings file is loaded at
// start-up and every visible text of the main window comes from that table.
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTabBar>
#include <set>

#include "gui/application.h"
#include "window_fixture.h"

namespace {

bool HasCjk(const QString& text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
        (u >= 0xFF00 && u <= 0xFFEF)) {
      return true;
    }
  }
  return false;
}

// Data rather than words: hex bytes, addresses and small numbers.
bool IsData(const QString& text) {
  static const QRegularExpression data(QStringLiteral("^(0x)?[0-9A-Fa-f ]*$"));
  return data.match(text).hasMatch();
}

struct VisibleText {
  QString where;
  QString text;
};

std::vector<VisibleText> WalkTexts(QWidget* root) {
  std::vector<VisibleText> texts;
  auto add = [&texts](const QObject* owner, const QString& text) {
    if (!text.isEmpty())
      texts.push_back(
          {owner->objectName() + QStringLiteral(" (") + owner->metaObject()->className() + u')',
           text});
  };
  add(root, root->windowTitle());
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (auto* label = qobject_cast<QLabel*>(w)) add(w, label->text());
    if (auto* button = qobject_cast<QAbstractButton*>(w)) add(w, button->text());
    if (auto* group = qobject_cast<QGroupBox*>(w)) add(w, group->title());
    if (auto* edit = qobject_cast<QLineEdit*>(w)) add(w, edit->text());
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
      for (int i = 0; i < combo->count(); ++i) add(w, combo->itemText(i));
    }
    if (auto* tabs = qobject_cast<QTabBar*>(w)) {
      for (int i = 0; i < tabs->count(); ++i) add(w, tabs->tabText(i));
    }
    if (auto* menu = qobject_cast<QMenu*>(w)) add(w, menu->title());
    for (QAction* action : w->actions()) {
      if (!action->isSeparator()) add(action, action->text());
    }
  }
  return texts;
}

using English = WindowTest;

TEST_F(English, StoredEnglishLoadsTheEnglishTableForEveryVisibleText) {
  ScopedEnv noReader("HOLLINK_READER", QByteArray("serial:/nonexistent/tty"));
  WriteIni({{QStringLiteral("Language"), QStringLiteral("English")},
            {QStringLiteral("DefaultPage"), QStringLiteral("1")}});
  Application::PrepareSettings();
  ASSERT_EQ(CurrentLanguage(), Language::English);
  MainWindow& w = Open();

  std::set<QString> table;
  for (const QString& name : UiTextNames(Language::English)) {
    table.insert(TableUiEntry(Language::English, name));
  }
  for (int number : MessageNumbers(Language::English)) {
    table.insert(TableEntry(Language::English, number));
  }

  const std::vector<VisibleText> texts = WalkTexts(&w);
  ASSERT_GT(texts.size(), 80u);
  for (const VisibleText& t : texts) {
    EXPECT_FALSE(HasCjk(t.text)) << t.where.toStdString() << ": " << t.text.toStdString();
    if (IsData(t.text)) continue;
    EXPECT_TRUE(table.count(t.text) == 1)
        << t.where.toStdString()
        << " shows text that is not in the English table: " << t.text.toStdString();
  }
  // The log speaks English too.
  EXPECT_FALSE(HasCjk(Log())) << Log().toStdString();
  EXPECT_EQ(Entries().value(0), TableEntry(Language::English, 1915));
  // The texts of the other pages, hidden now, as well.
  EXPECT_EQ(w.findChild<QAbstractButton*>(QStringLiteral("virtualCardBox"))->text(),
            TableUiEntry(Language::English, QStringLiteral("106.1095")));
  EXPECT_EQ(w.findChild<QAbstractButton*>(QStringLiteral("connectButton"))->text(),
            TableUiEntry(Language::English, QStringLiteral("101.1005")));
}

TEST_F(English, WithoutAStoredLanguageTheTextsAreSimplifiedChinese) {
  ScopedEnv noReader("HOLLINK_READER", QByteArray("serial:/nonexistent/tty"));
  SetLanguage(Language::English);  // whatever ran before
  Application::PrepareSettings();
  EXPECT_EQ(CurrentLanguage(), Language::SimplifiedChinese);
  MainWindow& w = Open();
  EXPECT_EQ(w.findChild<QAbstractButton*>(QStringLiteral("connectButton"))->text(),
            QStringLiteral("连接读卡器"));
  EXPECT_EQ(Entries().value(0), QStringLiteral("正在连接 读卡器... ...\n"));
}

TEST(DefaultReader, IsTheSimulatorWithItsPersistentCardUnlessChosen) {
  EXPECT_EQ(Application::DefaultReader(), QStringLiteral("sim:state"));
  {
    ScopedEnv chosen("HOLLINK_READER", QByteArray("tcp:127.0.0.1:1"));
    Application::ChooseReader();
    EXPECT_EQ(qgetenv("HOLLINK_READER"), QByteArray("tcp:127.0.0.1:1"));
  }
  {
    ScopedEnv unset("HOLLINK_READER", QByteArray());
    Application::ChooseReader();
    EXPECT_EQ(qgetenv("HOLLINK_READER"), QByteArray("sim:state"));
  }
}

}  // namespace
