// The PC/SC card proxy on readers with raw frames: the transparent session and
// the PN532 pass-through, each modelled here from the public descriptions of
// those commands in front of the simulated card, and the probing that tells
// them from a generic reader.
#include <gtest/gtest.h>

#include <map>

#include "access.h"
#include "card.h"
#include "contactless_atr.h"
#include "pcsc_card.h"
#include "pcsc_paths.h"
#include "sim_test_support.h"
#include "virtual_pcsc_card.h"

namespace pelkin::test {
namespace {

using hollink::ReaderPaths;

Bytes Sw(Bytes data, std::uint8_t sw1 = 0x90, std::uint8_t sw2 = 0x00) {
  data.push_back(sw1);
  data.push_back(sw2);
  return data;
}

// A reader in front of the simulated card. `raw` chooses what it carries
// beyond the generic reader's commands.
class RawReader : public hollink::PcscLink {
 public:
  RawReader(Card* card, ReaderPaths::Raw raw, bool valueApdus)
      : card_(card), raw_(raw), valueApdus_(valueApdus), generic_(card) {}
  // pelkin-sim's reader of that kind, answering everything itself.
  RawReader(Card* card, PcscReaderKind kind)
      : card_(card), raw_(ReaderPaths::Raw::kNone), valueApdus_(false), generic_(card, kind) {}

  long ResetCard(Bytes* atr) override {
    generic_.PowerOn();
    *atr = generic_.Atr();
    return atr->empty() ? 0x8010000C : 0;
  }
  long Transmit(const Bytes& apdu, Bytes* answer) override {
    apdus.push_back(apdu);
    *answer = Answer(apdu);
    answers.push_back(*answer);
    if (corruptNextCrc && answer->size() > 8) {
      (*answer)[answer->size() - 3] ^= 0x01;  // a byte of the card's CRC, inside 97
      corruptNextCrc = false;
    }
    return 0;
  }
  std::string ReaderName() const override { return "Raw Reader 00 00"; }

  std::vector<Bytes> apdus, answers;
  bool corruptNextCrc = false;
  std::optional<Bytes> nativeAnswer;  // what the reader answers to a native command
  std::map<std::uint16_t, std::uint8_t> registers{{0x6302, 0x80}, {0x6303, 0x80}};

 private:
  struct Air {
    Bytes bytes;
    int bits = 0;
  };

  Bytes Answer(const Bytes& apdu) {
    const Bytes body = apdu.size() > 5 ? Bytes(apdu.begin() + 5, apdu.end()) : Bytes{};
    if (raw_ == ReaderPaths::Raw::kSession && apdu.size() > 5 && apdu[0] == 0xFF && apdu[1] == 0xC2)
      return Session(apdu[3], body);
    if (raw_ == ReaderPaths::Raw::kPn532 && apdu.size() > 5 && apdu[0] == 0xFF && apdu[1] == 0 &&
        body[0] == 0xD4) {
      Bytes answer = Chip(Bytes(body.begin() + 1, body.end()));
      answer.insert(answer.begin(), {0xD5, static_cast<std::uint8_t>(body[1] + 1)});
      return Sw(answer);
    }
    if (valueApdus_ && apdu.size() >= 7 && apdu[0] == 0xFF && apdu[1] == 0xD7) {
      const int block = apdu[3];
      std::uint8_t status = 0;
      if (apdu[4] == 0x02) {
        status = card_->Value(0xC2, block, 0, apdu[6]);
      } else {
        const auto value =
            static_cast<std::int32_t>((apdu[6] << 24) | (apdu[7] << 16) | (apdu[8] << 8) | apdu[9]);
        status = card_->Value(apdu[5] == 1 ? 0xC1 : 0xC0, block, value, block);
      }
      return status == kStOk ? Sw({}) : Sw({}, 0x63, 0x00);
    }
    if (valueApdus_ && apdu.size() == 5 && apdu[0] == 0xFF && apdu[1] == 0xB1)
      return Sw({}, 0x69, 0x82);
    if (nativeAnswer && !apdu.empty() && apdu[0] != 0xFF) return *nativeAnswer;
    return generic_.Transmit(apdu);
  }

