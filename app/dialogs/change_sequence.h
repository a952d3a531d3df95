// The change sequence of the key and configuration dialogs: activate the card,
// authenticate with a card key (SL3 first authentication), write one 16-byte
// block encrypted (0xA1), and activate once more after a change so the next
// operation starts from a fresh card. It stops at the first failed step.
#pragma once

#include <QString>
#include <cstdint>

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
};

// 0 on success, else the packed result (PackResult) of the failed step.
// cardInfo receives the activation's card text.
std::uint32_t RunChange(PageOwner& owner, const ChangeRequest& request, QString* cardInfo);

// Shows an outcome in the result (1083) and card information (1084) fields.
void ShowChangeOutcome(std::uint32_t packed, const QString& cardInfo, QLabel* result,
                       QLabel* information);

// The two key texts the family's 16-byte key fields offer; the first is selected.
void FillChangeKeys(QComboBox* box);

// Enter and Return, which the change dialogs ignore: a stray Enter must neither
// close the dialog nor send anything to the card.
bool IsEnterKey(const QKeyEvent* event);
