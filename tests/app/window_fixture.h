// A main window on the offscreen platform, with its own settings file, scripted
// prompts and (by default) the in-process simulated reader with a fresh card.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <map>
#include <memory>
#include <optional>

#include "core/messages.h"
#include "core/settings.h"
#include "gui/card_level_page.h"
#include "gui/info_window.h"
#include "gui/main_window.h"
#include "gui/prompts.h"
#include "gui/registration.h"
#include "ostrel.h"

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QByteArray& value) : name_(name) {
    if (qEnvironmentVariableIsSet(name)) previous_ = qgetenv(name);
    qputenv(name, value);
  }
  ~ScopedEnv() {
    if (previous_) {
      qputenv(name_, *previous_);
    } else {
      qunsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<QByteArray> previous_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    SetSettingsPath(IniPath());
    SetLanguage(Language::SimplifiedChinese);
    TheAesAuthMemory() = AesAuthMemory{};
    RegisterQuillon();
  }

  void TearDown() override {
    window_.reset();
    SetSettingsPath(QString());
    SetLanguage(Language::SimplifiedChinese);
  }

  QString IniPath() const { return dir_.filePath(QStringLiteral("Quillon.ini")); }
  QString TempPath(const QString& name) const { return dir_.filePath(name); }

  void WriteIni(const std::map<QString, QString>& values) {
    QSettings ini(IniPath(), QSettings::IniFormat);
    for (const auto& [key, value] : values) ini.setValue(QStringLiteral("Setting/") + key, value);
    ini.sync();
  }
  // Read from the file itself: QSettings keeps a per-process cache that can miss
  // a rewrite of the same size within its time stamp's resolution.
  QString IniValue(const QString& key) const {
    QFile file(IniPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    bool inSection = false;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(u'\n')) {
      const QString line = raw.trimmed();
      if (line.startsWith(u'['))
        inSection = line == QStringLiteral("[Setting]");
      else if (inSection && line.section(u'=', 0, 0).trimmed() == key)
        return line.section(u'=', 1).trimmed();
    }
    return {};
  }

  // Creates and initialises the window (connects to the reader, opens the stored tab).
  MainWindow& Open() {
    window_ = std::make_unique<MainWindow>();
    window_->Initialise();
    return *window_;
  }
  MainWindow& window() { return *window_; }

  QString Log() const { return window_->infoWindow()->toPlainText(); }
  // Log entries: the texts that follow each time stamp.
  QStringList Entries() const {
    static const QRegularExpression stamp(
        QStringLiteral("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} "));
    QStringList parts = Log().split(stamp);
    if (!parts.isEmpty()) parts.removeFirst();  // whatever precedes the first stamp
    return parts;
  }
  // Whether the characters of `text` in the information window are red.
  bool IsRed(const QString& text) const {
    QTextDocument* doc = window_->infoWindow()->document();
    QTextCursor found = doc->find(text);
    if (found.isNull()) return false;
    QTextCursor probe(doc);
    probe.setPosition(found.selectionStart() + 1);
    return probe.charFormat().foreground().color() == QColor(255, 0, 0);
  }
  // A table message without its trailing line end, as it shows in one line.
  static QString Line(int number) {
    QString text = LoadMessage(number);
    while (text.endsWith(u'\n')) text.chop(1);
    return text;
  }

  QTemporaryDir dir_;
  ScriptedPrompts prompts_;
  std::unique_ptr<MainWindow> window_;
};

// The frames of one reader session, read from the library's frame trace.
class FrameTrace {
 public:
  explicit FrameTrace(const QString& path)
      : path_(path), env_("OSTREL_TRACE", path.toLocal8Bit()) {}
  // Request frames written to the reader, as bytes (control, command, length, data..., check).
  std::vector<QByteArray> Requests() const {
    std::vector<QByteArray> frames;
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return frames;
    for (const QByteArray& line : file.readAll().split('\n')) {
      const qsizetype arrow = line.indexOf(" > ");
      if (arrow < 0) continue;
      QByteArray bytes;
      for (const QByteArray& token : line.mid(arrow + 3).split(' ')) {
        if (token.size() != 2) break;  // masked bytes and suffixes end the frame
        bool ok = false;
        const int value = token.toInt(&ok, 16);
        if (!ok) break;
        bytes.append(static_cast<char>(value));
      }
      frames.push_back(bytes);
    }
    return frames;
  }
  // Reader command bytes of the requests, in order.
  std::vector<int> Commands() const {
    std::vector<int> commands;
    for (const QByteArray& frame : Requests()) {
      if (frame.size() > 1) commands.push_back(static_cast<unsigned char>(frame[1]));
    }
    return commands;
  }
  void Clear() const { QFile::resize(path_, 0); }

 private:
  QString path_;
  ScopedEnv env_;
};

// A window test whose reader frames are traced, for tests that prove what was
// (or was not) sent to the card.
class TracedWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    trace_ = std::make_unique<FrameTrace>(TempPath(QStringLiteral("frames.trace")));
  }
  void TearDown() override {
    WindowTest::TearDown();
    trace_.reset();
  }
  std::unique_ptr<FrameTrace> trace_;
};
