#include "core/card_variant.h"

bool AtsNamesPlusS(const unsigned char* ats, std::size_t capacity) {
  if (ats == nullptr || capacity < 2) return false;
  const std::size_t length = ats[0];
  if (length < 2 || length > capacity) return false;
  std::size_t historical = 2;
  for (unsigned bit = 0x10; bit <= 0x40; bit <<= 1) historical += (ats[1] & bit) != 0 ? 1 : 0;
  // C1 05 and two more bytes come first, then the three that tell S from X.
  if (historical + 7 > length) return false;
  const unsigned char* tail = ats + historical + 4;
  return tail[0] == 0x00 && tail[1] == 0x35 && tail[2] == 0xC7;
}
