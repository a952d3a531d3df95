// Fault injection around a simulated reader: lost requests and answers,
// corrupted and delayed answers, each drawn with a seeded probability.
#pragma once

#include <cstdint>
#include <memory>

#include "simulator.h"

namespace pelkin {

// Wraps `reader` so its replies suffer `faults`; returns `reader` itself when no
// fault has a non-zero probability.
std::unique_ptr<Simulator> WithFaults(std::unique_ptr<Simulator> reader, const FaultOptions& faults,
                                      std::uint64_t seed);

}  // namespace pelkin
