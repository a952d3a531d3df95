// The change sequence of the key and configuration dialogs: activate the card,
// authenticate with a card key (SL3 first authentication), write one 16-byte
// block encrypted (0xA1), and activate once more after a change so the next
// operation starts from a fresh card. It stops at the first failed step.
#pragma once

#include <QString>
#include <cstdint>

class CardActivator;

inline constexpr int kMsgActivationFailed = 2230;
inline constexpr int kMsgAuthError = 182;
inline constexpr int kMsgChangeFailed = 2225;
inline constexpr int kMsgChanged = 2220;

struct ChangeRequest {
  int force = 1;                          // activation with RATS and PPS
  int authAddress = 0;                    // card key that authorizes the write
  const std::uint8_t* authKey = nullptr;  // 16 bytes
  int authFailMessage = kMsgAuthError;    // step text of a failed authentication
  int writeAddress = 0;                   // block or key address written
  const std::uint8_t* data = nullptr;     // 16 bytes
  // The block exists only on MIFARE Plus X cards (virtual card IID and keys):
  // an S card, known from the activation's ATS, stops the change before any
  // authentication with status 0xB5 (virtual cards not supported) as cause.
  bool xCardOnly = false;
};

// Status 0xB5: the card does not support virtual card operations.
inline constexpr int kStatusVirtualCardUnsupported = 0xB5;

// 0 on success, else the packed result (PackResult) of the failed step.
// cardInfo receives the activation's card text.
std::uint32_t RunChange(CardActivator& owner, const ChangeRequest& request, QString* cardInfo);

// The outcome text. Without a name: 2220 on success, else the failed step's
// text and, when it differs, the cause on a second line. With a name (the
// changed key's): the name followed by 2220 or 2225, then the failed step's
// text only when it is not 2225 itself, then the cause as above.
QString ChangeOutcomeText(std::uint32_t packed, const QString& name = QString());
