#include "gui/lock_questions.h"

#include "core/access_bits.h"
#include "core/messages.h"
#include "gui/dialogs/access_tables.h"
#include "gui/prompts.h"

namespace {
constexpr int kFieldConfigBlock = 0xB003;

bool IsCrypto1Trailer(int address) {
  return address >= 0 && address < 0x100 &&
         (address < 128 ? address % 4 == 3 : (address - 128) % 16 == 15);
}
}  // namespace

bool DemandsProximityCheck(const std::uint8_t* fieldConfig) {
  return fieldConfig != nullptr && fieldConfig[2] == 0xAA;
}

bool ConfirmProximityDemand(QWidget* parent) {
  return CurrentPrompts().AskYesNo(parent, UiText(QStringLiteral("120.proximityAsk")),
                                   UiText(QStringLiteral("120.proximityCaption")));
}

bool ConfirmTrailerRow(QWidget* parent, int trailerRow, bool keysInTrailer) {
  using trailerdialog::Text;
  if (!accessbits::FreezesTrailer(trailerRow, keysInTrailer)) return true;
  const bool access = accessbits::FreezesAccess(trailerRow);
  const bool keys = keysInTrailer && accessbits::FreezesKeys(trailerRow);
  const QString what = access && keys ? Text("freezeBoth")
                       : access       ? Text("partAccess")
                                      : Text("freezeKeys");
  return CurrentPrompts().AskYesNo(parent, Text("freezeQuestion").arg(what), Text("freezeCaption"));
}

bool ConfirmPersoWrite(QWidget* parent, int address, const std::uint8_t* data) {
  if (address == kFieldConfigBlock && DemandsProximityCheck(data)) {
    return ConfirmProximityDemand(parent);
  }
  accessbits::Rows rows{};
  if (IsCrypto1Trailer(address) && accessbits::Decode(data + 6, &rows)) {
    return ConfirmTrailerRow(parent, rows[3], true);
  }
  return true;
}
