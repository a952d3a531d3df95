// Fault injection around a reader: each fault alone, their rates, and that a
// seed names one exact sequence of faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <set>
#include <string>
#include <vector>

#include "faults.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t status, const Bytes& data) {
  Bytes f(data.size() + 4);
  f[1] = status;
  f[2] = static_cast<std::uint8_t>(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) f[3 + i] = data[i];
  std::uint8_t x = 0;
  for (std::size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
  f.back() = static_cast<std::uint8_t>(~x);
  return f;
}

bool CheckByteHolds(const Bytes& f) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
  return f.back() == static_cast<std::uint8_t>(~x);
}

// A reader that counts what it is asked and always gives the same answer.
class CountingReader : public pelkin::Simulator {
 public:
  CountingReader(int* handled, int* saved, Bytes answer)
      : handled_(handled), saved_(saved), answer_(std::move(answer)) {}
  pelkin::Reply Handle(const std::uint8_t*, std::size_t) override {
    ++*handled_;
    return {answer_, 0};
  }
  bool Save(std::string*) override {
    ++*saved_;
    return true;
  }

 private:
  int* handled_;
  int* saved_;
  Bytes answer_;
};

const Bytes kRequest = {0x00, 0x4F, 0x00, 0xB0};
const Bytes kAnswer = Frame(0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80});

struct Harness {
  explicit Harness(const pelkin::FaultOptions& faults, std::uint64_t seed = 7,
                   Bytes answer = kAnswer)
      : reader(pelkin::WithFaults(std::make_unique<CountingReader>(&handled, &saved, answer),
                                  faults, seed)) {}
  pelkin::Reply Send() { return reader->Handle(kRequest.data(), kRequest.size()); }
  int handled = 0;
  int saved = 0;
  std::unique_ptr<pelkin::Simulator> reader;
};

TEST(Faults, WithoutFaultsTheReaderIsReturnedItself) {
  int handled = 0, saved = 0;
  auto inner = std::make_unique<CountingReader>(&handled, &saved, kAnswer);
  pelkin::Simulator* raw = inner.get();
  pelkin::FaultOptions only_a_delay_time;
  only_a_delay_time.delayMs = 50;  // a delay time without a delay chance is no fault
  EXPECT_EQ(pelkin::WithFaults(std::move(inner), only_a_delay_time, 1).get(), raw);
}

TEST(Faults, EachFaultAlone) {
  pelkin::FaultOptions lose_request;
  lose_request.loseRequest = 1;
  Harness a(lose_request);
  EXPECT_TRUE(a.Send().frame.empty());
  EXPECT_EQ(a.handled, 0) << "a lost request never reaches the reader";

  pelkin::FaultOptions lose_answer;
  lose_answer.loseAnswer = 1;
  Harness b(lose_answer);
  EXPECT_TRUE(b.Send().frame.empty());
  EXPECT_EQ(b.handled, 1) << "the reader acted before its answer was lost";

  pelkin::FaultOptions delay;
  delay.delayAnswer = 1;
  delay.delayMs = 35;
  Harness c(delay);
  pelkin::Reply late = c.Send();
  EXPECT_EQ(late.frame, kAnswer);
  EXPECT_EQ(late.delayMs, 35);

  std::string error;
  EXPECT_TRUE(c.reader->Save(&error));
  EXPECT_EQ(c.saved, 1) << "saving reaches the wrapped reader";
}

TEST(Faults, CorruptionFlipsOneBitOutsideTheLengthByte) {
  pelkin::FaultOptions corrupt;
  corrupt.corruptAnswer = 1;
  Harness h(corrupt, 99);
  std::set<std::size_t> bytes_hit;
  for (int i = 0; i < 400; ++i) {
    const Bytes got = h.Send().frame;
    ASSERT_EQ(got.size(), kAnswer.size());
    int flipped = 0;
    for (std::size_t j = 0; j < got.size(); ++j) {
      const auto diff = static_cast<unsigned>(got[j] ^ kAnswer[j]);
      flipped += static_cast<int>(std::bitset<8>(diff).count());
      if (diff != 0) bytes_hit.insert(j);
    }
    ASSERT_EQ(flipped, 1);
    EXPECT_FALSE(CheckByteHolds(got));
  }
  EXPECT_EQ(bytes_hit.count(2), 0u) << "the length byte would desynchronise a stream";
  EXPECT_EQ(bytes_hit.size(), kAnswer.size() - 1) << "every other byte, the check byte too";

  // Even the smallest frame (no data) is corrupted without touching its length.
  Harness small(corrupt, 3, Frame(0, {}));
  for (int i = 0; i < 50; ++i) {
    const Bytes got = small.Send().frame;
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2], 0);
    EXPECT_FALSE(CheckByteHolds(got));
  }
}

TEST(Faults, RatesFollowTheProbabilitiesAndTheSeedFixesTheSequence) {
  pelkin::FaultOptions mixed;
  mixed.loseRequest = 0.05;
  mixed.loseAnswer = 0.05;
  mixed.corruptAnswer = 0.10;
  auto run = [&](std::uint64_t seed, int* handled) {
    Harness h(mixed, seed);
    std::string outcomes;
    for (int i = 0; i < 20000; ++i) {
      pelkin::Reply r = h.Send();
      outcomes += r.frame.empty() ? 'L' : (r.frame == kAnswer ? '.' : 'C');
    }
    *handled = h.handled;
    return outcomes;
  };
  int handled = 0;
  const std::string first = run(42, &handled);
  const auto count = [&](char c) {
    return static_cast<double>(std::count(first.begin(), first.end(), c));
  };
  // Expectations with generous margins (about five standard deviations).
  EXPECT_NEAR(20000 - handled, 1000, 160);                   // lost requests
  EXPECT_NEAR(count('L'), 1000 + 0.95 * 1000, 220);          // lost requests + lost answers
  EXPECT_NEAR(count('C'), 20000 * 0.95 * 0.95 * 0.10, 200);  // corrupted, of the answers left

  int again_handled = 0;
  EXPECT_EQ(run(42, &again_handled), first);
  EXPECT_EQ(again_handled, handled);
  int other_handled = 0;
  EXPECT_NE(run(43, &other_handled), first);
}

}  // namespace
