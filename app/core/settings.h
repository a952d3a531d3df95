// The settings file Quillon.ini: section "Setting" with "TipEnable" (0/1),
// "DefaultPage" (level tab 0..3) and "Language" ("Chinese", "Chinese(Taiwan)" or
// "English"). Every read and write opens the file anew; nothing is held open.
// A value is written only when the value the file means changes; the file
// keeps its encoding (UTF-8 or UTF-16 with byte order mark), its comments and
// other sections; a path that is not a regular file is never read nor replaced.
#pragma once

#include <QString>

#include "core/messages.h"

// Where the file lives, decided once per run unless overridden:
//  1. the path set by SetSettingsPath (tests), else
//  2. the environment variable QUILLON_INI when set and not empty, else
//  3. Quillon.ini beside the program when that folder is writable, else
//  4. Quillon/Quillon.ini in the user's configuration folder.
QString SettingsPath();
// Overrides the path for the rest of the run; an empty path restores the rule.
void SetSettingsPath(const QString& path);

// Missing file or key: TipEnable 0, DefaultPage 1, Language simplified Chinese.
// DefaultPage returns whatever integer is stored (the caller decides what an
// out-of-range page means); a value that is not a number reads as the default.
int ReadTipEnable();
void WriteTipEnable(bool enabled);  // written as "1" or "0"
int ReadDefaultPage();
void WriteDefaultPage(int page);  // written with "%d"
Language ReadLanguage();
void WriteLanguage(Language language);
