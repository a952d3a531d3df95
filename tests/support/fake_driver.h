// A scripted stand-in for the reader driver: records every frame the library
// writes and plays back prepared responses, failures and damaged frames.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace ostrel::test {

using Bytes = std::vector<std::uint8_t>;

class FakeDriver {
 public:
  // Computes a response frame from the request frame just written; nullopt means no answer.
  using Responder = std::function<std::optional<Bytes>(const Bytes& request)>;

  // Binds itself as the library's driver; the destructor unbinds it.
  FakeDriver();
  ~FakeDriver();
  FakeDriver(const FakeDriver&) = delete;
  FakeDriver& operator=(const FakeDriver&) = delete;

  // A response frame with a correct check byte.
  static Bytes Frame(std::uint8_t control, std::uint8_t status, const Bytes& data = {});
  // A request frame with a correct check byte, as the library should write it.
  static Bytes Request(std::uint8_t control, std::uint8_t command, const Bytes& data = {});

  // Scripted reads, consumed one per driver read, before any responder is asked.
  void QueueResponse(const Bytes& frame);
  void QueueOk(const Bytes& data = {}) { QueueResponse(Frame(0, 0, data)); }
  void QueueStatus(std::uint8_t status) { QueueResponse(Frame(0, status)); }
  void QueueReadFailure();
  // The next write returns `result` (non-zero fails the attempt).
  void QueueWriteResult(int result);
  void SetResponder(Responder responder) { responder_ = std::move(responder); }

  const std::vector<Bytes>& writes() const { return writes_; }
  int reads() const { return reads_; }
  int opens() const { return opens_; }
  void ClearLog() {
    writes_.clear();
    reads_ = 0;
  }

 private:
  static int Read(unsigned char* buffer, int capacity, int timeoutMs);
  static int Write(const unsigned char* buffer, int length, int timeoutMs);
  static int Open();
  static int Reset();

  std::deque<std::optional<Bytes>> reads_queue_;
  std::deque<int> write_results_;
  Responder responder_;
  std::vector<Bytes> writes_;
  int reads_ = 0;
  int opens_ = 0;
};

}  // namespace ostrel::test
