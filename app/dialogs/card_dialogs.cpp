#include "dialogs/card_dialogs.h"

#include "core/card_level_page.h"
#include "dialogs/access_conditions_dialog.h"
#include "dialogs/aes_key_dialog.h"
#include "dialogs/crypto1_keys_dialog.h"
#include "dialogs/field_config_dialog.h"
#include "dialogs/mfp_config_dialog.h"

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
}