  // What the card answers on the air to one frame (without CRC).
  std::optional<Air> OnAir(const Bytes& f, int bits) {
    if (bits == 7) {
      auto atq = card_->Request(f[0] == 0x52);
      if (!atq) return std::nullopt;
      return Air{{(*atq)[0], (*atq)[1]}, 16};
    }
    if (f.size() == 2 && f[0] == 0x50) {
      card_->Halt();
      return std::nullopt;
    }
    if (f.size() == 7 && (f[0] == 0x93 || f[0] == 0x95 || f[0] == 0x97) && f[1] == 0x70) {
      auto sak = card_->Select(f[0], f.data() + 2);
      if (!sak) return std::nullopt;
      return Air{{*sak}, 8};
    }
    if (f.size() == 2 && f[0] == 0xE0) {
      auto ats = card_->Rats(f[1] & 0x0F);
      if (!ats) return std::nullopt;
      return Air{*ats, static_cast<int>(ats->size()) * 8};
    }
    if (f.size() == 3 && (f[0] & 0xF0) == 0xD0) {
      if (!card_->Pps()) return std::nullopt;
      return Air{{f[0]}, 8};
    }
    const std::size_t head = (f[0] & 0x08) != 0 ? 2 : 1;
    if ((f[0] & 0xF7) == 0xC2) {
      card_->Deselect();
      return Air{Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(head)),
                 static_cast<int>(head) * 8};
    }
    if ((f[0] & 0xE2) == 0x02 && (f[0] & 0x10) == 0 && f.size() > head && f[head] != 0xF0 &&
        f[head] != 0xF2 && f[head] != 0xFD) {  // not a proximity check
      auto answer = card_->Exchange(Bytes(f.begin() + static_cast<std::ptrdiff_t>(head), f.end()));
      if (!answer) return std::nullopt;
      Bytes frame(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(head));
      frame.insert(frame.end(), answer->begin(), answer->end());
      return Air{frame, static_cast<int>(frame.size()) * 8};
    }
    auto raw = card_->RawExchange(f, bits);
    if (!raw) return std::nullopt;
    return Air{raw->bytes, raw->bits};
  }

  // The reader: CRC added on sending when asked, kept on receiving when asked
  // (an acknowledgement of 4 bits has none).
  std::optional<Air> Thru(Bytes frame, int bits, bool txCrc, bool rxCrc) {
    if (txCrc) {
      if (!hollink::CrcAMatches(frame)) return std::nullopt;
      frame.resize(frame.size() - 2);
      bits -= 16;
    }
    auto air = OnAir(frame, bits);
    // Only the ATQ of the frames here comes without a CRC (and 4-bit answers).
    if (air && !rxCrc && bits != 7 && air->bits % 8 == 0) {
      hollink::AppendCrcA(&air->bytes);
      air->bits += 16;
    }
    return air;
  }

