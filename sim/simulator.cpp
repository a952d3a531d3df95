// Placeholder reader model: no card, no answers. Replaced by the real model.
#include "simulator.h"

namespace pelkin {
namespace {
class Silent : public Simulator {
 public:
  Reply Handle(const std::uint8_t*, std::size_t) override { return {}; }
  bool Save(std::string*) override { return true; }
};
}  // namespace

bool ParseSimOptions(const std::string&, SimOptions*, std::string*) { return true; }

std::unique_ptr<Simulator> Simulator::Create(const SimOptions&, std::string*) {
  return std::make_unique<Silent>();
}

}  // namespace pelkin
