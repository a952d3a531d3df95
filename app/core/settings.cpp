#include "core/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringConverter>
#include <QStringList>

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

// The file as lines of text, with what is needed to write it back the way it
// came: its encoding (UTF-8, with or without mark, or UTF-16 with its byte
// order mark, as Windows programs write it) and its line end.
struct IniFile {
  QString path;          // where a write goes: a link's target, not the link
  bool writable = true;  // false: not a regular file, or one we cannot read
  QByteArray mark;       // byte order mark, kept as found
  QStringConverter::Encoding encoding = QStringConverter::Utf8;
  QString lineEnd = QStringLiteral("\n");
  QStringList lines;
};

IniFile Load(const QString& path) {
  IniFile ini;
  const QFileInfo link(path);
  ini.path = link.isSymLink() ? link.symLinkTarget() : path;
  const QFileInfo info(ini.path);
  if (!info.exists()) return ini;
  // A device, a pipe or a folder is never read (it may never end) nor replaced.
  QFile file(ini.path);
  if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
    ini.writable = false;
    return ini;
  }
  QByteArray bytes = file.readAll();
  struct Mark {
    const char* bytes;
    QStringConverter::Encoding encoding;
  };
  for (const Mark& m :
       {Mark{"\xFF\xFE", QStringConverter::Utf16LE}, Mark{"\xFE\xFF", QStringConverter::Utf16BE},
        Mark{"\xEF\xBB\xBF", QStringConverter::Utf8}}) {
    if (bytes.startsWith(m.bytes)) {
      ini.mark = QByteArray(m.bytes);
      ini.encoding = m.encoding;
      bytes.remove(0, ini.mark.size());
      break;
    }
  }
  QStringDecoder decode(ini.encoding);
  const QString text = decode(bytes);
  if (text.contains(QStringLiteral("\r\n"))) ini.lineEnd = QStringLiteral("\r\n");
  ini.lines = text.split(u'\n');
  for (QString& line : ini.lines) {
    if (line.endsWith(u'\r')) line.chop(1);
  }
  return ini;
}

// Line numbers of section "Setting", of `name` in it (-1 when absent) and of
// the last line that belongs to the section.
struct Place {
  int section = -1;
  int key = -1;
  int last = -1;
};

Place Find(const QStringList& lines, const char* name) {
  Place place;
  bool inside = false;
  for (int i = 0; i < lines.size(); ++i) {
    const QString line = lines[i].trimmed();
    if (line.startsWith(u'[')) {
      inside = place.section < 0 &&
               line.compare(u'[' + QLatin1String(kSection) + u']', Qt::CaseInsensitive) == 0;
      if (inside) place.section = place.last = i;
      continue;
    }
    if (!inside) continue;
    if (!line.isEmpty()) place.last = i;
    const qsizetype equals = line.indexOf(u'=');
    if (place.key < 0 && equals > 0 &&
        line.left(equals).trimmed().compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
      place.key = i;
    }
  }
  return place;
}

QString ReadString(const char* name) {
  const IniFile ini = Load(SettingsPath());
  const Place place = Find(ini.lines, name);
  if (place.key < 0) return {};
  const QString line = ini.lines[place.key];
  QString value = line.mid(line.indexOf(u'=') + 1).trimmed();
  if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
    value = value.mid(1, value.size() - 2);
  return value;
}

int ReadInt(const char* name, int fallback) {
  bool ok = false;
  const int value = ReadString(name).toInt(&ok);
  return ok ? value : fallback;
}

// Replaces the key's line, or adds it to the section (or the section to the
// file), and writes the file back in its own encoding; everything else stays.
void WriteString(const char* name, const QString& value) {
  IniFile ini = Load(SettingsPath());
  if (!ini.writable) return;
  const Place place = Find(ini.lines, name);
  const QString line = QLatin1String(name) + u'=' + value;
  if (place.key >= 0) {
    ini.lines[place.key] = line;
  } else if (place.section >= 0) {
    ini.lines.insert(place.last + 1, line);
  } else {
    if (!ini.lines.isEmpty() && ini.lines.last().isEmpty()) ini.lines.removeLast();
    ini.lines << u'[' + QLatin1String(kSection) + u']' << line << QString();
  }
  QDir().mkpath(QFileInfo(ini.path).absolutePath());
  QSaveFile file(ini.path);
  if (!file.open(QIODevice::WriteOnly)) return;
  QStringEncoder encode(ini.encoding);
  file.write(ini.mark);
  file.write(encode(ini.lines.join(ini.lineEnd)));
  file.commit();
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

// Each write happens only when the value the file means changes: a value that
// cannot be read stays as it stands until the operator chooses another.
void WriteTipEnable(bool enabled) {
  if (ReadTipEnable() == (enabled ? 1 : 0)) return;
  WriteString(kTipEnable, enabled ? QStringLiteral("1") : QStringLiteral("0"));
}

int ReadDefaultPage() {
  return ReadInt(kDefaultPage, 1);
}

void WriteDefaultPage(int page) {
  if (ReadDefaultPage() == page) return;
  WriteString(kDefaultPage, QString::number(page));
}

Language ReadLanguage() {
  return LanguageFromName(ReadString(kLanguage));
}

void WriteLanguage(Language language) {
  if (ReadLanguage() == language) return;
  WriteString(kLanguage, LanguageName(language));
}
