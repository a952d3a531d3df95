#include "core/registration.h"

#include "core/operator_commands.h"
#include "dialogs/card_dialogs.h"

void RegisterQuillon() {
  RegisterOperatorCommands();
  RegisterCardDialogs();
}