  Bytes Session(std::uint8_t function, const Bytes& objects) {
    const Bytes ok{0xC0, 0x03, 0x00, 0x90, 0x00};
    if (function == 0x00) {
      Bytes answer = ok;
      if (objects[0] == 0x80) answer.insert(answer.end(), {0x80, 0x03, 0x02, 0x02, 0x00});
      if (objects[0] == 0x81) session_ = true;
      if (objects[0] == 0x82) session_ = false;
      return Sw(answer);
    }
    if (!session_) return Sw({0xC0, 0x03, 0x01, 0x69, 0x85});
    if (function == 0x02) {  // switch to layer 3: a fresh activation
      card_->PowerCycle();
      if (!card_->Request(true)) return Sw({0xC0, 0x03, 0x01, 0x64, 0x01});
      std::uint8_t sak = 0x04;
      for (std::uint8_t code = 0x93; (sak & 0x04) != 0; code += 2) {
        auto part = card_->Anticollision(code);
        sak = *card_->Select(code, part->data());
      }
      Bytes answer = ok;
      answer.insert(answer.end(), {0x8F, 0x01, sak});
      return Sw(answer);
    }
    const bool txCrc = (objects[3] & 0x01) == 0, rxCrc = (objects[3] & 0x02) == 0;
    const int lastBits = objects[6];
    const std::size_t length = objects[8];
    Bytes frame(objects.begin() + 9, objects.begin() + 9 + static_cast<std::ptrdiff_t>(length));
    int bits = static_cast<int>(length) * 8;
    if (lastBits != 0) bits -= 8 - lastBits;
    if (txCrc) hollink::AppendCrcA(&frame), bits += 16;
    auto air = Thru(frame, bits, txCrc, rxCrc);
    if (!air) return Sw({0xC0, 0x03, 0x01, 0x64, 0x01});
    Bytes answer = ok;
    answer.insert(answer.end(), {0x92, 0x01, static_cast<std::uint8_t>(air->bits % 8), 0x97,
                                 static_cast<std::uint8_t>(air->bytes.size())});
    answer.insert(answer.end(), air->bytes.begin(), air->bytes.end());
    return Sw(answer);
  }

  Bytes Chip(const Bytes& c) {
    switch (c[0]) {
      case 0x02:
        return {0x32, 0x01, 0x06, 0x07};
      case 0x32:
        if (c[2] == 0) card_->PowerCycle();
        return {};
      case 0x06: {
        Bytes values;
        for (std::size_t i = 1; i + 1 < c.size(); i += 2)
          values.push_back(registers[static_cast<std::uint16_t>((c[i] << 8) | c[i + 1])]);
        return values;
      }
      case 0x08:
        for (std::size_t i = 1; i + 2 < c.size(); i += 3)
          registers[static_cast<std::uint16_t>((c[i] << 8) | c[i + 1])] = c[i + 2];
        return {};
      case 0x4A: {
        targetLayer4_ = false;
        auto atq = card_->Request(true);
        if (!atq) return {0x00};
        Bytes uid;
        std::uint8_t sak = 0x04;
        for (std::uint8_t code = 0x93; (sak & 0x04) != 0; code += 2) {
          auto part = card_->Anticollision(code);
          sak = *card_->Select(code, part->data());
          const bool more = (sak & 0x04) != 0;
          uid.insert(uid.end(), part->begin() + (more ? 1 : 0), part->end());
        }
        // SENS_RES most significant byte first, as the chip writes it.
        Bytes answer{0x01, 0x01, (*atq)[1], (*atq)[0], sak, static_cast<std::uint8_t>(uid.size())};
        answer.insert(answer.end(), uid.begin(), uid.end());
        if ((sak & 0x20) != 0) {
          auto ats = card_->Rats(0);
          answer.insert(answer.end(), ats->begin(), ats->end());
          targetLayer4_ = true;
        }
        return answer;
      }
      case 0x42: {
        Bytes frame(c.begin() + 1, c.end());
        const bool txCrc = (registers[0x6302] & 0x80) != 0, rxCrc = (registers[0x6303] & 0x80) != 0;
        int bits = static_cast<int>(frame.size()) * 8;
        if ((registers[0x633D] & 7) != 0) bits -= 8 - (registers[0x633D] & 7);
        if (txCrc) hollink::AppendCrcA(&frame), bits += 16;
        auto air = Thru(frame, bits, txCrc, rxCrc);
        if (!air) return {0x01};
        registers[0x633C] = static_cast<std::uint8_t>(air->bits % 8);
        Bytes answer{0x00};
        answer.insert(answer.end(), air->bytes.begin(), air->bytes.end());
        return answer;
      }
      case 0x40: {
        if (targetLayer4_) {
          auto answer = card_->Exchange(Bytes(c.begin() + 2, c.end()));
          if (!answer) return {0x01};
          answer->insert(answer->begin(), 0x00);
          return *answer;
        }
        const std::uint8_t code = c[2], block = c[3];
        std::uint8_t status = kStOk;
        Bytes out{0x00};
        if (code == 0x60 || code == 0x61) {
          status = card_->AuthenticateCrypto1(code == 0x61, SectorOfBlock(block), c.data() + 4);
        } else if (code == 0x30) {
          std::uint8_t data[16];
          status = card_->ReadBlock(block, data);
          out.insert(out.end(), data, data + 16);
        } else if (code == 0xA0) {
          status = card_->WriteBlock(block, c.data() + 4);
        } else if (code == 0xC0 || code == 0xC1 || code == 0xC2) {
          pending_ = c;
        } else if (code == 0xB0 && !pending_.empty()) {
          const auto value = static_cast<std::int32_t>(pending_[4] | (pending_[5] << 8) |
                                                       (pending_[6] << 16) | (pending_[7] << 24));
          status = card_->Value(pending_[2], pending_[3], value, block);
          pending_.clear();
        }
        if (status != kStOk) return {0x14};
        return out;
      }
      case 0x44:
        card_->Deselect();
        return {0x00};
      default:
        return {0x27};
    }
  }

