// Cards arriving one after another in the reader's field, as on a production
// line: the card in the field leaves when the host halts it and then resets the
// field, and the next request finds the next card; after the last the field stays
// empty. The whole queue lives in one state file, and a simulator started again
// on it presents the queue from its first card.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card.h"
#include "card_store.h"
#include "rng.h"

namespace pelkin {

// A card taken off the field too early: the `card`-th card of the queue (from 1)
// leaves after `commands` card commands (layer 4 exchanges) reached it.
struct TakeOff {
  int card = 0;
  int commands = 0;
};

class CardQueue : public CardInterface {
 public:
  using Save = std::function<bool(const std::vector<CardImage>&, std::string*)>;
  // `seed` feeds the cards' own random numbers; `save` is called after every change.
  CardQueue(std::vector<CardImage> cards, std::optional<std::uint64_t> seed, Save save,
            TakeOff takeOff = {});

  // N factory cards with distinct random UIDs drawn from `rng`.
  static std::vector<CardImage> FreshCards(const Variant& variant, int count, Rng& rng);

  // The card now in the field (0-based); the card count when the field is empty.
  std::size_t position() const { return position_; }
  std::vector<CardImage> images() const;

  bool Supports(CardFeature feature) const override;
  std::optional<std::array<std::uint8_t, 2>> Request(bool wakeUp) override;
  std::optional<std::array<std::uint8_t, 4>> Anticollision(std::uint8_t selectCode) override;
  std::optional<std::uint8_t> Select(std::uint8_t selectCode, const std::uint8_t part[4]) override;
  void Halt() override;
  void PowerCycle() override;
  std::uint8_t AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) override;
  std::uint8_t ReadBlock(int block, std::uint8_t out[16]) override;
  std::uint8_t WriteBlock(int block, const std::uint8_t data[16]) override;
  std::uint8_t Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) override;
  std::optional<Bytes> Rats(std::uint8_t cid) override;
  bool Pps() override;
  bool Deselect() override;
  std::optional<Bytes> Exchange(const Bytes& command) override;
  std::optional<RawAnswer> RawExchange(const Bytes& data, int bits) override;

 private:
  Card* Current();  // nullptr when the field is empty
  void Leave();
  void SaveIfChanged();

  Rng rng_;
  std::vector<std::unique_ptr<Card>> cards_;
  std::size_t position_ = 0;
  bool halted_ = false;  // halted since its last request: a field reset takes it away
  int commands_ = 0;     // layer 4 commands the card in the field has had
  Save save_;
  TakeOff takeOff_;
};

// The queue's state file: {"format": "pelkin-sim-queue", "cards": [card, ...]}, each
// card as in a single card's state file.
LoadResult LoadQueue(const std::string& path, std::vector<CardImage>* cards, std::string* error);
bool SaveQueue(const std::string& path, const std::vector<CardImage>& cards, std::string* error);

}  // namespace pelkin
