#include "dialogs/card_dialogs.h"

#include "core/card_level_page.h"

void RegisterCardDialogs() {
  // Each dialog adds its RegisterSettingDialog(template, runner) call here.
}
