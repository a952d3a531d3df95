// The one table of the window's commands: where each sits in the menu, which
// level page a card-setting command is routed to, which dialog template it
// opens, and on which level tabs its menu item is enabled. Menus, routing,
// enabling and the pages' dialog lookup all read it.
#pragma once

#include <span>

enum class MenuPlace {
  None,  // a button without a menu item
  File,
  Reader,
  Level,
  Value,
  Block,
  CardLevel1,
  CardLevel2,
  CardLevel3,
  Card,
  Language,
  Tools,
};

enum class CommandHandler {
  Window,    // built into the main window (connection, tabs, language, log)
  Operator,  // a registered operator command (block, value, key work, upgrade)
  Page,      // a card-setting dialog run by its level page
  Nothing,   // offered in the menu, without behaviour
};

struct CommandInfo {
  int id;
  MenuPlace menu;
  CommandHandler handler;
  int routedLevel;     // level page that receives the command first; -1 none
  int dialogTemplate;  // dialog the command opens; 0 none
  unsigned levels;     // bit n: enabled on the Level n tab; 0: not a card item
};

// Every command, in menu order within each menu.
std::span<const CommandInfo> CommandTable();
// The entry of `id`, or nullptr.
const CommandInfo* FindCommand(int id);
// The level page a card-setting command goes to, whatever tab is selected; -1.
int RoutedLevel(int id);
// The dialog template the level-`level` page opens for `id`, or 0.
int PageDialogTemplate(int level, int id);
// Card items are disabled without a reader and enabled per level tab.
bool IsCardItem(const CommandInfo& info);
bool EnabledOnLevel(const CommandInfo& info, int level);
