// The driver's entry points: pick the backend named by HOLLINK_READER and
// publish the four operations by ordinal.
#include "hollink.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend.h"

namespace {

std::unique_ptr<hollink::Backend>& Current() {
  static std::unique_ptr<hollink::Backend> backend;
  return backend;
}

std::unique_ptr<hollink::Backend> MakeBackend(const std::string& spec, std::string* error) {
  auto rest = [&](std::size_t n) { return spec.size() > n ? spec.substr(n + 1) : std::string(); };
  if (spec == "sim" || spec.rfind("sim:", 0) == 0) return hollink::MakeSimBackend(rest(3), error);
  if (spec.rfind("tcp:", 0) == 0) return hollink::MakeTcpBackend(rest(3), error);
  if (spec.rfind("serial:", 0) == 0) return hollink::MakeSerialBackend(rest(6), error);
  if (spec == "pcsc" || spec.rfind("pcsc:", 0) == 0)
    return hollink::MakePcscBackend(rest(4), error);
  *error = "unknown reader '" + spec + "' (use sim, tcp:HOST:PORT, serial:DEVICE or pcsc[:NAME])";
  return nullptr;
}

int Open() {
  const char* env = std::getenv("HOLLINK_READER");
  std::string spec = (env != nullptr && *env != '\0') ? env : "sim";
  std::string error;
  auto backend = MakeBackend(spec, &error);
  if (!backend) {
    std::fprintf(stderr, "hollink: %s\n", error.c_str());
    Current().reset();
    return 1;
  }
  // The reader held so far lets go first: a PC/SC card is held exclusively, and
  // opening the same reader again must not find it busy.
  Current().reset();
  int result = backend->Open();
  Current() = result == 0 ? std::move(backend) : nullptr;
  return result;
}

int Reset() {
  return Current() ? Current()->Reset() : 1;
}

int Write(const unsigned char* buffer, int length, int timeoutMs) {
  if (!Current() || buffer == nullptr || length <= 0) return 1;
  return Current()->Write(buffer, length, timeoutMs);
}

int Read(unsigned char* buffer, int capacity, int timeoutMs) {
  if (!Current() || buffer == nullptr || capacity <= 0) return -1;
  return Current()->Read(buffer, capacity, timeoutMs);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const HollinkOrdinal* HollinkOrdinals(void) {
  static const HollinkOrdinal table[] = {
      {HOLLINK_ORDINAL_READ, reinterpret_cast<HollinkProc>(&Read)},
      {HOLLINK_ORDINAL_WRITE, reinterpret_cast<HollinkProc>(&Write)},
      {HOLLINK_ORDINAL_OPEN, reinterpret_cast<HollinkProc>(&Open)},
      {HOLLINK_ORDINAL_RESET, reinterpret_cast<HollinkProc>(&Reset)},
      {0, nullptr},
  };
  return table;
}
