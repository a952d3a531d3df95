// The PC/SC card proxy fed hostile reader answers: ATRs, UIDs, status words
// and APDU answers of any size, in any order, while the reader model asks
// for activation, CRYPTO1 blocks and T=CL exchanges.
//
// Input: records, each one call of the model (its first byte) followed by
// what the reader answers to every transfer the call makes:
//   FF              the transfer fails (a PC/SC error)
//   nn B...         an answer of nn bytes (nn < FF)
// Invariants: a key goes only to a volatile slot; a block read gives back
// exactly the 16 bytes the reader answered with; an activation reports the
// UID the reader gave, cut at cascade tags, and a SAK only at its end; an
// ATS carries the ATR's historical bytes; a native command reaches the
// reader as it stands, and its answer comes back as it stands.
#include "pcsc_card.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "card.h"
#include "contactless_atr.h"
#include "fuzz_input.h"

namespace {

using pelkin::Bytes;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct Seen {
  Bytes lastApdu;
  Bytes lastAnswer;
  Bytes atr;
  bool lastFailed = false;
};

class HostileLink : public hollink::PcscLink {
 public:
  HostileLink(fuzz::Input* in, Seen* seen) : in_(in), seen_(seen) {}

  long ResetCard(Bytes* atr) override {
    if (!Answer(atr)) return 0x80100069;  // removed card
    seen_->atr = *atr;
    return 0;
  }
  long Transmit(const Bytes& apdu, Bytes* answer) override {
    // Keys never go into the reader's non-volatile memory.
    if (apdu.size() >= 3 && apdu[0] == 0xFF && apdu[1] == 0x82 && (apdu[2] & 0x20) != 0) {
      Broken("a key sent to non-volatile memory");
    }
    seen_->lastApdu = apdu;
    seen_->lastFailed = !Answer(answer);
    seen_->lastAnswer = *answer;
    return seen_->lastFailed ? 0x80100016 : 0;
  }
  std::string ReaderName() const override { return "hostile"; }

 private:
  bool Answer(Bytes* out) {
    out->clear();
    const std::uint8_t n = in_->Byte();
    if (n == 0xFF || in_->empty()) return false;
    *out = in_->Bytes(n);
    return true;
  }
  fuzz::Input* in_;
  Seen* seen_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  Seen seen;
  hollink::PcscCard card(std::make_unique<HostileLink>(&in, &seen));
  Bytes uid;  // the UID put together from the anticollision parts
  for (int calls = 0; calls < 48 && !in.empty(); ++calls) {
    const std::uint8_t op = in.Byte();
    switch (op % 10) {
      case 0:
      case 1: {
        uid.clear();
        if (card.Request(op % 2 == 1)) {
          // A reported card came from an ATR that parses.
          if (!pelkin::ParseContactlessAtr(seen.atr))
            Broken("a card from an ATR that does not parse");
        }
        break;
      }
      case 2: {
        const std::uint8_t code = static_cast<std::uint8_t>(0x93 + 2 * (op / 10 % 3));
        auto part = card.Anticollision(code);
        if (!part) break;
        auto sak = card.Select(code, part->data());
        if (!sak) Broken("the part the card gave does not select it");
        const bool more = (*sak & 0x04) != 0;
        if (more && (*part)[0] != 0x88) Broken("an unfinished UID without a cascade tag");
        uid.insert(uid.end(), part->begin() + (more ? 1 : 0), part->end());
        if (!more && uid.size() != 4 && uid.size() != 7 && uid.size() != 10) {
          Broken("a UID of an impossible size");
        }
        break;
      }
      case 3: {
        std::uint8_t key[6];
        in.Fill(key, 6);
        card.AuthenticateCrypto1((op & 0x10) != 0, in.Byte() % 48, key);
        break;
      }
      case 4: {
        std::uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        const int block = in.Byte();
        if (card.ReadBlock(block, out) != pelkin::kStOk) break;
        if (seen.lastFailed || seen.lastAnswer.size() != 18 ||
            std::memcmp(out, seen.lastAnswer.data(), 16) != 0) {
          Broken("a block read that is not the reader's answer");
        }
        break;
      }
      case 5: {
        std::uint8_t block[16];
        in.Fill(block, 16);
        const std::uint8_t status = card.WriteBlock(in.Byte(), block);
        if (status == pelkin::kStOk && (seen.lastFailed || seen.lastAnswer.size() < 2 ||
                                        seen.lastAnswer[seen.lastAnswer.size() - 2] != 0x90)) {
          Broken("a write reported done without the reader's 90 00");
        }
        break;
      }
      case 6: {
        auto ats = card.Rats(in.Byte() & 0x0F);
        if (!ats) break;
        if (ats->empty() || (*ats)[0] != ats->size()) Broken("an ATS whose length byte is wrong");
        auto historical = pelkin::AtsHistoricalBytes(*ats);
        auto atr = pelkin::ParseContactlessAtr(seen.atr);
        if (!historical || !atr || *historical != atr->historical) {
          Broken("an ATS that does not carry the ATR's historical bytes");
        }
        break;
      }
      case 7: {
        const Bytes command = in.Bytes(in.Byte() % 64);
        auto answer = card.Exchange(command);
        if (!answer) break;
        if (seen.lastApdu != command || *answer != seen.lastAnswer || answer->empty()) {
          Broken("a native command changed on its way");
        }
        break;
      }
      case 8:
        if (op & 0x10) {
          card.Halt();
        } else {
          card.Deselect();
        }
        break;
      default:
        card.Pps();
        card.PowerCycle();
        break;
    }
  }
  return 0;
}
