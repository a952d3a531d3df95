#include "link/frame.h"

#include <cstring>

#include "link/driver.h"
#include "link/trace.h"
#include "ostrel.h"

namespace ostrel::link {

std::uint8_t CheckByte(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < count; ++i) x ^= bytes[i];
  return static_cast<std::uint8_t>(~x);
}

std::uint8_t Exchange(std::uint8_t control, std::uint8_t command, const std::uint8_t* data,
                      std::size_t length, Response* response) {
  if (length > kFrameDataMax) return kNoResponse;  // never built: callers refuse first
  std::uint8_t request[kFrameMax] = {control, command, static_cast<std::uint8_t>(length)};
  if (length > 0) std::memcpy(request + 3, data, length);
  short rc = ReaderCommand(request, static_cast<short>(length + 4), response->frame,
                           static_cast<short>(kFrameMax), kTimeoutMs);
  if (rc != 0) {
    // The buffer may hold a stale or partial frame that looks whole; callers
    // that tell a reader status of 0xFF from a link failure must not see it.
    std::memset(response->frame, 0, sizeof response->frame);
    return kNoResponse;
  }
  return response->status();
}

std::uint8_t Command(std::uint8_t command, const std::uint8_t* data, std::size_t length,
                     std::uint8_t* out, std::size_t outCount) {
  Response response;
  const std::uint8_t status = Exchange(0x00, command, data, length, &response);
  if (status != 0 || outCount == 0) return status;
  if (response.length() < outCount) return OSTREL_BAD_LENGTH;
  std::memcpy(out, response.data(), outCount);
  return OSTREL_OK;
}

}  // namespace ostrel::link

extern "C" short ReaderCommand(unsigned char* request, short requestLength, unsigned char* response,
                               short responseCapacity, int timeout) {
  using namespace ostrel::link;
  // The check byte goes to request[3 + N]: a frame shorter than its header, a
  // length byte beyond one frame's data, or a length that disagrees with it,
  // would make us read, write or send bytes outside the caller's frame.
  if (request == nullptr || requestLength < 4) return kNoResponse;
  const std::size_t n = request[2];
  if (n > kFrameDataMax || requestLength != static_cast<short>(n + 4)) return kNoResponse;
  request[3 + n] = CheckByte(request, 3 + n);

  const Driver* driver = ActiveDriver();
  if (driver == nullptr || response == nullptr || responseCapacity < 4) {
    return kNoResponse;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    int written = driver->write(request, requestLength, kTimeoutMs);
    trace::Written(request, requestLength, written);
    if ((written & 0xFFFF) != 0) continue;
    int got = driver->read(response, responseCapacity, timeout);
    trace::Received(response, got, responseCapacity);
    if (got == -1) continue;
    const int m = response[2];
    if (3 + m >= responseCapacity) continue;
    // A driver that reports fewer bytes than the frame needs delivered a short frame.
    if (got < 4 + m) continue;
    if (CheckByte(response, static_cast<std::size_t>(3 + m)) == response[3 + m]) return 0;
  }
  return kNoResponse;
}
