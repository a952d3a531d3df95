// Frames over a byte stream (TCP or a serial device).
#include "backend.h"

namespace hollink {

std::unique_ptr<Backend> MakeTcpBackend(const std::string& address, std::string* error) {
  *error = "tcp:" + address + ": stream transports are not available in this build";
  return nullptr;
}

std::unique_ptr<Backend> MakeSerialBackend(const std::string& address, std::string* error) {
  *error = "serial:" + address + ": stream transports are not available in this build";
  return nullptr;
}

}  // namespace hollink
