#include "fake_driver.h"

#include <algorithm>
#include <cstring>

#include "link/driver.h"
#include "link/frame.h"

namespace ostrel::test {
namespace {
FakeDriver* g_current = nullptr;
}

FakeDriver::FakeDriver() {
  g_current = this;
  link::Driver driver{&FakeDriver::Read, &FakeDriver::Write, &FakeDriver::Open, &FakeDriver::Reset};
  link::InstallDriver(&driver);
}

FakeDriver::~FakeDriver() {
  link::InstallDriver(nullptr);
  g_current = nullptr;
}

Bytes FakeDriver::Frame(std::uint8_t control, std::uint8_t status, const Bytes& data) {
  Bytes frame(data.size() + 4);
  frame[0] = control;
  frame[1] = status;
  frame[2] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.begin() + 3);
  frame.back() = link::CheckByte(frame.data(), frame.size() - 1);
  return frame;
}

Bytes FakeDriver::Request(std::uint8_t control, std::uint8_t command, const Bytes& data) {
  return Frame(control, command, data);
}

void FakeDriver::QueueResponse(const Bytes& frame) {
  reads_queue_.emplace_back(frame);
}
void FakeDriver::QueueReadFailure() {
  reads_queue_.emplace_back(std::nullopt);
}
void FakeDriver::QueueWriteResult(int result) {
  write_results_.push_back(result);
}

int FakeDriver::Write(const unsigned char* buffer, int length, int) {
  FakeDriver* self = g_current;
  self->writes_.emplace_back(buffer, buffer + length);
  if (self->write_results_.empty()) return 0;
  int result = self->write_results_.front();
  self->write_results_.pop_front();
  return result;
}

int FakeDriver::Read(unsigned char* buffer, int capacity, int) {
  FakeDriver* self = g_current;
  ++self->reads_;
  std::optional<Bytes> frame;
  if (!self->reads_queue_.empty()) {
    frame = self->reads_queue_.front();
    self->reads_queue_.pop_front();
  } else if (self->responder_ && !self->writes_.empty()) {
    frame = self->responder_(self->writes_.back());
  }
  if (!frame || frame->size() > static_cast<std::size_t>(capacity)) return -1;
  std::memcpy(buffer, frame->data(), frame->size());
  return static_cast<int>(frame->size());
}

int FakeDriver::Open() {
  ++g_current->opens_;
  return 0;
}

int FakeDriver::Reset() {
  return 0;
}

}  // namespace ostrel::test
