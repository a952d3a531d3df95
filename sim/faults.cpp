#include "faults.h"

#include <utility>

namespace pelkin {
namespace {

// SplitMix64: small, fast and the same on every platform, so a seed names one
// exact sequence of faults wherever the test runs.
class Draws {
 public:
  explicit Draws(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // True with probability p (p <= 0 never, p >= 1 always).
  bool Chance(double p) {
    const double unit = static_cast<double>(Next() >> 11) * 0x1.0p-53;  // [0, 1)
    return unit < p;
  }

 private:
  std::uint64_t state_;
};

class FaultyReader : public Simulator {
 public:
  FaultyReader(std::unique_ptr<Simulator> reader, const FaultOptions& faults, std::uint64_t seed)
      : reader_(std::move(reader)), faults_(faults), draws_(seed) {}

  Reply Handle(const std::uint8_t* frame, std::size_t length) override {
    // Every draw is made for every request, whatever the outcome, so one fault
    // never shifts which later requests suffer the others.
    const bool loseRequest = draws_.Chance(faults_.loseRequest);
    const bool loseAnswer = draws_.Chance(faults_.loseAnswer);
    const bool corrupt = draws_.Chance(faults_.corruptAnswer);
    const bool delay = draws_.Chance(faults_.delayAnswer);
    const std::uint64_t where = draws_.Next();

    if (loseRequest) return {};
    Reply reply = reader_->Handle(frame, length);
    if (reply.frame.empty()) return reply;
    if (loseAnswer) return {};
    if (corrupt) Corrupt(&reply.frame, where);
    if (delay && faults_.delayMs > reply.delayMs) reply.delayMs = faults_.delayMs;
    return reply;
  }

  bool Save(std::string* error) override { return reader_->Save(error); }

 private:
  // Flips one bit anywhere but in the length byte: a single flipped bit always
  // breaks the check byte, while a changed length would also change how many
  // bytes the host waits for, which is a framing fault rather than a damaged answer.
  static void Corrupt(std::vector<std::uint8_t>* frame, std::uint64_t where) {
    constexpr std::size_t kLengthByte = 2;
    const std::size_t bits = frame->size() * 8;
    std::size_t bit = static_cast<std::size_t>(where % bits);
    if (bit / 8 == kLengthByte) bit = (bit + 8) % bits;
    (*frame)[bit / 8] = static_cast<std::uint8_t>((*frame)[bit / 8] ^ (1u << (bit % 8)));
  }

  std::unique_ptr<Simulator> reader_;
  FaultOptions faults_;
  Draws draws_;
};

bool AnyFault(const FaultOptions& f) {
  return f.loseRequest > 0 || f.loseAnswer > 0 || f.corruptAnswer > 0 ||
         (f.delayAnswer > 0 && f.delayMs > 0);
}

}  // namespace

std::unique_ptr<Simulator> WithFaults(std::unique_ptr<Simulator> reader, const FaultOptions& faults,
                                      std::uint64_t seed) {
  if (!reader || !AnyFault(faults)) return reader;
  return std::make_unique<FaultyReader>(std::move(reader), faults, seed);
}

}  // namespace pelkin
