// Helpers for transport tests: a loopback TCP peer, a pseudo-terminal peer and
// the driver's entry points taken from its ordinal table.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "hollink.h"

namespace transport_test {

using Bytes = std::vector<std::uint8_t>;

// A frame with a correct check byte (either direction).
Bytes Frame(std::uint8_t control, std::uint8_t code, const Bytes& data = {});
// True for a whole frame whose check byte is right.
bool ValidFrame(const Bytes& frame);

// The four operations of the libhollink.so the test links, bound by ordinal.
struct Hollink {
  HollinkReadFn read = nullptr;
  HollinkWriteFn write = nullptr;
  HollinkOpenFn open = nullptr;
  HollinkResetFn reset = nullptr;
  static Hollink Bind();
  // Sets HOLLINK_READER and opens it; returns the open's result.
  int Open(const std::string& reader) const;
};

// One end of a byte stream that the test drives by hand. Every wait is bounded.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer();
  Peer(Peer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Peer& operator=(Peer&& other) noexcept;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Send(const Bytes& bytes) const;
  // Exactly `count` bytes, or fewer when the time-out passes or the stream ends.
  Bytes Receive(std::size_t count, int timeoutMs = 2000) const;
  // One whole frame (header, data, check byte), or what arrived of it in time.
  Bytes ReceiveFrame(int timeoutMs = 2000) const;
  // True when the other end closed the stream within the time-out.
  bool SeesEnd(int timeoutMs = 2000) const;
  void Close();

 private:
  int fd_ = -1;
};

// A TCP listener on 127.0.0.1 with a port picked by the system.
class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int port() const { return port_; }
  std::string address() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
  // The next connection, or an invalid peer after the time-out.
  Peer Accept(int timeoutMs = 2000) const;
  void Close();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A client connection to "tcp:HOST:PORT" (IPv4 loopback only), or an invalid peer.
Peer Connect(const std::string& address);

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int UnusedPort();

// A pseudo-terminal: the test holds the master, the backend opens `path`.
class PtyPeer {
 public:
  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;
  const std::string& path() const { return path_; }
  const Peer& master() const { return master_; }

 private:
  Peer master_;
  int slave_ = -1;  // held so the terminal stays up between opens
  std::string path_;
};

inline long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace transport_test
