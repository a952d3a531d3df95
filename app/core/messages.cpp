#include "core/messages.h"

#include <QFile>
#include <QHash>
#include <QMap>
#include <QStringList>
#include <cstdarg>
#include <map>

// Built into the library as a Qt resource; a static library needs the explicit
// registration because nothing references the resource object by name. (The
// macro must be used outside any namespace.)
static void EnsureResources() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(quillon);
    return true;
  }();
  (void)registered;
}

namespace {

struct Table {
  QMap<int, QString> numbers;
  QHash<QString, QString> names;  // "ui." entries, without the prefix
};

QString ResourcePath(Language language) {
  switch (language) {
    case Language::TraditionalChinese:
      return QStringLiteral(":/quillon/strings_zh_TW.txt");
    case Language::English:
      return QStringLiteral(":/quillon/strings_en.txt");
    case Language::SimplifiedChinese:
      break;
  }
  return QStringLiteral(":/quillon/strings_zh_CN.txt");
}

// The table text: one entry per line, "KEY<TAB>TEXT", KEY a number or "ui.name";
// TEXT keeps everything after the first tab, with \n, \t and \\ unescaped, so
// leading and trailing blanks of a message survive. '#' lines are comments.
QString Unescape(QStringView raw) {
  QString out;
  out.reserve(raw.size());
  for (qsizetype i = 0; i < raw.size(); ++i) {
    const QChar c = raw[i];
    if (c != u'\\' || i + 1 == raw.size()) {
      out.append(c);
      continue;
    }
    const QChar next = raw[++i];
    if (next == u'n')
      out.append(u'\n');
    else if (next == u't')
      out.append(u'\t');
    else if (next == u'\\')
      out.append(u'\\');
    else {
      out.append(c);
      out.append(next);
    }
  }
  return out;
}

Table Parse(const QString& content) {
  Table table;
  const QStringList lines = content.split(u'\n');
  for (QString line : lines) {
    if (line.endsWith(u'\r')) line.chop(1);
    if (line.isEmpty() || line.startsWith(u'#')) continue;
    const qsizetype tab = line.indexOf(u'\t');
    if (tab <= 0) continue;
    const QString key = line.left(tab);
    const QString text = Unescape(QStringView(line).mid(tab + 1));
    if (key.startsWith(QStringLiteral("ui."))) {
      table.names.insert(key.mid(3), text);
      continue;
    }
    bool ok = false;
    const int number = key.toInt(&ok);
    if (ok) table.numbers.insert(number, text);
  }
  return table;
}

const Table& TableFor(Language language) {
  static std::map<Language, Table> tables;
  auto found = tables.find(language);
  if (found != tables.end()) return found->second;
  EnsureResources();
  QFile file(ResourcePath(language));
  Table table;
  if (file.open(QIODevice::ReadOnly)) table = Parse(QString::fromUtf8(file.readAll()));
  return tables.emplace(language, std::move(table)).first->second;
}

Language g_language = Language::SimplifiedChinese;

struct Registry {
  std::map<int, QString> texts;  // ordered by code
  int counter = 32210;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

QString LanguageName(Language language) {
  switch (language) {
    case Language::TraditionalChinese:
      return QStringLiteral("Chinese(Taiwan)");
    case Language::English:
      return QStringLiteral("English");
    case Language::SimplifiedChinese:
      break;
  }
  return QStringLiteral("Chinese");
}

Language LanguageFromName(const QString& name) {
  if (name == QLatin1String("Chinese(Taiwan)")) return Language::TraditionalChinese;
  if (name == QLatin1String("English")) return Language::English;
  return Language::SimplifiedChinese;
}

void SetLanguage(Language language) {
  g_language = language;
}

Language CurrentLanguage() {
  return g_language;
}

QString TableEntry(Language language, int number) {
  return TableFor(language).numbers.value(number);
}

QString TableUiEntry(Language language, const QString& name) {
  return TableFor(language).names.value(name);
}

QString LoadMessage(int number) {
  const auto& numbers = TableFor(g_language).numbers;
  auto found = numbers.constFind(number);
  if (found != numbers.constEnd()) return *found;
  return TableEntry(Language::SimplifiedChinese, number);
}

QString MessageText(int code) {
  const QString text = LoadMessage(code);
  if (!text.isEmpty()) return text;
  const Registry& registry = TheRegistry();
  auto found = registry.texts.find(code);
  if (found != registry.texts.end()) return found->second;
  return FormatMessage(2190, code);
}

int RegisterMessage(const QString& text) {
  Registry& registry = TheRegistry();
  for (const auto& [code, known] : registry.texts) {
    if (known == text) return code;
  }
  ++registry.counter;
  registry.texts.emplace(registry.counter, text);
  return registry.counter;
}

QString FormatMessage(int number, ...) {
  QByteArray format = LoadMessage(number).toUtf8();
  // "%p" took a 32-bit value and printed eight upper-case digits; here it would
  // read a pointer and print "0x..." instead.
  format.replace("%p", "%08X");
  va_list args;
  va_start(args, number);
  QString text = QString::vasprintf(format.constData(), args);
  va_end(args);
  return text;
}

QString UiText(const QString& name) {
  const auto& names = TableFor(g_language).names;
  auto found = names.constFind(name);
  if (found != names.constEnd()) return *found;
  return TableUiEntry(Language::SimplifiedChinese, name);
}

QString ControlText(int dialog, int id) {
  return UiText(QString::number(dialog) + u'.' + QString::number(id));
}

QString ControlText(int id) {
  const QString text = ControlText(101, id);
  return text.isEmpty() ? ControlText(103, id) : text;
}

QList<int> MessageNumbers(Language language) {
  return TableFor(language).numbers.keys();
}

QList<QString> UiTextNames(Language language) {
  QList<QString> names = TableFor(language).names.keys();
  names.sort();
  return names;
}
