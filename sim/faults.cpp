#include "faults.h"

namespace pelkin {

// Placeholder: faults are not applied yet.
std::unique_ptr<Simulator> WithFaults(std::unique_ptr<Simulator> reader, const FaultOptions&,
                                      std::uint64_t) {
  return reader;
}

}  // namespace pelkin
