// The Yes/No questions (No the default) asked before a write that can lock the
// operator out of a card or a sector: a field configuration that demands a
// proximity check, and trailer conditions that can never be changed again.
// The configuration dialogs and the Level 0 page ask the same questions.
#pragma once

#include <cstdint>

class QWidget;

// Field configuration byte 2: 0xAA demands the proximity check.
bool DemandsProximityCheck(const std::uint8_t* fieldConfig);

// True when the write may go: the operator answered Yes, or nothing locks.
bool ConfirmProximityDemand(QWidget* parent);
// keysInTrailer: CRYPTO1 keys in the trailer (false at Level 3).
bool ConfirmTrailerRow(QWidget* parent, int trailerRow, bool keysInTrailer);
// A personalization write of 16 bytes to `address`: asks for a field
// configuration (0xB003) demanding the proximity check and for a CRYPTO1
// trailer whose row freezes it.
bool ConfirmPersoWrite(QWidget* parent, int address, const std::uint8_t* data);
