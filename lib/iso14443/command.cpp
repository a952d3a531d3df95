#include "iso14443/command.h"

#include <cstring>

#include "link/frame.h"
#include "ostrel.h"

namespace ostrel::iso {

std::uint8_t Command(std::uint8_t command, const std::uint8_t* data, std::size_t length,
                     std::uint8_t* out, std::size_t outCount) {
  link::Response response;
  const std::uint8_t status = link::Exchange(0x00, command, data, length, &response);
  if (status != 0 || outCount == 0) return status;
  if (response.length() < outCount) return OSTREL_BAD_LENGTH;
  std::memcpy(out, response.data(), outCount);
  return OSTREL_OK;
}

}  // namespace ostrel::iso
