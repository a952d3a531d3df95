// The change sequence of the key and configuration dialogs: activate the card,
// authenticate with a card key (SL3 first authentication), write one 16-byte
// block encrypted (0xA1), and activate once more after a change so the next
// operation starts from a fresh card. It stops at the first failed step.
#pragma once

#include <QString>
#include <cstdint>

class HexBytesCombo;
class PageOwner;
class QComboBox;
class QKeyEvent;
class QLabel;

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
std::uint32_t RunChange(PageOwner& owner, const ChangeRequest& request, QString* cardInfo);

// The outcome text. Without a name: 2220 on success, else the failed step's
// text and, when it differs, the cause on a second line. With a name (the
// changed key's): the name followed by 2220 or 2225, then the failed step's
// text only when it is not 2225 itself, then the cause as above.
QString ChangeOutcomeText(std::uint32_t packed, const QString& name = QString());

// Shows an outcome in the result (1083) and card information (1084) fields.
void ShowChangeOutcome(std::uint32_t packed, const QString& cardInfo, QLabel* result,
                       QLabel* information, const QString& name = QString());

// The two key texts the family's 16-byte key fields offer; the first is selected.
void FillChangeKeys(QComboBox* box);

// Enter and Return, which the change dialogs ignore: a stray Enter must neither
// close the dialog nor send anything to the card.
bool IsEnterKey(const QKeyEvent* event);

// A 16-byte field (key or IID), as wide as FillChangeKeys makes the key fields.
void PrepareSixteenByteField(HexBytesCombo* box);
// The card information field (1084), wide enough for a 7-byte UID's text.
void ReserveCardInfoWidth(QLabel* information);