  Card* card_;
  ReaderPaths::Raw raw_;
  bool valueApdus_;
  VirtualPcscCard generic_;
  bool session_ = false;
  bool targetLayer4_ = false;
  Bytes pending_;
};

}  // namespace
struct Rig {
  Rig(CardImage image, ReaderPaths::Raw raw, bool valueApdus = false, bool simReader = false)
      : card(std::move(image), &rng) {
    auto link = simReader ? std::make_unique<RawReader>(&card, raw == ReaderPaths::Raw::kSession
                                                                   ? PcscReaderKind::kPart3
                                                                   : PcscReaderKind::kPn532)
                          : std::make_unique<RawReader>(&card, raw, valueApdus);
    reader = link.get();
    auto proxy = std::make_unique<hollink::PcscCard>(std::move(link));
    pcsc = proxy.get();
    bench = std::make_unique<Bench>(std::move(proxy));
  }
  Rng rng{7};
  Card card;
  RawReader* reader = nullptr;
  hollink::PcscCard* pcsc = nullptr;
  std::unique_ptr<Bench> bench;
};

namespace {
struct Kind {
  const char* name;
  ReaderPaths::Raw raw;
  bool valueApdus;
  const char* paths;
};
const Kind kKinds[] = {
    {"generic", ReaderPaths::Raw::kNone, false, "raw:none value:none"},
    {"session", ReaderPaths::Raw::kSession, true, "raw:part3 value:apdu"},
    {"pn532", ReaderPaths::Raw::kPn532, false, "raw:pn532 value:pn532"},
};

TEST(PcscPaths, ProbingFindsWhatEachReaderCarries) {
  Variant variant;
  for (const Kind& kind : kKinds) {
    Rig rig(CardAtLevel(variant, 1), kind.raw, kind.valueApdus);
    rig.bench->Activate();
    EXPECT_EQ(hollink::DescribePaths(rig.pcsc->paths()), kind.paths) << kind.name;
    Answer info = rig.bench->Send(0x4F);
    const std::string text(info.data.begin(), info.data.end());
    EXPECT_NE(text.find(kind.paths), std::string::npos) << text;
    // Asked once: the next activation asks nothing of the kind again.
    const std::size_t before = rig.reader->apdus.size();
    rig.bench->Activate();
    for (std::size_t i = before; i < rig.reader->apdus.size(); ++i) {
      const Bytes& apdu = rig.reader->apdus[i];
      EXPECT_FALSE(apdu.size() >= 5 && apdu[1] == 0xB1) << kind.name;
      EXPECT_FALSE(apdu.size() >= 7 && apdu[1] == 0xC2 && apdu[5] == 0x80) << kind.name;
    }
  }
}

TEST(PcscPaths, RawReadersShowTheCardsOwnAtqAndSak) {
  for (const char* name : {"X4K4", "X4K7", "S2K7"}) {
    for (int level : {0, 1, 3}) {
      Variant variant;
      ASSERT_TRUE(ParseVariant(name, &variant));
      Bench direct(CardAtLevel(variant, level));
      Bytes uid;
      const std::uint8_t sak = direct.Activate(&uid);
      Bench fresh(CardAtLevel(variant, level));
      Answer atq = fresh.Send(0x41, {1});
      for (const Kind& kind : kKinds) {
        if (kind.raw == ReaderPaths::Raw::kNone) continue;
        Rig rig(CardAtLevel(variant, level), kind.raw);
        Answer seen = rig.bench->Send(0x41, {1});
        EXPECT_EQ(seen.data, atq.data) << name << " " << level << " " << kind.name;
        rig.bench->Send(0x45);
        Bytes seenUid;
        EXPECT_EQ(rig.bench->Activate(&seenUid), sak) << name << " " << level << " " << kind.name;
        EXPECT_EQ(seenUid, uid) << name << " " << level << " " << kind.name;
      }
    }
  }
}

TEST(PcscPaths, Level0PersonalizationOverRawFramesAndCommit) {
  Variant variant;
  for (const Kind& kind : kKinds) {
    if (kind.raw == ReaderPaths::Raw::kNone) continue;
    Rig rig(CardAtLevel(variant, 0), kind.raw);
    rig.bench->Activate();
    int bits = 0;
    Bytes ack;
    for (std::uint8_t key = 0; key < 4; ++key) {
      Bytes perso{0xA8, key, 0x90};
      perso.insert(perso.end(), 16, 0x5A);
      ack = rig.bench->RawBytes(perso, &bits);
      EXPECT_EQ(bits, 4) << kind.name;
      ASSERT_FALSE(ack.empty()) << kind.name;
      EXPECT_EQ(ack[0] & 0x0F, 0x0A) << kind.name;
    }
    EXPECT_EQ(rig.card.image().keys.at(0x9003), Filled(0x5A)) << kind.name;
    // The CRC of a whole-byte answer is the host's to check: a broken one is no answer.
    rig.reader->corruptNextCrc = true;
    if (kind.raw == ReaderPaths::Raw::kSession) {
      Answer broken = rig.bench->Send(0x90, {0x00, 7, 0xE0, 0x80});
      EXPECT_NE(broken.status, 0) << kind.name;
      rig.bench->Activate();
    }
    rig.reader->corruptNextCrc = false;
    ack = rig.bench->RawBytes({0xAA}, &bits);
    EXPECT_EQ(bits, 4) << kind.name;
    EXPECT_EQ(ack.at(0) & 0x0F, 0x0A) << kind.name;
    EXPECT_EQ(rig.card.image().level, 1) << kind.name;
  }
}

TEST(PcscPaths, Level1ValueCommandsOnEachPath) {
  Variant variant;
  for (const Kind& kind : kKinds) {
    Rig rig(CardAtLevel(variant, 1), kind.raw, kind.valueApdus);
    Bench& bench = *rig.bench;
    bench.Activate();
    Bytes auth{0x00, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(bench.Send(0x73, auth).status, 0) << kind.name;
    // Block 4 as a value block holding 100.
    Bytes write{4, 100, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 100, 0, 0, 0, 4, 0xFB, 4, 0xFB};
    ASSERT_EQ(bench.Send(0x47, write).status, 0) << kind.name;
    const std::uint8_t increment = bench.Send(0x70, {0xC1, 4, 5, 0, 0, 0, 4}).status;
    Answer read = bench.Send(0x46, {4});
    ASSERT_EQ(read.status, 0) << kind.name;
    if (kind.raw == ReaderPaths::Raw::kNone) {
      EXPECT_EQ(increment, 0x17) << kind.name;
      EXPECT_EQ(read.data.at(0), 100) << kind.name;
      continue;
    }
    EXPECT_EQ(increment, 0) << kind.name;
    EXPECT_EQ(read.data.at(0), 105) << kind.name;
    // Raw frames inside the reader's CRYPTO1 channel cannot be carried.
    EXPECT_EQ(bench.Send(0x90, {0x00, 7, 0x0A, 0x0A, 0xF0}).status, 0x17) << kind.name;
    EXPECT_EQ(bench.Send(0x90, {0x00, 7, 0xAA}).status, 0x17) << kind.name;
    if (kind.valueApdus) {
      // The reader's value command writes back into its own block: no transfer elsewhere.
      EXPECT_EQ(bench.Send(0x70, {0xC1, 4, 5, 0, 0, 0, 5}).status, 0x17) << kind.name;
      EXPECT_EQ(bench.Send(0x46, {5}).data, Bytes(16, 0)) << kind.name;
    }
  }
}

TEST(PcscPaths, Level1CardSwitchesToLevel3OverHostRatsAndTcl) {
  Variant variant;
  for (const Kind& kind : kKinds) {
    if (kind.raw == ReaderPaths::Raw::kNone) continue;
    Rig rig(CardAtLevel(variant, 1), kind.raw);
    Bench& bench = *rig.bench;
    bench.ActivateLayer4();
    ASSERT_EQ(bench.Send(0x92).status, 0) << kind.name;
    HostSession session;
    EXPECT_EQ(session.FirstAuth(bench, 0x9003, Filled(0xFF), Filled(0x11)), 0x90) << kind.name;
    EXPECT_EQ(rig.card.image().level, 3) << kind.name;
    // Deselect ends the session and resets the field.
    EXPECT_EQ(bench.Send(0x93).status, 0) << kind.name;
    if (kind.raw == ReaderPaths::Raw::kSession) {
      const Bytes end{0xFF, 0xC2, 0x00, 0x00, 0x02, 0x82, 0x00};
      EXPECT_EQ(rig.reader->apdus.back(), end);
    }
    // At Level 3 the card works on as a layer 4 card.
    bench.ActivateLayer4();
    HostSession level3;
    EXPECT_EQ(level3.FirstAuth(bench, 0x4002, Filled(0xFF), Filled(0x22)), 0x90) << kind.name;
  }
}

TEST(PcscPaths, TwoStatusBytesToANativeCommandAreNoAnswer) {
  // The reader's own status word (no answer from the card, frame refused) is a
  // link failure, never a card status such as a refused key.
  Variant variant;
  for (const Bytes& status : {Bytes{0x63, 0x00}, Bytes{0x64, 0x01}, Bytes{0x6A, 0x81}}) {
    Rig rig(CardAtLevel(variant, 0), ReaderPaths::Raw::kNone);
    Bench& bench = *rig.bench;
    bench.ActivateLayer4();
    rig.reader->nativeAnswer = status;
    EXPECT_EQ(bench.Send(0x94, {0x70, 0x03, 0x90, 0x00}).status, kStNoCard)
        << std::hex << int(status[0]);
    // One byte of the card's own status passes as it is.
    rig.reader->nativeAnswer = Bytes{0x06};
    Answer card = bench.Send(0x94, {0x70, 0x03, 0x90, 0x00});
    EXPECT_EQ(card.status, 0);
    EXPECT_EQ(card.data, Bytes{0x06});
  }
}

TEST(PcscPaths, ParsesTheReadersAnswers) {
  const struct {
    Bytes answer;
    bool ok;
    std::uint16_t status;
    Bytes card;
    int lastBits;
  } cases[] = {
      {{0xC0, 0x03, 0x00, 0x90, 0x00, 0x92, 0x01, 0x04, 0x97, 0x01, 0x0A, 0x90, 0x00},
       true,
       0x9000,
       {0x0A},
       4},
      {{0xC0, 0x03, 0x01, 0x64, 0x01, 0x90, 0x00}, false, 0x6401, {}, -1},
      {{0xC0, 0x03, 0x00, 0x90, 0x00, 0x6A, 0x81}, false, 0x9000, {}, -1},
      {{0xC0, 0x03, 0x00, 0x90, 0x00, 0x97, 0x05, 0x01, 0x90, 0x00}, true, 0x9000, {}, -1},
      {{0x6D, 0x00}, false, 0, {}, -1},
  };
  for (const auto& c : cases) {
    const hollink::SessionAnswer parsed = hollink::ParseSessionAnswer(c.answer);
    EXPECT_EQ(parsed.ok, c.ok) << c.answer.size();
    EXPECT_EQ(parsed.status, c.status);
    EXPECT_EQ(parsed.card, c.card);
    EXPECT_EQ(parsed.lastBits.value_or(-1), c.lastBits);
  }
  EXPECT_EQ(hollink::CrcA(Bytes{0x50, 0x00}.data(), 2), 0xCD57);
  EXPECT_EQ(hollink::CrcA(Bytes{0xE0, 0x80}.data(), 2), 0x7331);
  // PN532 answers: only the matching answer code with 90 00 counts.
  EXPECT_TRUE(hollink::ParsePn532Answer({0x02}, {0xD5, 0x03, 0x32, 0x90, 0x00}));
  EXPECT_FALSE(hollink::ParsePn532Answer({0x02}, {0xD5, 0x05, 0x32, 0x90, 0x00}));
  EXPECT_FALSE(hollink::ParsePn532Answer({0x02}, {0x63, 0x00}));
  auto target =
      hollink::ParseListedTarget({0x01, 0x01, 0x00, 0x44, 0x20, 0x04, 1, 2, 3, 4, 0x02, 0x78});
  ASSERT_TRUE(target);
  EXPECT_EQ(target->atq[0], 0x44);
  EXPECT_EQ(target->sak, 0x20);
  EXPECT_EQ(target->ats, (Bytes{0x02, 0x78}));
  EXPECT_FALSE(hollink::ParseListedTarget({0x01, 0x01, 0x00, 0x44, 0x20, 0x05, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(hollink::ParseListedTarget({0x00}));
}

}  // namespace
}  // namespace pelkin::test

namespace pelkin::test {
namespace {

TEST(PcscPaths, ReaderChoicePrefersTheContactlessSlot) {
  const Bytes contactless = StorageCardAtr(kCardNamePlusSl1_4K);
  const Bytes contact{0x3B, 0x02, 0x14, 0x50};
  const struct {
    std::vector<std::string> names;
    std::vector<Bytes> atrs;
    std::string prefix;
    int chosen;
  } cases[] = {
      {{"ACS ACR1252 SAM 00 00", "ACS ACR1252 PICC 00 01"}, {{}, {}}, "", 1},
      {{"Dual Reader Contact 00 00", "Dual Reader Contactless 00 01"}, {{}, {}}, "", 1},
      {{"Virtual PCD 00 00", "Virtual PCD 00 01"}, {contact, contactless}, "", 1},
      {{"Virtual PCD 00 00", "Virtual PCD 00 01"}, {{}, {}}, "", 0},
      {{"ACS ACR1252 SAM 00 00", "ACS ACR1252 PICC 00 01"}, {{}, {}}, "ACS ACR1252 SAM", 0},
      {{"Virtual PCD 00 00"}, {{}}, "Other", -1},
      {{}, {}, "", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hollink::ChooseReader(c.names, c.atrs, c.prefix), c.chosen) << c.prefix;
}

}  // namespace
}  // namespace pelkin::test

namespace pelkin::test {
namespace {

// The proxy against pelkin-sim's own reader kinds, written apart from it: the
// whole card life meets at the wire.
TEST(PcscPaths, WholeCardLifeOnTheSimulatorsReaderKinds) {
  Variant variant;
  for (ReaderPaths::Raw raw : {ReaderPaths::Raw::kSession, ReaderPaths::Raw::kPn532}) {
    const char* name = raw == ReaderPaths::Raw::kSession ? "part3" : "pn532";
    Rig rig(CardAtLevel(variant, 0), raw, false, true);
    Bench& bench = *rig.bench;
    Bench fresh(CardAtLevel(variant, 0));
    EXPECT_EQ(bench.Send(0x41, {1}).data, fresh.Send(0x41, {1}).data) << name;
    bench.Activate();
    const Bytes info = bench.Send(0x4F).data;
    const std::string text(info.begin(), info.end());
    EXPECT_NE(text.find(raw == ReaderPaths::Raw::kSession ? "raw:part3 value:apdu"
                                                          : "raw:pn532 value:apdu"),
              std::string::npos)
        << text;
    int bits = 0;
    for (std::uint8_t key = 0; key < 4; ++key) {
      Bytes perso{0xA8, key, 0x90};
      perso.insert(perso.end(), 16, 0xFF);
      Bytes ack = bench.RawBytes(perso, &bits);
      ASSERT_EQ(bits, 4) << name;
      EXPECT_EQ(ack.at(0) & 0x0F, 0x0A) << name;
    }
    Bytes ack = bench.RawBytes({0xAA}, &bits);
    ASSERT_EQ(bits, 4) << name;
    EXPECT_EQ(ack.at(0) & 0x0F, 0x0A) << name;
    EXPECT_EQ(rig.card.image().level, 1) << name;

    // Level 1: CRYPTO1 and a value command.
    bench.Activate();
    ASSERT_EQ(bench.Send(0x73, {0x00, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}).status, 0) << name;
    Bytes write{4, 100, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 100, 0, 0, 0, 4, 0xFB, 4, 0xFB};
    ASSERT_EQ(bench.Send(0x47, write).status, 0) << name;
    EXPECT_EQ(bench.Send(0x70, {0xC0, 4, 7, 0, 0, 0, 4}).status, 0) << name;
    EXPECT_EQ(bench.Send(0x46, {4}).data.at(0), 93) << name;
    // Into another block: the reader's value command cannot, the chip's can.
    const std::uint8_t elsewhere = bench.Send(0x70, {0xC1, 4, 1, 0, 0, 0, 5}).status;
    if (raw == ReaderPaths::Raw::kPn532) {
      EXPECT_EQ(elsewhere, 0) << name;
      EXPECT_EQ(bench.Send(0x46, {5}).data.at(0), 94) << name;
      EXPECT_EQ(bench.Send(0x46, {4}).data.at(0), 93) << name;
    } else {
      EXPECT_EQ(elsewhere, 0x17) << name;
      EXPECT_EQ(bench.Send(0x46, {5}).data, Bytes(16, 0)) << name;
    }

    // Level 1 to 3 over the host's RATS, PPS and T=CL blocks.
    bench.ActivateLayer4();
    ASSERT_EQ(bench.Send(0x92).status, 0) << name;
    HostSession session;
    EXPECT_EQ(session.FirstAuth(bench, 0x9003, Filled(0xFF), Filled(0x11)), 0x90) << name;
    EXPECT_EQ(rig.card.image().level, 3) << name;
    EXPECT_EQ(bench.Send(0x93).status, 0) << name;

    bench.ActivateLayer4();
    HostSession level3;
    EXPECT_EQ(level3.FirstAuth(bench, 0x4002, Filled(0xFF), Filled(0x22)), 0x90) << name;
    Bytes data;
    EXPECT_EQ(level3.Read(bench, 0x31, 4, 1, &data), 0x90) << name;
    // The proximity check's timing cannot cross the reader: refused before any frame.
    const std::size_t before = rig.reader->apdus.size();
    for (const Bytes& frame : {Bytes{0x0A, 10, 0xF0}, Bytes{0x02, 0xF2, 0x01}, Bytes{0x03, 0xFD}}) {
      Bytes request{0x00, 7};
      request.insert(request.end(), frame.begin(), frame.end());
      EXPECT_EQ(bench.Send(0x90, request).status, 0x17) << name;
    }
    EXPECT_EQ(rig.reader->apdus.size(), before) << name;
    // Other raw frames still pass (a Level 3 card refuses them with a NAK).
    bench.RawBytes({0xA8, 0x00, 0x90}, &bits);
    EXPECT_GT(rig.reader->apdus.size(), before) << name;
  }
}

}  // namespace
}  // namespace pelkin::test
