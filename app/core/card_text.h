// Texts and result codes shared by the operator commands and every dialog:
// block data text and the packed dialog result.
#pragma once

#include <QString>
#include <cstdint>

// Each 16-byte row as upper-case hex pairs, two extra blanks after the 4th,
// 8th and 12th byte, and a line end: "00 01 02 03   04 ...\n".
QString BlockDataText(const std::uint8_t* data, int rows);

// A dialog failure: the failed step's message number in the low 16 bits and its
// cause in the high 16 bits. Unsigned, so causes from 32768 up (registered
// messages) never overflow.
std::uint32_t PackResult(int message, int cause);
int ResultMessage(std::uint32_t packed);
int ResultCause(std::uint32_t packed);
// The text of a code as a result field shows it: the table entry, else a
// registered text, else nothing.
QString CodeText(int code);
// The message's text, then, when the cause differs, a line end and the cause's.
QString ResultText(std::uint32_t packed);
