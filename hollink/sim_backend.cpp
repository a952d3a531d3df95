// The in-process simulated reader: frames go straight to the reader model.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>
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
    // The old simulator lets go of its state file before the new one takes it.
    sim_.reset();
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
    if (!reply.frame.empty()) pending_.emplace_back(std::move(reply.frame), reply.delayMs);
    return 0;
  }

  int Read(unsigned char* buffer, int capacity, int timeoutMs) override {
    if (pending_.empty()) return -1;
    auto [frame, delayMs] = std::move(pending_.front());
    pending_.pop_front();
    // A late answer that misses the read's time-out is lost to this exchange.
    if (delayMs > 0 && timeoutMs >= 0 && delayMs > timeoutMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
      return -1;
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (frame.size() > static_cast<std::size_t>(capacity)) return -1;
    std::memcpy(buffer, frame.data(), frame.size());
    return static_cast<int>(frame.size());
  }

 private:
  std::string options_;
  std::unique_ptr<pelkin::Simulator> sim_;
  std::deque<std::pair<std::vector<unsigned char>, int>> pending_;  // frame, delay
};

}  // namespace

std::unique_ptr<Backend> MakeSimBackend(const std::string& options, std::string*) {
  return std::make_unique<SimBackend>(options);
}

}  // namespace hollink
