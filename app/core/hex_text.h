// The text rules of the hexadecimal entry controls: Qt Core only, no widgets.
#pragma once

#include <QString>
#include <cstdint>

// Pure text rules, shared by the controls and usable without widgets.
namespace hextext {
// "0x" + the hex digits of `text` (after an optional leading 0x/0X), at most 4.
QString NormalizeAddress(const QString& text);
// Digit pairs separated by single blanks, upper case, cut to `maxChars`.
QString NormalizeBytes(const QString& text, int maxChars);
// Hex digits only, at most 8, case kept.
QString NormalizeDigits(const QString& text);
// Caret after address normalization: behind the same typed digit it followed
// (so typing 5 then 6 into an empty box gives 0x56, not 0x65).
int AddressCaret(const QString& before, int caret);
// Caret after byte-group normalization, from the selection before it and the
// text before it (the control clamps the result to the new text's length).
int BytesCaret(const QString& before, int selStart, int selEnd);
// Tokens split at blank, comma, tab and line end; each read as hex, low 8 bits
// stored; stops at the first token that is not hex or after `maxBytes` bytes.
// Only the first 259 characters are read. Returns the count stored.
int ParseBytes(const QString& text, std::uint8_t* out, int maxBytes);
// True only when `text` holds exactly `count` complete groups of two hex digits
// (separated as ParseBytes separates them); then they are stored in `out`.
// Otherwise `out` is zeroed: a half-typed byte never passes for a whole one.
bool ExactBytes(const QString& text, std::uint8_t* out, int count);
// "00 0A FF": two upper-case digits per byte, single blanks; at most 86 bytes.
QString FormatBytes(const std::uint8_t* data, int count, bool upperCase = true);
// "0x1234" -> 0x1234; "" or "0x" -> 0; no "0x" prefix -> -1.
int AddressValue(const QString& text);
// "" -> 0; leading hex digits read as a 32-bit number; else 0.
int DigitsValue(const QString& text);
}  // namespace hextext
