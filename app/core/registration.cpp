#include "core/registration.h"

#include "core/operator_commands.h"
#include "core/read_all_sectors.h"
#include "dialogs/card_dialogs.h"

void RegisterQuillon() {
  RegisterOperatorCommands();
  RegisterReadAllSectors();
  RegisterCardDialogs();
}
