#include "core/command_table.h"

#include <array>

namespace {

using H = CommandHandler;
using M = MenuPlace;

constexpr unsigned kLevels123 = 0b1110;
constexpr unsigned kOnly1 = 0b0010;
constexpr unsigned kOnly2 = 0b0100;
constexpr unsigned kOnly3 = 0b1000;

constexpr CommandInfo kCommands[] = {
    {1840, M::File, H::Window, -1, 0, 0},  // save log
    {1850, M::File, H::Window, -1, 0, 0},  // close
    {1760, M::Reader, H::Window, -1, 0, 0},
    {1765, M::Reader, H::Window, -1, 0, 0},
    {1775, M::Level, H::Window, -1, 0, 0},
    {1780, M::Level, H::Window, -1, 0, 0},
    {1790, M::Level, H::Window, -1, 0, 0},
    {1800, M::Level, H::Window, -1, 0, 0},
    {1860, M::Value, H::Operator, -1, 0, kLevels123},  // increment
    {1870, M::Value, H::Operator, -1, 0, kLevels123},  // decrement
    {1880, M::Value, H::Operator, -1, 0, kLevels123},  // read value
    {1890, M::Value, H::Operator, -1, 0, kLevels123},  // write value
    {1900, M::Value, H::Operator, -1, 0, kLevels123},  // backup
    {1910, M::Block, H::Operator, -1, 0, kLevels123},  // read blocks
    {1920, M::Block, H::Operator, -1, 0, kLevels123},  // write blocks
    {1935, M::CardLevel1, H::Page, 1, 113, kOnly1},
    {1955, M::CardLevel2, H::Page, 2, 113, kOnly2},
    {2075, M::CardLevel2, H::Page, 2, 115, kOnly2},
    {2090, M::CardLevel2, H::Page, 2, 117, kOnly2},
    {1945, M::CardLevel2, H::Page, 2, 110, kOnly2},
    {2105, M::CardLevel2, H::Page, 2, 119, kOnly2},
    {2120, M::CardLevel2, H::Page, 2, 120, kOnly2},
    {2110, M::CardLevel2, H::Page, 2, 121, kOnly2},
    {2080, M::CardLevel2, H::Page, 2, 116, kOnly2},
    {32822, M::CardLevel3, H::Page, 3, 148, kOnly3},
    {32823, M::CardLevel3, H::Page, 3, 115, kOnly3},
    {32824, M::CardLevel3, H::Page, 3, 117, kOnly3},
    {32825, M::CardLevel3, H::Page, 3, 110, kOnly3},
    {32826, M::CardLevel3, H::Page, 3, 119, kOnly3},
    {32827, M::CardLevel3, H::Page, 3, 120, kOnly3},
    {32828, M::CardLevel3, H::Page, 3, 121, kOnly3},
    {2040, M::CardLevel3, H::Nothing, 3, 0, kOnly3},  // relay attack policy
    // The Level 3 page sees the upgrade first and ignores it; the window opens it.
    {2165, M::Card, H::Operator, 3, 112, 0},
    {2175, M::Language, H::Window, -1, 0, 0},
    {2185, M::Language, H::Window, -1, 0, 0},
    {2195, M::Language, H::Window, -1, 0, 0},
    {32821, M::Tools, H::Operator, -1, 0, 0},  // read all sectors
    {32829, M::Tools, H::Operator, -1, 0, 0},  // card map of a dump
    {1088, M::None, H::Window, -1, 0, 0},      // activate card
    {1037, M::None, H::Operator, -1, 0, 0},    // authenticate with the sector key
    {1049, M::None, H::Operator, -1, 0, 0},    // Level 2 AES authentication
};

}  // namespace

std::span<const CommandInfo> CommandTable() {
  return kCommands;
}

const CommandInfo* FindCommand(int id) {
  for (const CommandInfo& info : kCommands) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

int RoutedLevel(int id) {
  const CommandInfo* info = FindCommand(id);
  return info != nullptr ? info->routedLevel : -1;
}

int PageDialogTemplate(int level, int id) {
  const CommandInfo* info = FindCommand(id);
  if (info == nullptr || info->handler != CommandHandler::Page || info->routedLevel != level) {
    return 0;
  }
  return info->dialogTemplate;
}

bool IsCardItem(const CommandInfo& info) {
  return info.levels != 0 && info.menu != MenuPlace::None;
}

bool EnabledOnLevel(const CommandInfo& info, int level) {
  // An item without behaviour is offered but never enabled: it would do nothing.
  return info.handler != CommandHandler::Nothing && level >= 0 && level <= 3 &&
         (info.levels & (1u << level)) != 0;
}
