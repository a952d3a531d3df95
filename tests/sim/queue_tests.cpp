// The queue of cards in the simulator's field: arrival, leaving, the empty field,
// cards taken off early and the queue's state file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "card_queue.h"

namespace pelkin {
namespace {

Variant X4K4() {
  Variant variant;
  EXPECT_TRUE(ParseVariant("X4K4", &variant));
  return variant;
}

Bytes UidInField(CardQueue& queue) {
  if (!queue.Request(true)) return {};
  const auto part = queue.Anticollision(0x93);
  if (!part) return {};
  return Bytes(part->begin(), part->end());
}

TEST(CardQueue, FreshCardsAreDistinctAndFollowTheSeed) {
  Rng a(9), b(9), c(10);
  const auto first = CardQueue::FreshCards(X4K4(), 50, a);
  const auto again = CardQueue::FreshCards(X4K4(), 50, b);
  const auto other = CardQueue::FreshCards(X4K4(), 50, c);
  ASSERT_EQ(first.size(), 50u);
  std::set<Bytes> uids;
  for (std::size_t i = 0; i < first.size(); ++i) {
    uids.insert(first[i].uid);
    EXPECT_EQ(first[i].uid, again[i].uid);
    EXPECT_EQ(first[i].level, 0);
  }
  EXPECT_EQ(uids.size(), 50u);
  EXPECT_NE(first[0].uid, other[0].uid);
}

TEST(CardQueue, AHaltedCardLeavesAtTheFieldResetAndTheLastLeavesTheFieldEmpty) {
  Rng rng(3);
  const auto cards = CardQueue::FreshCards(X4K4(), 3, rng);
  CardQueue queue(cards, 4, {});
  struct Step {
    bool halt, reset;
    std::size_t cardAfter;  // cards.size(): the field is empty
  } steps[] = {
      {false, true, 0},  // a reset alone: the card stays
      {true, false, 0},  // a halt alone: the card stays (it answers a wake-up)
      {true, true, 1},  {true, true, 2}, {true, true, 3}, {true, true, 3},
  };
  for (const Step& step : steps) {
    if (step.halt) queue.Halt();
    if (step.reset) queue.PowerCycle();
    EXPECT_EQ(queue.position(), step.cardAfter);
    if (step.cardAfter < cards.size()) {
      const Bytes uid = UidInField(queue);
      EXPECT_TRUE(std::equal(uid.begin(), uid.end(), cards[step.cardAfter].uid.begin()));
    } else {
      EXPECT_FALSE(queue.Request(true)) << "a card answered after the last one";
      EXPECT_FALSE(queue.Exchange({0x70}));
    }
  }
}

TEST(CardQueue, ACardTakenOffEarlyGivesNoAnswerAndTheNextOneIsThere) {
  Rng rng(5);
  const auto cards = CardQueue::FreshCards(X4K4(), 2, rng);
  CardQueue queue(cards, 6, {}, TakeOff{1, 2});
  ASSERT_FALSE(UidInField(queue).empty());
  ASSERT_TRUE(queue.Select(0x93, cards[0].uid.data()));
  ASSERT_TRUE(queue.Rats(0));
  EXPECT_TRUE(queue.Exchange({0x43}));  // Reset Authenticate: the card answers
  EXPECT_TRUE(queue.Exchange({0x43}));
  EXPECT_FALSE(queue.Exchange({0x43})) << "the third command reached a card taken off";
  EXPECT_EQ(queue.position(), 1u);
  const Bytes uid = UidInField(queue);
  EXPECT_TRUE(std::equal(uid.begin(), uid.end(), cards[1].uid.begin()));
}

TEST(CardQueue, TheStateFileKeepsEveryCardInOrder) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("queue-" + std::to_string(::getpid()) + ".json"))
          .string();
  Rng rng(7);
  auto cards = CardQueue::FreshCards(X4K4(), 3, rng);
  cards[1].level = 3;
  cards[2].blocks[4][0] = 0xAB;
  std::string error;
  ASSERT_TRUE(SaveQueue(path, cards, &error)) << error;
  std::vector<CardImage> loaded;
  ASSERT_EQ(LoadQueue(path, &loaded, &error), LoadResult::kLoaded) << error;
  ASSERT_EQ(loaded.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(loaded[i].uid, cards[i].uid);
  EXPECT_EQ(loaded[1].level, 3);
  EXPECT_EQ(loaded[2].blocks[4][0], 0xAB);

  // A single card's state file is not a queue, and the missing file is told apart.
  StoredState single{cards[0], {}};
  ASSERT_TRUE(SaveState(path, single, &error)) << error;
  EXPECT_EQ(LoadQueue(path, &loaded, &error), LoadResult::kError);
  EXPECT_NE(error.find("not a card queue file"), std::string::npos) << error;
  std::filesystem::remove(path);
  EXPECT_EQ(LoadQueue(path, &loaded, &error), LoadResult::kMissing);
}

}  // namespace
}  // namespace pelkin
