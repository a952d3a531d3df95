// The pass-through of readers built on the PN532 chip.
#include "virtual_pcsc_card.h"

namespace pelkin {

Bytes VirtualPcscCard::Pn532Escape(const Bytes&) {
  return Bytes{0x6D, 0x00};
}

}  // namespace pelkin
