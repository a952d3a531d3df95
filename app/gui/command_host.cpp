#include "gui/command_host.h"

#include <algorithm>
#include <map>

namespace {

std::map<int, OperatorCommand>& OperatorCommands() {
  static std::map<int, OperatorCommand> commands;
  return commands;
}

}  // namespace

void RegisterOperatorCommand(int commandId, OperatorCommand command) {
  OperatorCommands()[commandId] = std::move(command);
}

void UnregisterOperatorCommand(int commandId) {
  OperatorCommands().erase(commandId);
}

const OperatorCommand* FindOperatorCommand(int commandId) {
  auto found = OperatorCommands().find(commandId);
  return found != OperatorCommands().end() && found->second ? &found->second : nullptr;
}

int CommandHost::BlockAddress(int sector, int blockInSector) {
  if (sector < 0 || sector > 39) return 0;
  if (sector < 32) return sector * 4 + blockInSector;
  return 128 + (sector - 32) * 16 + blockInSector;
}

int CommandHost::DataBlocks(int sector) {
  return sector >= 32 ? 15 : 3;
}

QByteArray CommandHost::DefaultKey(int length) {
  // The transport key of a fresh card: every byte 0xFF.
  return QByteArray(std::clamp(length, 0, 16), '\xFF');
}
