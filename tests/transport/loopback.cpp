#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace transport_test {

Bytes Frame(std::uint8_t control, std::uint8_t code, const Bytes& data) {
  Bytes frame(data.size() + 4);
  frame[0] = control;
  frame[1] = code;
  frame[2] = static_cast<std::uint8_t>(data.size());
  std::uint8_t x = static_cast<std::uint8_t>(control ^ code ^ frame[2]);
  for (std::size_t i = 0; i < data.size(); ++i) {
    frame[3 + i] = data[i];
    x = static_cast<std::uint8_t>(x ^ data[i]);
  }
  frame.back() = static_cast<std::uint8_t>(~x);
  return frame;
}

bool ValidFrame(const Bytes& frame) {
  if (frame.size() < 4 || frame.size() != 4u + frame[2]) return false;
  std::uint8_t x = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) x = static_cast<std::uint8_t>(x ^ frame[i]);
  return frame.back() == static_cast<std::uint8_t>(~x);
}

Hollink Hollink::Bind() {
  Hollink h;
  for (const HollinkOrdinal* e = HollinkOrdinals(); e->ordinal != 0; ++e) {
    switch (e->ordinal) {
      case HOLLINK_ORDINAL_READ:
        h.read = reinterpret_cast<HollinkReadFn>(e->proc);
        break;
      case HOLLINK_ORDINAL_WRITE:
        h.write = reinterpret_cast<HollinkWriteFn>(e->proc);
        break;
      case HOLLINK_ORDINAL_OPEN:
        h.open = reinterpret_cast<HollinkOpenFn>(e->proc);
        break;
      case HOLLINK_ORDINAL_RESET:
        h.reset = reinterpret_cast<HollinkResetFn>(e->proc);
        break;
      default:
        break;
    }
  }
  return h;
}

int Hollink::Open(const std::string& reader) const {
  setenv("HOLLINK_READER", reader.c_str(), 1);
  return open();
}

Peer::~Peer() {
  Close();
}

Peer& Peer::operator=(Peer&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Peer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Peer::Send(const Bytes& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

Bytes Peer::Receive(std::size_t count, int timeoutMs) const {
  Bytes out;
  const auto start = std::chrono::steady_clock::now();
  while (out.size() < count) {
    long left = timeoutMs - MillisecondsSince(start);
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    std::uint8_t buffer[256];
    std::size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
    ssize_t n = ::read(fd_, buffer, want);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

Bytes Peer::ReceiveFrame(int timeoutMs) const {
  const auto start = std::chrono::steady_clock::now();
  Bytes frame = Receive(3, timeoutMs);
  if (frame.size() < 3) return frame;
  int left = timeoutMs - static_cast<int>(MillisecondsSince(start));
  Bytes rest = Receive(frame[2] + 1u, left > 0 ? left : 1);
  frame.insert(frame.end(), rest.begin(), rest.end());
  return frame;
}

bool Peer::SeesEnd(int timeoutMs) const {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    long left = timeoutMs - MillisecondsSince(start);
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    std::uint8_t sink[256];
    ssize_t n = ::read(fd_, sink, sizeof sink);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

Listener::Listener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd_, 4) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  socklen_t size = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
  port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
  Close();
}

void Listener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Peer Listener::Accept(int timeoutMs) const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return Peer();
  return Peer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

Peer Connect(const std::string& address) {
  const std::string prefix = "tcp:127.0.0.1:";
  if (address.rfind(prefix, 0) != 0) return Peer();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(address.substr(prefix.size()))));
  Peer peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!peer.valid() || ::connect(peer.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return Peer();
  }
  return peer;
}

int UnusedPort() {
  Listener l;
  int port = l.port();
  l.Close();
  return port;
}

PtyPeer::PtyPeer() {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  master_ = Peer(master);
  path_ = ::ptsname(master);
  slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Left in the terminal's default cooked mode: making it raw is the backend's job.
  if (slave_ < 0) throw std::runtime_error("cannot open the pseudo-terminal");
}

PtyPeer::~PtyPeer() {
  if (slave_ >= 0) ::close(slave_);
}

}  // namespace transport_test
