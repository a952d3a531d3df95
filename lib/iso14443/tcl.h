// The T=CL transfer with a bounded answer, and the raw timed exchange, as the
// MIFARE Plus layer reaches them inside the library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::iso {

// Sends `command` (any length, possibly none) to the card through the reader's
// ISO 14443-4 layer and collects the card's whole answer into `answer`.
//
// Returns 0 with the answer in answer[0 .. *answerLength); 0xFF on a link
// failure; the reader's status byte when it is not 0; 0x84 when the reader's
// control byte carries an unexpected sequence number or flags (the bytes
// already appended stay and *answerLength counts them), also when the reader
// keeps announcing more of the answer without sending any. An answer longer
// than `answerCapacity` stops appending there, leaves *answerLength ==
// answerCapacity and returns 0xF9; nothing is ever written past the capacity.
//
// `command` and `answer` may be the same buffer (or overlap): the whole
// command is taken before any answer byte is written. `command` may be null
// only when commandLength is 0; `answer` may be null only when answerCapacity
// is 0. A null `answerLength` returns 0xF2 without traffic.
//
// `answerBegun`, when given, tells whether the reader had begun to hand over
// the card's answer (so the card took the command), whatever the result. The
// reader link cannot ask for a lost part of an answer again: the reader moves
// on with every request for the next part and refuses a repeated one (0x84).
std::uint8_t TclTransfer(const std::uint8_t* command, std::size_t commandLength,
                         std::uint8_t* answer, std::size_t answerCapacity,
                         std::size_t* answerLength, bool* answerBegun = nullptr);

// The raw timed exchange with a bounded answer buffer. Arguments and results
// as PiccExChangBlock (options bits 1-0 used, timerExponent 0..17, sendBits
// 0..448), except that `recv` holds `recvCapacity` bytes: a longer card answer
// fills it, sets *recvBits to recvCapacity * 8 and returns 0xF9. `recvBits`
// and `elapsed` are written whenever the reader answered, whatever its status.
// `send` may be null only when sendBits is 0, `recv` only when recvCapacity
// is 0; null `recvBits` or `elapsed` return 0xF2 without traffic.
std::uint8_t RawExchange(std::uint8_t options, std::uint8_t timerExponent, const std::uint8_t* send,
                         std::size_t sendBits, std::uint8_t* recv, std::size_t recvCapacity,
                         std::size_t* recvBits, int* elapsed);

}  // namespace ostrel::iso
