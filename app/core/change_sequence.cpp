#include "core/change_sequence.h"

#include <algorithm>

#include "core/card_activator.h"
#include "core/card_text.h"
#include "core/messages.h"
#include "ostrel.h"

std::uint32_t RunChange(CardActivator& owner, const ChangeRequest& request, QString* cardInfo) {
  int error = 0;
  int variant = 0;
  if (owner.Activate(request.force, &error, cardInfo, &variant) == 0) {
    return PackResult(kMsgActivationFailed, error);
  }
  if (request.xCardOnly && variant == 1) {
    return PackResult(kMsgChangeFailed, kStatusVirtualCardUnsupported);
  }
  std::uint8_t key[16] = {};
  std::uint8_t data[16] = {};
  if (request.authKey != nullptr) std::copy(request.authKey, request.authKey + 16, key);
  if (request.data != nullptr) std::copy(request.data, request.data + 16, data);
  const auto address = [](int value) { return static_cast<unsigned short>(value & 0xFFFF); };
  const int auth = PLUSSL3FirstAuth(address(request.authAddress), key);
  if (auth != 0) return PackResult(request.authFailMessage, auth);
  const int write = PLUSSL3Write(0xA1, address(request.writeAddress), 1, data);
  if (write != 0) return PackResult(kMsgChangeFailed, write);
  owner.Activate(0, nullptr, nullptr, nullptr);
  return 0;
}

QString ChangeOutcomeText(std::uint32_t packed, const QString& name) {
  if (packed == 0) return name + LoadMessage(kMsgChanged);
  if (name.isEmpty()) return ResultText(packed);
  const int step = ResultMessage(packed);
  const int cause = ResultCause(packed);
  QString text = name + LoadMessage(kMsgChangeFailed);
  // A failed write is already said by 2225; repeating it would read twice.
  if (step != kMsgChangeFailed) text += CodeText(step);
  if (cause != step) text += u'\n' + CodeText(cause);
  return text;
}
