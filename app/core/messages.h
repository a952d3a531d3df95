// Texts of the application: the numbered string table (one per language, compiled
// in as Qt resources), the message registry for texts that travel as result codes,
// and the captions of controls and menus.
//
// Numbers: 1..255 are the library's status texts under the status code itself;
// the application's messages keep their own numbers (1765..2402). Registered texts
// get codes from 32211 upward. Control and menu captions live in the same tables
// under names ("ui.<id>" for a control or command id, "ui.<name>" for the rest)
// so that a language switch changes every visible text.
#pragma once

#include <QList>
#include <QString>

enum class Language {
  SimplifiedChinese,  // the default and authoritative table
  TraditionalChinese,
  English,
};

// The names the language menu hands to the settings: "Chinese", "Chinese(Taiwan)",
// "English". Unknown names fall back to simplified Chinese.
QString LanguageName(Language language);
Language LanguageFromName(const QString& name);

// Chooses the table that LoadMessage/UiText read for the rest of the run. The
// application calls it once at start-up with the language from the settings
// file; a choice made in the menu is only stored and takes effect at the next
// start. Tests may switch freely.
void SetLanguage(Language language);
Language CurrentLanguage();

// The string-table entry `number` of the current language, or an empty text when
// there is none. When the current language lacks an entry the simplified Chinese
// one is given, so a partial table never blanks a message.
QString LoadMessage(int number);

// Text for any result code: the table entry, else the registered text, else
// message 2190 ("no description found for error number %d") with the code.
// Never empty.
QString MessageText(int code);

// Stores `text` in the program-wide registry and returns its code: the code of
// an identical text registered before, else the next free code (32211, 32212, ...).
int RegisterMessage(const QString& text);

// printf-style formatting of table entry `number` ("%d", "%02X", "%s" ...).
// "%s" arguments are UTF-8 `const char*` (pass qUtf8Printable(text)). "%p" in a
// table text stands for a 32-bit value printed as eight upper-case hex digits
// (as the original platform printed it); pass an int for it.
QString FormatMessage(int number, ...);

// Captions, by name ("ui.<name>" in the table). Names are "<dialog>.<control
// id>" or "<dialog>.<name>", with the dialog template numbers: 100 about box,
// 101 main window, 103 its menu, 102/105/107/106 the Level 0/1/2/3 pages; e.g.
// UiText("101.title"), UiText("103.file"), UiText("107.text"). Falls back to
// simplified Chinese, then to an empty text.
QString UiText(const QString& name);
// UiText("<dialog>.<id>").
QString ControlText(int dialog, int id);
// A main-window control (101) or, failing that, a menu command (103).
QString ControlText(int id);

// Every message number (not the "ui." names) of a language's table, ascending;
// and every "ui." name. For consistency checks between the tables.
QList<int> MessageNumbers(Language language);
QList<QString> UiTextNames(Language language);
// The raw entry of one table, without fallback; empty when missing.
QString TableEntry(Language language, int number);
QString TableUiEntry(Language language, const QString& name);
