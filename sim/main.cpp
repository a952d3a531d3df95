// pelkin-sim: the simulated reader and card as a server. Frames arrive over
// TCP (one client at a time) or over a pseudo-terminal that stands in for the
// reader's serial port, and go back to back with nothing added. With --vpcd the
// card alone sits in vsmartcard's virtual PC/SC reader instead.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arguments.h"
#include "reader.h"
#include "simulator.h"
#include "virtual_pcsc_card.h"
#include "vpcd_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request that stalls this long in the middle is dropped, as a reader's
// firmware drops a broken frame, so the next one is read from its first byte.
constexpr int kInterByteTimeoutMs = 500;
constexpr int kSendTimeoutMs = 2000;
// How long the card keeps trying to reach vpcd (pcscd may still be starting).
constexpr int kVpcdConnectMs = 10000;

volatile sig_atomic_t g_stop = 0;
extern "C" void OnStopSignal(int) {
  g_stop = 1;
}

// Waits for `events` on `fd` for at most `timeoutMs` (-1: no limit) with the
// stop signals let through. 1 ready, 0 time-out, -1 stop requested or error.
int Wait(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  sigset_t open_mask;
  sigemptyset(&open_mask);
  timespec ts{};
  timespec* limit = nullptr;
  if (timeoutMs >= 0) {
    ts.tv_sec = timeoutMs / 1000;
    ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    limit = &ts;
  }
  for (;;) {
    if (g_stop) return -1;
    int rc = ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, limit, &open_mask);
    if (g_stop) return -1;
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Sends all of `bytes`; false when the peer is gone or stalls.
bool SendAll(int fd, const std::vector<std::uint8_t>& bytes, bool socket) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = socket ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                       : ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (Wait(fd, POLLOUT, kSendTimeoutMs) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

enum class Served { kPeerGone, kStop };

// Waits for the client to speak or another client to knock. 1 the client,
// 2 only the other, -1 stop requested or error.
int WaitClientOrListener(int fd, int listener) {
  pollfd p[2] = {{fd, POLLIN, 0}, {listener, POLLIN, 0}};
  sigset_t open_mask;
  sigemptyset(&open_mask);
  for (;;) {
    if (g_stop) return -1;
    int rc = ::ppoll(p, 2, nullptr, &open_mask);
    if (g_stop) return -1;
    if (rc > 0) return p[0].revents != 0 ? 1 : 2;
    if (rc < 0 && errno != EINTR) return -1;
  }
}

// Answers the frames that arrive on `fd` until the peer goes or a stop signal
// comes. With a `listener`, a client idle for `idleMs` (more than 0) gives way
// as soon as another one waits: one client at a time must not mean one forever.
Served Serve(int fd, bool socket, pelkin::Simulator* reader, int listener = -1, int idleMs = 0) {
  std::vector<std::uint8_t> pending;
  auto lastHeard = Clock::now();
  for (;;) {
    int ready = 0;
    if (pending.empty() && listener >= 0 && idleMs > 0) {
      const auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastHeard);
      if (idle.count() >= idleMs) {
        ready = WaitClientOrListener(fd, listener);
        if (ready == 2) {
          std::fprintf(stderr, "pelkin-sim: dropped a client idle for %lld ms: another waits\n",
                       static_cast<long long>(idle.count()));
          return Served::kPeerGone;
        }
      } else {
        ready = Wait(fd, POLLIN, idleMs - static_cast<int>(idle.count()));
        if (ready == 0) continue;  // idle long enough now: look for a waiting client
      }
    } else {
      ready = Wait(fd, POLLIN, pending.empty() ? -1 : kInterByteTimeoutMs);
    }
    if (ready < 0) return g_stop ? Served::kStop : Served::kPeerGone;
    if (ready == 0) {  // a frame stalled half-way: drop it
      pending.clear();
      continue;
    }
    std::uint8_t chunk[512];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return Served::kPeerGone;
    lastHeard = Clock::now();
    pending.insert(pending.end(), chunk, chunk + n);

    // Frames go back to back: answer each whole one, keep a partial tail.
    while (pending.size() >= 3 && pending.size() >= 4u + pending[2]) {
      const std::size_t length = 4u + pending[2];
      pelkin::Reply reply = reader->Handle(pending.data(), length);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
      if (reply.delayMs > 0 && Wait(-1, 0, reply.delayMs) < 0) return Served::kStop;
      if (!reply.frame.empty() && !SendAll(fd, reply.frame, socket)) return Served::kPeerGone;
      lastHeard = Clock::now();
    }
  }
}

std::unique_ptr<pelkin::Simulator> MakeReader(const pelkin::SimOptions& options) {
  std::string error;
  auto reader = pelkin::Simulator::Create(options, &error);
  if (!reader) std::fprintf(stderr, "pelkin-sim: %s\n", error.c_str());
  return reader;
}

void Announce(const std::string& address) {
  std::printf("listening %s\n", address.c_str());
  std::fflush(stdout);
}

// The pseudo-terminal stands in for the reader's USB serial port.
int RunPty(std::unique_ptr<pelkin::Simulator>& reader) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::fprintf(stderr, "pelkin-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const char* name = ::ptsname(master);
  std::string path = name != nullptr ? name : "";
  // Holding the other end open ourselves keeps the terminal alive between
  // clients (no hang-up when one closes it) and lets us make it raw for good.
  int slave = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave < 0 || ::tcgetattr(slave, &tio) != 0) {
    std::fprintf(stderr, "pelkin-sim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  Announce("serial:" + path);
  while (Serve(master, false, reader.get()) != Served::kStop) {
    // Not expected while we hold the other end; do not spin if it happens.
    if (Wait(-1, 0, 100) < 0) break;
  }
  ::close(slave);
  ::close(master);
  return 0;
}

bool SplitHostPort(const std::string& address, std::string* host, std::string* port) {
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon + 1 >= address.size()) return false;
  *host = address.substr(0, colon);
  *port = address.substr(colon + 1);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  if (host->empty()) *host = "127.0.0.1";
  return port->find_first_not_of("0123456789") == std::string::npos;
}

int Listen(const std::string& address, std::string* bound) {
  std::string host, port;
  if (!SplitHostPort(address, &host, &port)) {
    std::fprintf(stderr, "pelkin-sim: --listen expects HOST:PORT, got %s\n", address.c_str());
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    std::fprintf(stderr, "pelkin-sim: %s: %s\n", address.c_str(), ::gai_strerror(rc));
    return -1;
  }
  int fd = -1;
  int error = 0;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
      error = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    std::fprintf(stderr, "pelkin-sim: cannot listen on %s: %s\n", address.c_str(),
                 std::strerror(error));
    return -1;
  }
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  char numeric_host[NI_MAXHOST] = "";
  char numeric_port[NI_MAXSERV] = "";
  ::getnameinfo(reinterpret_cast<sockaddr*>(&local), size, numeric_host, sizeof numeric_host,
                numeric_port, sizeof numeric_port, NI_NUMERICHOST | NI_NUMERICSERV);
  std::string h = numeric_host;
  if (h.find(':') != std::string::npos) h = "[" + h + "]";
  *bound = "tcp:" + h + ":" + numeric_port;
  return fd;
}

