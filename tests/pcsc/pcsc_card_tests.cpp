// The PC/SC card proxy behind the reader model, against the simulated card as
// a PC/SC contactless reader shows it (the same code pelkin-sim serves to vpcd),
// and the ATR and ATS forms both sides rely on.
#include <gtest/gtest.h>

#include <algorithm>

#include "access.h"
#include "card.h"
#include "contactless_atr.h"
#include "pcsc_card.h"
#include "sim_test_support.h"
#include "virtual_pcsc_card.h"

namespace pelkin::test {
namespace {

constexpr long kNoCard = 0x8010000C;  // SCARD_E_NO_SMARTCARD

// PC/SC as far as the proxy sees it: the virtual reader with the simulated card.
class FakeLink : public hollink::PcscLink {
 public:
  explicit FakeLink(Card* card) : reader_(card) {}
  long ResetCard(Bytes* atr) override {
    ++resets;
    reader_.PowerOn();
    if (reader_.Atr().empty()) return kNoCard;
    *atr = reader_.Atr();
    return 0;
  }
  long Transmit(const Bytes& apdu, Bytes* answer) override {
    apdus.push_back(apdu);
    if (error != 0) return error;
    *answer = emptyAnswers ? Bytes{} : reader_.Transmit(apdu);
    return 0;
  }
  std::string ReaderName() const override { return "Test Reader 00 00"; }

  int resets = 0;
  std::vector<Bytes> apdus;
  long error = 0;
  bool emptyAnswers = false;

