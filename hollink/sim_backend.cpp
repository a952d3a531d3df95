// The in-process simulated reader: frames go straight to the reader model.
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "backend.h"
#include "simulator.h"

namespace hollink {
namespace {

class SimBackend : public Backend {
 public:
  explicit SimBackend(std::string options) : options_(std::move(options)) {}

  int Open() override {
    pelkin::SimOptions parsed;
    std::string error;
    if (!pelkin::ParseSimOptions(options_, &parsed, &error)) {
      std::fprintf(stderr, "hollink: sim: %s\n", error.c_str());
      return 2;
    }
    sim_ = pelkin::Simulator::Create(parsed, &error);
    if (!sim_) {
      std::fprintf(stderr, "hollink: sim: %s\n", error.c_str());
      return 3;
    }
    return 0;
  }

  int Reset() override {
    pending_.clear();
    return sim_ ? 0 : 1;
  }

  int Write(const unsigned char* buffer, int length, int) override {
    if (!sim_) return 1;
    pending_.clear();
    pelkin::Reply reply = sim_->Handle(buffer, static_cast<std::size_t>(length));
    if (!reply.frame.empty()) pending_.push_back(std::move(reply.frame));
    return 0;
  }

  int Read(unsigned char* buffer, int capacity, int) override {
    if (pending_.empty()) return -1;
    std::vector<unsigned char> frame = std::move(pending_.front());
    pending_.pop_front();
    if (frame.size() > static_cast<std::size_t>(capacity)) return -1;
    std::memcpy(buffer, frame.data(), frame.size());
    return static_cast<int>(frame.size());
  }

 private:
  std::string options_;
  std::unique_ptr<pelkin::Simulator> sim_;
  std::deque<std::vector<unsigned char>> pending_;
};

}  // namespace

std::unique_ptr<Backend> MakeSimBackend(const std::string& options, std::string*) {
  return std::make_unique<SimBackend>(options);
}

}  // namespace hollink
