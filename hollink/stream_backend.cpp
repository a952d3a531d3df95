// Frames over a byte stream (TCP or a serial device). Frames travel back to
// back with nothing added; a response's length follows from its length byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "backend.h"

namespace hollink {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectTimeoutMs = 3000;
constexpr int kHeaderBytes = 3;               // control, status, length
constexpr std::size_t kDrainLimit = 1 << 16;  // bounds the drain against a flooding peer

Clock::time_point DeadlineAfter(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  // Round up so a poll never wakes a hair before the deadline and spins.
  return left.count() > 0x7FFFFFF ? 0x7FFFFFF : static_cast<int>(left.count()) + 1;
}

// Waits for `events` on `fd` until the deadline. True when ready (or the
// descriptor reports hang-up or error, which the following read/write then sees).
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
  }
}

// A stream backend: one descriptor, whole frames in and out.
class StreamBackend : public Backend {
 public:
  explicit StreamBackend(std::string name) : name_(std::move(name)) {}
  ~StreamBackend() override { Close(); }
  StreamBackend(const StreamBackend&) = delete;
  StreamBackend& operator=(const StreamBackend&) = delete;

  int Open() override { return Reconnect(); }
  int Reset() override { return Reconnect(); }

  int Write(const unsigned char* buffer, int length, int timeoutMs) override {
    // A peer that went away (a restarted server, a replugged device) is
    // reconnected once here, so the caller's retry can succeed without a reset.
    // Whatever is still pending belongs to an earlier attempt (a late answer);
    // left there it would be taken for the answer to this frame.
    Drain();
    if (broken_ && Reconnect() != 0) return 1;
    const auto deadline = DeadlineAfter(timeoutMs);
    std::size_t done = 0;
    const auto total = static_cast<std::size_t>(length);
    while (done < total) {
      ssize_t n = Send(buffer + done, total - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitFor(fd_, POLLOUT, deadline)) return 2;
        continue;
      }
      broken_ = true;
      return 3;
    }
    return 0;
  }

  int Read(unsigned char* buffer, int capacity, int timeoutMs) override {
    if (fd_ < 0 || broken_ || capacity < kHeaderBytes + 1) return -1;
    const auto deadline = DeadlineAfter(timeoutMs);
    if (!ReadExact(buffer, kHeaderBytes, deadline)) return Fail();
    const int total = kHeaderBytes + buffer[2] + 1;
    if (total > capacity) return Fail();
    if (!ReadExact(buffer + kHeaderBytes, static_cast<std::size_t>(total - kHeaderBytes),
                   deadline)) {
      return Fail();
    }
    return total;
  }

 protected:
  // Opens the descriptor (non-blocking); 0 or non-zero with a message on stderr.
  virtual int Connect() = 0;
  virtual ssize_t Send(const unsigned char* bytes, std::size_t count) = 0;

  const std::string& name() const { return name_; }
  void Adopt(int fd) { fd_ = fd; }
  int fd() const { return fd_; }

 private:
  int Reconnect() {
    Close();
    int result = Connect();
    broken_ = result != 0;
    return result;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int Fail() {
    Drain();
    return -1;
  }

  // Reads exactly `count` bytes before the deadline; false on time-out, end of
  // stream or error (the bytes read so far are then lost with the frame).
  bool ReadExact(unsigned char* out, std::size_t count, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < count) {
      ssize_t n = ::read(fd_, out + done, count - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {  // the peer closed the stream
        broken_ = true;
        return false;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        broken_ = true;
        return false;
      }
      if (!WaitFor(fd_, POLLIN, deadline)) return false;
    }
    return true;
  }

  // Discards the bytes that have already arrived, so the next exchange starts clean.
  void Drain() {
    if (fd_ < 0) return;
    unsigned char sink[256];
    std::size_t total = 0;
    while (total < kDrainLimit) {
      ssize_t n = ::read(fd_, sink, sizeof sink);
      if (n > 0) {
        total += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) broken_ = true;
      return;
    }
  }

  std::string name_;
  int fd_ = -1;
  bool broken_ = false;  // end of stream or a hard error: reconnect before the next frame
};

// ---- TCP -------------------------------------------------------------------

// Splits "HOST:PORT" (HOST may be "[v6-address]"); false on a malformed address.
bool SplitHostPort(const std::string& address, std::string* host, std::string* port) {
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size()) return false;
  *host = address.substr(0, colon);
  *port = address.substr(colon + 1);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  if (host->empty()) return false;
  for (char c : *port) {
    if (c < '0' || c > '9') return false;
  }
  return port->size() <= 5 && std::stoi(*port) > 0 && std::stoi(*port) <= 65535;
}

