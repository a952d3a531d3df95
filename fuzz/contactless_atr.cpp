// The contactless ATR and ATS parsers, fed arbitrary bytes. An ATR that parses
// must be exactly the ATR built from what was parsed out of it; every ATR built
// parses back to what it was built from; historical bytes of an ATS lie inside it.
#include "contactless_atr.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const pelkin::Bytes bytes(data, data + size);

  if (auto parsed = pelkin::ParseContactlessAtr(bytes)) {
    if (parsed->layer4) {
      if (pelkin::Iso14443_4Atr(parsed->historical) != bytes) {
        Broken("a parsed ATR is not the ATR of its historical bytes");
      }
    } else {
      if (!parsed->historical.empty()) Broken("historical bytes of a storage card");
      // The reader's standard byte and RFU bytes are not checked, the name is.
      auto again = pelkin::ParseContactlessAtr(pelkin::StorageCardAtr(parsed->cardName));
      if (!again || again->layer4 || again->cardName != parsed->cardName) {
        Broken("a storage-card ATR does not parse back to its name");
      }
    }
  }

  if (auto historical = pelkin::AtsHistoricalBytes(bytes)) {
    if (historical->size() > bytes.size()) Broken("more historical bytes than the ATS holds");
    if (!historical->empty() &&
        !std::equal(historical->rbegin(), historical->rend(),
                    bytes.rbegin() + static_cast<std::ptrdiff_t>(bytes.size() - bytes[0]))) {
      Broken("historical bytes are not the end of the ATS");
    }
    // The ATR made of them parses back to them (an ATR holds at most 15), unless
    // they are those of a storage card: PC/SC cannot tell the two apart.
    if (historical->size() <= 15) {
      auto back = pelkin::ParseContactlessAtr(pelkin::Iso14443_4Atr(*historical));
      if (!back) Broken("the ISO 14443-4 ATR does not parse");
      const bool storageLike = historical->size() == 15 && (*historical)[0] == 0x80;
      if (back->layer4 ? back->historical != *historical : !storageLike) {
        Broken("the ISO 14443-4 ATR does not parse back");
      }
    }
  }

  fuzz::Input in(data, size);
  const std::uint16_t name = in.U16();
  auto storage = pelkin::ParseContactlessAtr(pelkin::StorageCardAtr(name));
  if (!storage || storage->layer4 || storage->cardName != name) {
    Broken("the storage-card ATR does not parse back");
  }
  const std::uint8_t sak = in.Byte();
  const std::uint16_t forSak = pelkin::CardNameForSak(sak);
  if (forSak != 0 && pelkin::SakForCardName(forSak) != sak) Broken("SAK and card name disagree");
  return 0;
}
