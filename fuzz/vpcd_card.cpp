// The vpcd message stream and the virtual PC/SC card behind it, fed arbitrary
// bytes in arbitrary chunks, with a simulated card at Level 0, 1 or 3.
//
// Input: byte 0 picks the card (bits 0-1 level 0/1/3, bit 2 a 7-byte UID,
// bit 3 2K, bit 4 an S card), byte 1 how the rest is cut into chunks; the rest
// is what vpcd sends. Invariants: the messages are those of the stream whatever
// its chunks; every answer survives its own framing; every reader command is
// answered with a status word; an ATR parses, and the UID the reader reports
// after it is the card's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "card.h"
#include "contactless_atr.h"
#include "fuzz_input.h"
#include "rng.h"
#include "virtual_pcsc_card.h"
#include "vpcd_messages.h"

namespace {

using pelkin::Bytes;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// The stream's messages cut at their length prefixes, all at once.
std::vector<Bytes> Reference(const Bytes& stream) {
  std::vector<Bytes> out;
  std::size_t at = 0;
  while (stream.size() - at >= 2) {
    const std::size_t length = static_cast<std::size_t>((stream[at] << 8) | stream[at + 1]);
    if (stream.size() - at - 2 < length) break;
    out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + 2),
                     stream.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    at += 2 + length;
  }
  return out;
}

bool KnownSw1(std::uint8_t sw1) {
  switch (sw1) {
    case 0x90:
    case 0x63:
    case 0x64:
    case 0x67:
    case 0x69:
    case 0x6A:
    case 0x6B:
    case 0x6C:
    case 0x6D:
      return true;
    default:
      return false;
  }
}

void Check(pelkin::VirtualPcscCard* virtualCard, const pelkin::Card& card, const Bytes& message,
           const std::optional<Bytes>& answer) {
  if (!answer) {
    if (!message.empty() && !pelkin::IsVpcdControl(message)) Broken("an APDU without an answer");
    return;
  }
  pelkin::VpcdMessages back;
  const Bytes framed = pelkin::VpcdMessage(*answer);
  back.Append(framed.data(), framed.size());
  auto again = back.Next();
  if (!again || *again != *answer || back.pending() != 0) Broken("an answer's framing");

  if (pelkin::IsVpcdControl(message)) {  // the ATR
    if (answer->empty()) return;
    auto atr = pelkin::ParseContactlessAtr(*answer);
    if (!atr) Broken("the card's ATR does not parse");
    const Bytes uid = virtualCard->Transmit({0xFF, 0xCA, 0x00, 0x00, 0x00});
    if (Bytes(uid.begin(), uid.end() - 2) != card.image().uid) Broken("the UID after the ATR");
    return;
  }
  if (answer->empty()) Broken("an empty answer to an APDU");
  if (message[0] == 0xFF || virtualCard->Atr().empty()) {
    if (answer->size() < 2 || !KnownSw1((*answer)[answer->size() - 2])) {
      Broken("a reader command without a status word");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t config = in.Byte();
  const std::uint8_t cut = in.Byte();
  const Bytes stream = in.Rest();

  pelkin::Variant variant;
  variant.uid7 = (config & 0x04) != 0;
  variant.fourK = (config & 0x08) == 0;
  variant.s = (config & 0x10) != 0;
  pelkin::Rng rng(std::uint64_t{7});
  pelkin::CardImage image = pelkin::CardImage::Fresh(variant, rng);
  const int levels[] = {0, 1, 3, 3};
  image.level = levels[config & 0x03];
  pelkin::Card card(image, &rng);
  pelkin::VirtualPcscCard virtualCard(&card);

  const std::vector<Bytes> expected = Reference(stream);
  pelkin::VpcdMessages messages;
  std::size_t at = 0, seen = 0, step = 0;
  while (at < stream.size()) {
    const std::size_t chunk = 1 + (cut + 7 * step++) % 23;
    const std::size_t n = chunk < stream.size() - at ? chunk : stream.size() - at;
    messages.Append(stream.data() + at, n);
    at += n;
    while (auto message = messages.Next()) {
      if (seen >= expected.size() || *message != expected[seen]) Broken("a message cut wrongly");
      ++seen;
      Check(&virtualCard, card, *message, pelkin::AnswerVpcd(&virtualCard, *message));
    }
  }
  if (seen != expected.size()) Broken("a whole message was not delivered");
  return 0;
}
