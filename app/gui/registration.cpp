#include "gui/registration.h"

#include "gui/card_map_window.h"
#include "gui/dialogs/card_dialogs.h"
#include "gui/operator_commands.h"
#include "gui/read_all_sectors.h"

void RegisterQuillon() {
  RegisterOperatorCommands();
  RegisterReadAllSectors();
  RegisterCardMap();
  RegisterCardDialogs();
}
