// The stream backend's frame reader: the bytes a TCP peer (or a serial line)
// sends, split into response frames. A local peer writes the fuzzer's bytes;
// the backend must hand over only whole frames that fit the caller's buffer.
//
// Input: byte 0 picks the read capacity (4 to 67 bytes); the rest arrives on
// the socket in one piece after the request was written.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "backend.h"

namespace {

std::unique_ptr<hollink::Backend> g_backend;
int g_peer = -1;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void Connect() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Broken("no local listener");
  }
  std::string error;
  g_backend =
      hollink::MakeTcpBackend("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), &error);
  if (!g_backend || g_backend->Open() != 0) Broken("cannot connect to the local listener");
  g_peer = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  if (g_peer < 0) Broken("no peer");
}

// Whatever the backend wrote is the host's request: the peer reads it away.
void DrainPeer() {
  std::uint8_t sink[256];
  while (::recv(g_peer, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (!g_backend) Connect();
  const int capacity = 4 + data[0] % 64;
  const std::uint8_t request[4] = {0x00, 0x3F, 0x00, 0xC0};
  if (g_backend->Write(request, sizeof request, 1000) != 0) {
    // The backend reconnects on the next write; take its new connection.
    g_backend.reset();
    ::close(g_peer);
    return 0;
  }
  DrainPeer();
  if (size > 1 &&
      ::send(g_peer, data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
    Broken("the peer could not send the input");
  }
  std::vector<unsigned char> buffer(static_cast<std::size_t>(capacity));
  for (int reads = 0; reads < 64; ++reads) {
    const int got = g_backend->Read(buffer.data(), capacity, 0);
    if (got < 0) break;
    if (got > capacity) Broken("a frame larger than the buffer");
    if (got < 4 || got != buffer[2] + 4) Broken("a frame that is not whole");
  }
  return 0;
}
