#include "mfplus/card_io.h"

#include "iso14443/tcl.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace ostrel::mfplus {

std::uint8_t TclCommand(const std::uint8_t* command, std::size_t length, CardAnswer* answer,
                        std::size_t minimumLength, bool* answerBegun) {
  answer->length = 0;
  std::uint8_t status = iso::TclTransfer(command, length, answer->bytes, sizeof answer->bytes,
                                         &answer->length, answerBegun);
  if (status != 0) return status;
  if (answer->length == 0) return OSTREL_BAD_LENGTH;
  status = CheckPlusStatus(0, answer->bytes[0]);
  if (status != 0) return status;
  return answer->length < minimumLength ? OSTREL_BAD_LENGTH : 0;
}

std::uint8_t RawExchange(std::uint8_t options, const std::uint8_t* data, std::uint16_t bits,
                         RawAnswer* answer, int* elapsed) {
  constexpr std::uint8_t kTimerExponent = 7;
  answer->bits = 0;
  unsigned short received = 0;
  int time = 0;
  std::uint8_t status =
      PiccExChangBlock(options, kTimerExponent, data, bits, answer->bytes, &received, &time);
  if (elapsed != nullptr) *elapsed = time;
  // Never trust a bit count beyond the bytes the exchange can deliver.
  answer->bits = received <= kRawAnswerMax * 8 ? received : 0;
  return status;
}

}  // namespace ostrel::mfplus
