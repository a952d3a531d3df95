#include "dialogs/card_dialogs.h"

#include "core/card_level_page.h"
#include "dialogs/access_conditions_dialog.h"
#include "dialogs/crypto1_keys_dialog.h"

namespace {
// Both CRYPTO1 pages offer the 40 sectors of the largest card.
constexpr int kLargestCardType = 5;

void RunCrypto1Keys(CardLevelPage& page, int) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  Crypto1KeysDialog dialog(page, owner->SelectedSector(), kLargestCardType, owner->DialogParent());
  dialog.exec();
}

void RunAccessConditions(CardLevelPage& page, int) {
  PageOwner* owner = page.owner();
  if (owner == nullptr) return;
  AccessConditionsDialog dialog(page, owner->SelectedSector(), owner->SelectedCardType(),
                                owner->DialogParent());
  dialog.exec();
}
}  // namespace

void RegisterCardDialogs() {
  // Each dialog adds its RegisterSettingDialog(template, runner) call here.
  RegisterSettingDialog(113, RunCrypto1Keys);
  RegisterSettingDialog(148, RunAccessConditions);
}
