// The widgets of the change dialogs: their result and card information fields,
// their key fields and the Enter key they ignore.
#pragma once

#include <QString>
#include <cstdint>

class HexBytesCombo;
class QComboBox;
class QKeyEvent;
class QLabel;

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
// A result (1083) or card information (1084) field. Its accessible name stays
// what it shows, so assistive technology reads the result and hears each new
// one; the caption is its description and, when it stands in a label of its
// own, that label is its buddy.
void PresentResultField(QLabel* field, const QString& caption, QLabel* captionLabel = nullptr);

// The card information field (1084), wide enough for a 7-byte UID's text.
void ReserveCardInfoWidth(QLabel* information);
