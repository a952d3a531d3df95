// The settings file: path rule, defaults, and what each write leaves in it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringConverter>
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
  QByteArray FileBytes() const {
    QFile file(path_);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

TEST_F(SettingsTest, OnlyAChangedValueIsWrittenAndCreatesTheFileInSectionSetting) {
  // What start-up writes back is what the file already means: no file appears.
  WriteTipEnable(false);
  WriteDefaultPage(1);
  WriteLanguage(Language::SimplifiedChinese);
  EXPECT_FALSE(QFile::exists(path_));
  WriteDefaultPage(2);
  WriteTipEnable(true);
  const QString text = FileText();
  EXPECT_EQ(text, QStringLiteral("[Setting]\nDefaultPage=2\nTipEnable=1\n"));
  EXPECT_EQ(ReadTipEnable(), 1);
  EXPECT_EQ(ReadDefaultPage(), 2);
}

TEST_F(SettingsTest, UnreadableValuesStayAndTheFileKeepsItsEncoding) {
  const QString before = QStringLiteral(
      "; Quillon\r\n[Setting]\r\nTipEnable=yes\r\nDefaultPage=abc\r\n"
      "Language=Klingon\r\n; \u64cd\u4f5c\r\n\r\n[Other]\r\nDefaultPage=3\r\n");
  struct Case {
    const char* mark;
    QStringConverter::Encoding encoding;
  };
  for (const Case& c :
       {Case{"", QStringConverter::Utf8}, Case{"\xEF\xBB\xBF", QStringConverter::Utf8},
        Case{"\xFF\xFE", QStringConverter::Utf16LE}, Case{"\xFE\xFF", QStringConverter::Utf16BE}}) {
    SCOPED_TRACE(c.encoding);
    QStringEncoder encode(c.encoding);
    const QByteArray content = QByteArray(c.mark) + QByteArray(encode(before));
    WriteFile(content);
    // Defaults in memory; writing them back leaves every byte in place.
    EXPECT_EQ(ReadTipEnable(), 0);
    EXPECT_EQ(ReadDefaultPage(), 1);
    EXPECT_EQ(ReadLanguage(), Language::SimplifiedChinese);
    WriteTipEnable(false);
    WriteDefaultPage(1);
    WriteLanguage(Language::SimplifiedChinese);
    EXPECT_EQ(FileBytes(), content);
    // A real change replaces that value only, in the file's own encoding.
    WriteDefaultPage(2);
    QString after = before;
    after.replace(QStringLiteral("DefaultPage=abc"), QStringLiteral("DefaultPage=2"));
    EXPECT_EQ(FileBytes(), QByteArray(c.mark) + QByteArray(encode(after)));
    EXPECT_EQ(ReadDefaultPage(), 2);
  }
}

TEST_F(SettingsTest, WhatIsNotARegularFileIsNeitherReadNorReplaced) {
  const QString fifo = dir_.filePath(QStringLiteral("fifo.ini"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  for (const QString& path : {fifo, dir_.path()}) {
    SetSettingsPath(path);
    EXPECT_EQ(ReadDefaultPage(), 1);  // a pipe or device may never end: not read
    WriteDefaultPage(3);
    WriteLanguage(Language::English);
    const QFileInfo info(path);
    EXPECT_TRUE(info.exists() && !info.isFile()) << path.toStdString();
  }
  // Through a link the target is written; the link stays a link.
  const QString target = dir_.filePath(QStringLiteral("target.ini"));
  const QString link = dir_.filePath(QStringLiteral("link.ini"));
  ASSERT_TRUE(QFile::link(target, link));
  SetSettingsPath(link);
  WriteDefaultPage(3);
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_TRUE(QFileInfo(target).isFile());
  EXPECT_EQ(ReadDefaultPage(), 3);
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