int RunTcp(const pelkin::ServerConfig& config, std::unique_ptr<pelkin::Simulator>& reader) {
  std::string bound;
  int listener = Listen(config.listen, &bound);
  if (listener < 0) return 1;
  Announce(bound);
  // One client at a time: the next waits in the listen queue until this one leaves.
  while (Wait(listener, POLLIN, -1) == 1) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) continue;
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (config.newCardPerClient) {
      // The old card lets go of its state file before the new one takes it.
      reader.reset();
      reader = MakeReader(config.sim);
      if (!reader) {
        ::close(client);
        ::close(listener);
        return 1;
      }
    }
    Served how = Serve(client, true, reader.get(), listener, config.idleMs);
    ::close(client);
    if (how == Served::kStop) break;
  }
  ::close(listener);
  return 0;
}

// ---- vpcd: the card in vsmartcard's virtual PC/SC reader ---------------------------

// Keeps delayed acknowledgements off: vpcd waits for each answer before the next
// message, so a delayed ACK would cost tens of milliseconds per APDU. Linux clears
// QUICKACK again on its own, hence after every receive.
void NoDelays(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Reads exactly `size` bytes; false when the peer goes, stalls half-way or a stop comes.
bool ReceiveAll(int fd, std::uint8_t* out, std::size_t size, bool first) {
  std::size_t done = 0;
  while (done < size) {
    if (Wait(fd, POLLIN, done == 0 && first ? -1 : kInterByteTimeoutMs) != 1) return false;
    ssize_t n = ::recv(fd, out + done, size - done, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    NoDelays(fd);
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool SendMessage(int fd, const std::vector<std::uint8_t>& payload) {
  return SendAll(fd, pelkin::VpcdMessage(payload), true);
}

// Connects to vpcd, retrying until the deadline; -1 when it never answered.
int ConnectVpcd(const std::string& host, const std::string& port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  for (;;) {
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) {
      for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
          ::freeaddrinfo(found);
          ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
          NoDelays(fd);
          return fd;
        }
        ::close(fd);
      }
      ::freeaddrinfo(found);
    }
    if (Clock::now() >= deadline || Wait(-1, 0, 50) < 0) return -1;
  }
}

// Answers vpcd's messages: control codes, and APDUs with exactly one answer each.
Served ServeVpcd(int fd, pelkin::Reader* reader, pelkin::VirtualPcscCard* card) {
  for (;;) {
    std::uint8_t header[2];
    if (!ReceiveAll(fd, header, 2, true)) return g_stop ? Served::kStop : Served::kPeerGone;
    std::vector<std::uint8_t> message(static_cast<std::size_t>((header[0] << 8) | header[1]));
    if (!ReceiveAll(fd, message.data(), message.size(), false)) {
      return g_stop ? Served::kStop : Served::kPeerGone;
    }
    auto answer = pelkin::AnswerVpcd(card, message);
    // A change that cannot be saved fails its command: execution error.
    if (!reader->PersistChanges() && answer) answer = std::vector<std::uint8_t>{0x64, 0x00};
    const bool sent = !answer || SendMessage(fd, *answer);
    if (!sent) return Served::kPeerGone;
  }
}

int RunVpcd(const pelkin::ServerConfig& config) {
  std::string host, port;
  if (!SplitHostPort(config.vpcd, &host, &port)) {
    std::fprintf(stderr, "pelkin-sim: --vpcd expects HOST:PORT, got %s\n", config.vpcd.c_str());
    return 2;
  }
  std::string error;
  auto reader = pelkin::CreateReader(config.sim, &error);
  if (!reader) {
    std::fprintf(stderr, "pelkin-sim: %s\n", error.c_str());
    return 1;
  }
  pelkin::VirtualPcscCard card(&reader->card(), config.pcscReader);
  int rc = 0;
  bool announced = false;
  while (!g_stop) {
    int fd = ConnectVpcd(host, port, Clock::now() + std::chrono::milliseconds(kVpcdConnectMs));
    if (fd < 0) {
      if (!g_stop) {
        std::fprintf(stderr, "pelkin-sim: no vpcd answers at %s:%s\n", host.c_str(), port.c_str());
        rc = 1;
      }
      break;
    }
    if (!announced) {
      std::printf("connected vpcd:%s:%s\n", host.c_str(), port.c_str());
      std::fflush(stdout);
    }
    announced = true;
    // A new connection is a card put into the reader: it starts unpowered.
    card.PowerOff();
    const Served how = ServeVpcd(fd, reader.get(), &card);
    ::close(fd);
    if (how == Served::kStop) break;
  }
  if (!reader->Save(&error)) {
    std::fprintf(stderr, "pelkin-sim: cannot save the card: %s\n", error.c_str());
    return 1;
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  pelkin::ServerConfig config;
  if (!pelkin::ParseServerArguments(argc, argv, &config)) return 2;
  if (config.help) {
    std::fputs(pelkin::kServerUsage, stdout);
    return 0;
  }
  if (config.version) {
    std::printf("pelkin-sim %s\n", OSTREL_VERSION);
    return 0;
  }

  // The stop signals are only let through inside ppoll, so none is lost
  // between a check of the flag and the wait that follows it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  struct sigaction on_stop {};
  on_stop.sa_handler = OnStopSignal;
  sigemptyset(&on_stop.sa_mask);
  sigaction(SIGINT, &on_stop, nullptr);
  sigaction(SIGTERM, &on_stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!config.vpcd.empty()) return RunVpcd(config);

  auto reader = MakeReader(config.sim);
  if (!reader) return 1;

  int rc = config.pty ? RunPty(reader) : RunTcp(config, reader);
  if (rc != 0) return rc;

  std::string error;
  if (!reader->Save(&error)) {
    std::fprintf(stderr, "pelkin-sim: cannot save the card: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
