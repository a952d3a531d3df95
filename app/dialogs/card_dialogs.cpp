#include "dialogs/card_dialogs.h"

#include "core/card_level_page.h"
#include "dialogs/virtual_card_config_dialog.h"
#include "dialogs/virtual_card_dialog.h"

void RegisterCardDialogs() {
  // Each dialog adds its RegisterSettingDialog(template, runner) call here.
  RegisterSettingDialog(VirtualCardConfigDialog::kTemplate, [](CardLevelPage& page, int) {
    if (page.owner() != nullptr) RunVirtualCardConfigDialog(*page.owner());
  });
  // The Level 3 page builds its modeless virtual card dialog when it is created.
  InstallVirtualCardDialog();
}