class TcpBackend : public StreamBackend {
 public:
  TcpBackend(std::string host, std::string port)
      : StreamBackend("tcp:" + host + ":" + port), host_(std::move(host)), port_(std::move(port)) {}

 protected:
  int Connect() override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
    if (rc != 0) {
      std::fprintf(stderr, "hollink: %s: cannot resolve the host: %s\n", name().c_str(),
                   ::gai_strerror(rc));
      return 2;
    }
    int last_error = 0;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
      int fd =
          ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) {
        last_error = errno;
        continue;
      }
      last_error = ConnectWithin(fd, a->ai_addr, a->ai_addrlen, kConnectTimeoutMs);
      if (last_error == 0) {
        int one = 1;  // frames are small and every one waits for its answer
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::freeaddrinfo(found);
        Adopt(fd);
        return 0;
      }
      ::close(fd);
    }
    ::freeaddrinfo(found);
    std::fprintf(stderr, "hollink: %s: cannot connect: %s\n", name().c_str(),
                 std::strerror(last_error != 0 ? last_error : ECONNREFUSED));
    return 3;
  }

  ssize_t Send(const unsigned char* bytes, std::size_t count) override {
    // MSG_NOSIGNAL: a peer that has gone must not kill the host with SIGPIPE.
    return ::send(fd(), bytes, count, MSG_NOSIGNAL);
  }

 private:
  // 0 when connected, else the errno value.
  static int ConnectWithin(int fd, const sockaddr* address, socklen_t length, int timeoutMs) {
    if (::connect(fd, address, length) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    if (!WaitFor(fd, POLLOUT, DeadlineAfter(timeoutMs))) return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
  }

  std::string host_;
  std::string port_;
};

// ---- Serial ----------------------------------------------------------------

bool BaudConstant(long baud, speed_t* speed) {
  struct Entry {
    long baud;
    speed_t speed;
  };
  static constexpr Entry kTable[] = {
      {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
      {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
      {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
      {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
  };
  for (const Entry& e : kTable) {
    if (e.baud == baud) {
      *speed = e.speed;
      return true;
    }
  }
  return false;
}

class SerialBackend : public StreamBackend {
 public:
  SerialBackend(std::string device, speed_t speed, std::string label)
      : StreamBackend("serial:" + label), device_(std::move(device)), speed_(speed) {}

 protected:
  int Connect() override {
    int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "hollink: %s: cannot open the device: %s\n", name().c_str(),
                   std::strerror(errno));
      return 2;
    }
    termios tio{};
    if (!::isatty(fd) || ::tcgetattr(fd, &tio) != 0) {
      std::fprintf(stderr, "hollink: %s: not a serial device\n", name().c_str());
      ::close(fd);
      return 3;
    }
    // Raw bytes: no echo, no line editing, no translation of CR/LF or flow control bytes.
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // With VMIN 1 a non-blocking read of an idle line fails with EAGAIN, so that
    // a read of 0 bytes means a hang-up, as it does on a socket.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed_) != 0 || ::cfsetospeed(&tio, speed_) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
      std::fprintf(stderr, "hollink: %s: cannot configure the device: %s\n", name().c_str(),
                   std::strerror(errno));
      ::close(fd);
      return 4;
    }
    ::tcflush(fd, TCIOFLUSH);
    Adopt(fd);
    return 0;
  }

  ssize_t Send(const unsigned char* bytes, std::size_t count) override {
    return ::write(fd(), bytes, count);
  }

 private:
  std::string device_;
  speed_t speed_;
};

}  // namespace

std::unique_ptr<Backend> MakeTcpBackend(const std::string& address, std::string* error) {
  std::string host, port;
  if (!SplitHostPort(address, &host, &port)) {
    *error = "tcp:" + address + ": expected tcp:HOST:PORT with a port from 1 to 65535";
    return nullptr;
  }
  return std::make_unique<TcpBackend>(std::move(host), std::move(port));
}

std::unique_ptr<Backend> MakeSerialBackend(const std::string& address, std::string* error) {
  std::string device = address;
  long baud = 115200;
  std::size_t at = address.rfind('@');
  if (at != std::string::npos) {
    device = address.substr(0, at);
    std::string digits = address.substr(at + 1);
    bool numeric = !digits.empty() && digits.size() <= 8 &&
                   digits.find_first_not_of("0123456789") == std::string::npos;
    baud = numeric ? std::stol(digits) : -1;
  }
  speed_t speed{};
  if (device.empty() || !BaudConstant(baud, &speed)) {
    *error = "serial:" + address + ": expected serial:DEVICE or serial:DEVICE@BAUD " +
             "with a standard baud rate";
    return nullptr;
  }
  return std::make_unique<SerialBackend>(device, speed, address);
}

}  // namespace hollink