 private:
  VirtualPcscCard reader_;
};

class Proxy {
 public:
  explicit Proxy(CardImage image) : card(std::move(image), &rng) {
    auto fake = std::make_unique<FakeLink>(&card);
    link = fake.get();
    bench = std::make_unique<Bench>(std::make_unique<hollink::PcscCard>(std::move(fake)));
  }
  Rng rng{7};
  Card card;
  FakeLink* link = nullptr;
  std::unique_ptr<Bench> bench;
};

struct Seen {
  Bytes atq, parts;
  std::uint8_t sak = 0;
};

// Request and every cascade level as the library's PiccActivate runs them.
Seen Activation(Bench& bench) {
  Seen seen;
  Answer request = bench.Send(0x41, {1});
  EXPECT_EQ(request.status, 0);
  seen.atq = request.data;
  for (std::uint8_t code = 0x93; code <= 0x97; code = static_cast<std::uint8_t>(code + 2)) {
    Answer part = bench.Send(0x74, {code, 0});
    EXPECT_EQ(part.status, 0);
    seen.parts.insert(seen.parts.end(), part.data.begin(), part.data.end());
    Bytes select{code};
    select.insert(select.end(), part.data.begin(), part.data.end());
    Answer chosen = bench.Send(0x75, select);
    EXPECT_EQ(chosen.status, 0);
    if (chosen.status != 0 || chosen.data.empty()) break;
    seen.sak = chosen.data[0];
    if ((seen.sak & 0x04) == 0) break;
  }
  return seen;
}

TEST(PcscProxy, ActivationShowsWhatTheCardItselfAnswers) {
  // ATQ and SAK do not cross PC/SC: derived from the ATR and the UID size, they
  // must still be what the card answers in the simulated reader's own field.
  for (const char* name : {"X4K4", "X4K7", "X2K4", "S2K7"}) {
    for (int level = 0; level <= 3; ++level) {
      Variant variant;
      ASSERT_TRUE(ParseVariant(name, &variant));
      if (variant.s && level == 2) continue;  // S cards have no Level 2
      Bench direct(CardAtLevel(variant, level));
      Proxy proxy(CardAtLevel(variant, level));
      const Seen expected = Activation(direct);
      const Seen seen = Activation(*proxy.bench);
      EXPECT_EQ(seen.atq, expected.atq) << name << " Level " << level;
      EXPECT_EQ(seen.parts, expected.parts) << name << " Level " << level;
      EXPECT_EQ(seen.sak, expected.sak) << name << " Level " << level;
    }
  }
}

TEST(PcscProxy, Crypto1BlockCommandsGoThroughTheReadersPseudoApdus) {
  Variant variant;
  Proxy proxy(CardAtLevel(variant, 1));
  Bench& bench = *proxy.bench;
  bench.Activate();
  const Bytes ff(6, 0xFF);
  Bytes auth{0x00, 1};
  auth.insert(auth.end(), ff.begin(), ff.end());
  ASSERT_EQ(bench.Send(0x73, auth).status, 0);
  // The key went into a volatile slot right before the authentication.
  ASSERT_GE(proxy.link->apdus.size(), 2u);
  const Bytes& load = proxy.link->apdus[proxy.link->apdus.size() - 2];
  EXPECT_EQ(Bytes(load.begin(), load.begin() + 5), (Bytes{0xFF, 0x82, 0x00, 0x00, 0x06}));
  EXPECT_EQ(proxy.link->apdus.back(),
            (Bytes{0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00,
                   static_cast<std::uint8_t>(FirstBlockOfSector(1)), 0x60, 0x00}));
  Bytes write{4};
  for (int i = 0; i < 16; ++i) write.push_back(static_cast<std::uint8_t>(0x30 + i));
  ASSERT_EQ(bench.Send(0x47, write).status, 0);
  Answer read = bench.Send(0x46, {4});
  ASSERT_EQ(read.status, 0);
  EXPECT_EQ(read.data, Bytes(write.begin() + 1, write.end()));
  EXPECT_EQ(bench.Send(0x46, {8}).status, kStNotAuthenticated);  // another sector
  Bytes lockingTrailer(17, 0x00);  // access bits that do not match their complements
  lockingTrailer[0] = 7;
  EXPECT_EQ(bench.Send(0x47, lockingTrailer).status, kStWriteError);
  // A wrong key leaves the card unselected, as on the air.
  bench.Activate();
  auth.back() = 0x00;
  EXPECT_EQ(bench.Send(0x73, auth).status, kStAuthFailed);
  EXPECT_EQ(bench.Send(0x46, {4}).status, kStNoCard);
}

TEST(PcscProxy, WhatAGenericReaderCannotDoIsAnUnknownCommand) {
  Variant variant;
  for (int level : {1, 3}) {
    Proxy proxy(CardAtLevel(variant, level));
    Bench& bench = *proxy.bench;
    bench.Activate();
    const std::size_t apdus = proxy.link->apdus.size();
    EXPECT_EQ(bench.Send(0x70, {0xC1, 4, 1, 0, 0, 0, 4}).status, 0x17) << level;
    EXPECT_EQ(bench.Send(0x77, {0xC0, 4, 1, 0, 0, 0}).status, 0x17) << level;
    // With both answer header bytes, so the host reads the status and not a short frame.
    Answer raw = bench.Send(0x90, {0x00, 7, 0xAA});
    EXPECT_EQ(raw.status, 0x17) << level;
    EXPECT_EQ(raw.data.size(), 2u) << level;
    if (level == 1) {  // a storage card: the reader did no RATS and takes none
      EXPECT_EQ(bench.Send(0x91, {10}).status, 0x17);
      EXPECT_EQ(bench.Send(0x94, {0x70, 0x03, 0x90, 0x00}).status, 0x17);
    }
    EXPECT_EQ(proxy.link->apdus.size(), apdus) << "nothing reached the card";
  }
}

TEST(PcscProxy, Layer4CommandsTravelVerbatimAndNoAnswerIsNoSuccess) {
  Variant variant;
  Proxy proxy(CardAtLevel(variant, 0));
  Bench& bench = *proxy.bench;
  bench.Activate();
  Answer ats = bench.Send(0x91, {10});
  ASSERT_EQ(ats.status, 0);
  // The historical bytes are the card's own; the interface bytes are gone.
  Bench direct(CardAtLevel(variant, 0));
  direct.Activate();
  EXPECT_EQ(AtsHistoricalBytes(ats.data), AtsHistoricalBytes(direct.Send(0x91, {10}).data));
  EXPECT_EQ(ats.data.at(0), ats.data.size());
  EXPECT_EQ(bench.Send(0x92).status, 0);

  Bytes perso{0xA8, 0x00, 0x90};
  perso.insert(perso.end(), 16, 0x5A);
  EXPECT_EQ(bench.Tcl(perso), Bytes{0x90});
  EXPECT_EQ(proxy.link->apdus.back(), perso);
  EXPECT_EQ(proxy.card.image().keys.at(0x9000), Filled(0x5A));

  proxy.link->emptyAnswers = true;
  EXPECT_EQ(bench.Send(0x94, {0xAA}).status, kStNoCard);
  proxy.link->emptyAnswers = false;
  proxy.link->error = kNoCard;
  EXPECT_EQ(bench.Send(0x94, {0xAA}).status, kStNoCard);
}

TEST(PcscProxy, EveryRequestResetsTheCardAndHaltKeepsIdleRequestsOut) {
  Variant variant;
  Proxy proxy(CardAtLevel(variant, 3));
  Bench& bench = *proxy.bench;
  bench.Activate();
  const int resets = proxy.link->resets;
  EXPECT_EQ(bench.Send(0x45).status, 0);
  EXPECT_EQ(bench.Send(0x41, {0}).status, kStNoCard);  // idle request: the halted card is silent
  EXPECT_EQ(bench.Send(0x41, {1}).status, 0);
  EXPECT_EQ(proxy.link->resets, resets + 1);
  Answer info = bench.Send(0x4F);
  const std::string text(info.data.begin(), info.data.end());
  EXPECT_NE(text.find("PC/SC raw:none value:none; Test Reader 00 00"), std::string::npos) << text;
}

TEST(VirtualPcscCard, AnswersTheReadersOwnCommandsWithStatusWords) {
  Variant variant;
  Rng rng(3);
  Card card(CardAtLevel(variant, 1), &rng);
  VirtualPcscCard reader(&card);
  EXPECT_EQ(reader.Transmit({0xFF, 0xCA, 0, 0, 0}), (Bytes{0x64, 0x00})) << "field off";
  reader.PowerOn();
  EXPECT_EQ(reader.Atr(), StorageCardAtr(kCardNamePlusSl1_4K));
  Bytes uid = card.image().uid;
  uid.insert(uid.end(), {0x90, 0x00});
  const Bytes key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  auto load = [&](std::uint8_t p1) {
    Bytes apdu{0xFF, 0x82, p1, 0x00, 0x06};
    apdu.insert(apdu.end(), key.begin(), key.end());
    return apdu;
  };
  const std::pair<Bytes, Bytes> steps[] = {
      {{0xFF, 0xCA, 0x00, 0x00, 0x00}, uid},
      {{0xFF, 0xCA, 0x01, 0x00, 0x00}, {0x6A, 0x81}},  // no ATS on a storage card
      {{0xFF, 0xCA, 0x00, 0x00, 0x02}, {0x6C, 0x04}},  // Le too short
      {{0xFF, 0xB0, 0x00, 0x04, 0x10}, {0x69, 0x82}},  // not authenticated
      {{0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x00}, {0x69, 0x86}},  // no key
      {load(0x20), {0x69, 0x86}},  // non-volatile slots are not offered
      {load(0x00), {0x90, 0x00}},
      {{0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x00}, {0x90, 0x00}},
      {{0xFF, 0xB0, 0x00, 0x04, 0x10}, Bytes{std::vector<std::uint8_t>(16, 0)}},
      {{0xFF, 0xB0, 0x00, 0x00, 0x10}, {0x69, 0x82}},  // another sector
      {{0xFF, 0x99, 0x00, 0x00}, {0x6D, 0x00}},
      {{0xFF, 0xCA}, {0x67, 0x00}},
      {{0x70, 0x03, 0x90, 0x00}, {0x6A, 0x81}},  // native command to a storage card
  };
  for (const auto& [apdu, expected] : steps) {
    Bytes want = expected;
    if (want.size() == 16) want.insert(want.end(), {0x90, 0x00});
    EXPECT_EQ(reader.Transmit(apdu), want) << std::hex << int(apdu[1]);
  }
}

TEST(ContactlessAtr, BothFormsReadBackAndBrokenOnesAreRefused) {
  const Bytes historical{0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
  auto layer4 = ParseContactlessAtr(Iso14443_4Atr(historical));
  ASSERT_TRUE(layer4);
  EXPECT_TRUE(layer4->layer4);
  EXPECT_EQ(layer4->historical, historical);
  for (std::uint16_t name : {kCardNamePlusSl1_2K, kCardNamePlusSl2_4K, kCardNameClassic1K}) {
    auto storage = ParseContactlessAtr(StorageCardAtr(name));
    ASSERT_TRUE(storage);
    EXPECT_FALSE(storage->layer4);
    EXPECT_EQ(storage->cardName, name);
  }
  Bytes broken = StorageCardAtr(kCardNamePlusSl1_4K);
  broken.back() ^= 1;  // TCK
  EXPECT_FALSE(ParseContactlessAtr(broken));
  EXPECT_FALSE(ParseContactlessAtr({0x3B, 0x02, 0x14, 0x50}));  // a contact card's ATR

  // ATS: TL, T0 and the interface bytes T0 announces come before the historical bytes.
  EXPECT_EQ(AtsHistoricalBytes({0x06, 0x75, 0x77, 0x80, 0x02, 0xC1}), Bytes{0xC1});
  EXPECT_EQ(AtsHistoricalBytes({0x03, 0x08, 0xC1}), Bytes{0xC1});
  EXPECT_FALSE(AtsHistoricalBytes({0x04, 0x75, 0x77, 0x80}));  // shorter than T0 says
  EXPECT_FALSE(AtsHistoricalBytes({0x09, 0x08}));              // TL beyond the bytes
}

}  // namespace
}  // namespace pelkin::test
