#include "core/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char kSection[] = "Setting";
const char kTipEnable[] = "TipEnable";
const char kDefaultPage[] = "DefaultPage";
const char kLanguage[] = "Language";
const char kFileName[] = "Quillon.ini";

QString& OverridePath() {
  static QString path;
  return path;
}

// Beside the program when we may write there (the file itself, or the folder
// when the file does not exist yet); otherwise the user's configuration folder.
QString DefaultPath() {
  const QString dir = QCoreApplication::applicationDirPath();
  const QFileInfo beside(QDir(dir).filePath(QString::fromLatin1(kFileName)));
  const bool writable = beside.exists() ? beside.isWritable() : QFileInfo(dir).isWritable();
  if (!dir.isEmpty() && writable) return beside.filePath();
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return QDir(config).filePath(QStringLiteral("Quillon/") + QString::fromLatin1(kFileName));
}

QString Key(const char* name) {
  return QString::fromLatin1(kSection) + u'/' + QString::fromLatin1(name);
}

// A fresh QSettings per access, so the file is never held open and edits made
// by others between two accesses are seen.
int ReadInt(const char* name, int fallback) {
  QSettings settings(SettingsPath(), QSettings::IniFormat);
  bool ok = false;
  const int value = settings.value(Key(name)).toString().trimmed().toInt(&ok);
  return ok ? value : fallback;
}

void WriteString(const char* name, const QString& value) {
  const QString path = SettingsPath();
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSettings settings(path, QSettings::IniFormat);
  settings.setValue(Key(name), value);
  settings.sync();
}

}  // namespace

QString SettingsPath() {
  if (!OverridePath().isEmpty()) return OverridePath();
  const QString fromEnv = qEnvironmentVariable("QUILLON_INI");
  if (!fromEnv.isEmpty()) return fromEnv;
  static const QString path = DefaultPath();
  return path;
}

void SetSettingsPath(const QString& path) {
  OverridePath() = path;
}

int ReadTipEnable() {
  return ReadInt(kTipEnable, 0);
}

void WriteTipEnable(bool enabled) {
  WriteString(kTipEnable, enabled ? QStringLiteral("1") : QStringLiteral("0"));
}

int ReadDefaultPage() {
  return ReadInt(kDefaultPage, 1);
}

void WriteDefaultPage(int page) {
  WriteString(kDefaultPage, QString::number(page));
}

Language ReadLanguage() {
  QSettings settings(SettingsPath(), QSettings::IniFormat);
  return LanguageFromName(settings.value(Key(kLanguage)).toString());
}

void WriteLanguage(Language language) {
  WriteString(kLanguage, LanguageName(language));
}
