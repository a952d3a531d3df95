#include "gui/dialogs/card_dialogs.h"

#include "gui/card_level_page.h"
#include "gui/dialogs/access_conditions_dialog.h"
#include "gui/dialogs/aes_key_dialog.h"
#include "gui/dialogs/crypto1_keys_dialog.h"
#include "gui/dialogs/field_config_dialog.h"
#include "gui/dialogs/mfp_config_dialog.h"
#include "gui/dialogs/virtual_card_config_dialog.h"
#include "gui/dialogs/virtual_card_dialog.h"

void RegisterCardDialogs() {
  // Each dialog adds its RegisterSettingDialog(template, runner) call here.
  RegisterSettingDialog(110, [](CardLevelPage& page, int) { RunAesKeyDialog(110, page); });
  RegisterSettingDialog(113, [](CardLevelPage& page, int) { RunCrypto1KeysDialog(page); });
  RegisterSettingDialog(115, [](CardLevelPage& page, int) { RunAesKeyDialog(115, page); });
  RegisterSettingDialog(116, [](CardLevelPage& page, int) { RunAesKeyDialog(116, page); });
  RegisterSettingDialog(117, [](CardLevelPage& page, int) { RunAesKeyDialog(117, page); });
  RegisterSettingDialog(119, [](CardLevelPage& page, int) { RunMfpConfigDialog(page); });
  RegisterSettingDialog(120, [](CardLevelPage& page, int) { RunFieldConfigDialog(page); });
  RegisterSettingDialog(148, [](CardLevelPage& page, int) { RunAccessConditionsDialog(page); });
  RegisterSettingDialog(VirtualCardConfigDialog::kTemplate, [](CardLevelPage& page, int) {
    if (page.owner() != nullptr) RunVirtualCardConfigDialog(*page.owner());
  });
  // The Level 3 page builds its modeless virtual card dialog when it is created.
  InstallVirtualCardDialog();
}
