// The settings file: path rule, defaults, and what each write leaves in it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "core/settings.h"
#include "core_qt_print.h"

namespace {

class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    path_ = dir_.filePath(QStringLiteral("Quillon.ini"));
    SetSettingsPath(path_);
  }
  void TearDown() override { SetSettingsPath(QString()); }

  QString FileText() const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
  }
  void WriteFile(const QByteArray& content) const {
    QFile file(path_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
  }

  QTemporaryDir dir_;
  QString path_;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndReadingCreatesNothing) {
  EXPECT_EQ(ReadTipEnable(), 0);
  EXPECT_EQ(ReadDefaultPage(), 1);
  EXPECT_EQ(ReadLanguage(), Language::SimplifiedChinese);
  EXPECT_FALSE(QFile::exists(path_));
}

TEST_F(SettingsTest, StartUpWritesCreateTheFileInSectionSetting) {
  WriteTipEnable(false);
  WriteDefaultPage(1);
  ASSERT_TRUE(QFile::exists(path_));
  const QString text = FileText();
  EXPECT_TRUE(text.contains(QStringLiteral("[Setting]"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("TipEnable=0"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("DefaultPage=1"))) << text.toStdString();
  WriteTipEnable(true);
  EXPECT_EQ(ReadTipEnable(), 1);
  EXPECT_TRUE(FileText().contains(QStringLiteral("TipEnable=1")));
}

TEST_F(SettingsTest, ReadsWhatAnotherProgramWroteBetweenTwoAccesses) {
  WriteDefaultPage(2);
  EXPECT_EQ(ReadDefaultPage(), 2);
  // Same size, same second: a cached copy of the file would still say 2.
  WriteFile("[Setting]\r\nTipEnable=1\r\nDefaultPage=3\r\n");
  EXPECT_EQ(ReadDefaultPage(), 3);
  EXPECT_EQ(ReadTipEnable(), 1);
}

TEST_F(SettingsTest, OutOfRangeAndMalformedValues) {
  WriteFile("[Setting]\nDefaultPage=7\nTipEnable=yes\n");
  EXPECT_EQ(ReadDefaultPage(), 7);  // the window decides that 7 selects no page
  EXPECT_EQ(ReadTipEnable(), 0);
  WriteFile("[Setting]\nDefaultPage=-1\n");
  EXPECT_EQ(ReadDefaultPage(), -1);
  WriteFile("[Other]\nDefaultPage=3\n");
  EXPECT_EQ(ReadDefaultPage(), 1);
}

TEST_F(SettingsTest, LanguageIsStoredByName) {
  WriteLanguage(Language::English);
  EXPECT_TRUE(FileText().contains(QStringLiteral("Language=English")));
  EXPECT_EQ(ReadLanguage(), Language::English);
  WriteLanguage(Language::TraditionalChinese);
  EXPECT_EQ(ReadLanguage(), Language::TraditionalChinese);
  // Other keys survive a language write.
  WriteDefaultPage(0);
  WriteLanguage(Language::SimplifiedChinese);
  EXPECT_EQ(ReadDefaultPage(), 0);
}

TEST_F(SettingsTest, WritingCreatesMissingFolders) {
  const QString nested = dir_.filePath(QStringLiteral("config/Quillon/Quillon.ini"));
  SetSettingsPath(nested);
  WriteDefaultPage(3);
  EXPECT_TRUE(QFile::exists(nested));
  EXPECT_EQ(ReadDefaultPage(), 3);
}

TEST_F(SettingsTest, PathRule) {
  EXPECT_EQ(SettingsPath(), path_);
  SetSettingsPath(QString());
  qputenv("QUILLON_INI", dir_.filePath(QStringLiteral("from-env.ini")).toUtf8());
  EXPECT_EQ(SettingsPath(), dir_.filePath(QStringLiteral("from-env.ini")));
  qunsetenv("QUILLON_INI");
  // The test program's folder is writable, so the file goes beside it.
  EXPECT_EQ(SettingsPath(),
            QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Quillon.ini")));
}

}  // namespace
