#include "link/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace ostrel::link::trace {
namespace detail {
std::FILE* sink = nullptr;
}  // namespace detail

namespace {

// Requests whose data bytes 2..7 carry a CRYPTO1 key in plain text.
constexpr std::uint8_t kPiccAuthKey = 0x73;
constexpr std::uint8_t kReaderLoadKey = 0x4C;
constexpr int kKeyFirst = 3 + 2;  // frame offset of data byte 2
constexpr int kKeyEnd = 3 + 8;    // one past data byte 7

struct Secret {
  const std::uint8_t* bytes;
  std::size_t length;
};
// A key write names at most two keys; nested guards add a few more.
constexpr std::size_t kMaxSecrets = 16;
Secret g_secrets[kMaxSecrets];
std::size_t g_secretCount = 0;
// Secrets that did not fit the table: while any is live, whole frames are masked.
std::size_t g_overflow = 0;
std::size_t g_secretAnswers = 0;
// The sink came from ConfigureStream: the caller closes it.
bool g_borrowed = false;

// Marks in `masked` every frame byte that belongs to a run of secret bytes.
bool MarkSecrets(const std::uint8_t* frame, int count, bool* masked) {
  bool any = false;
  for (std::size_t s = 0; s < g_secretCount; ++s) {
    const Secret& secret = g_secrets[s];
    const auto n = static_cast<int>(secret.length);
    for (int i = 0; i + n <= count; ++i) {
      if (std::memcmp(frame + i, secret.bytes, secret.length) != 0) continue;
      for (int j = i; j < i + n; ++j) masked[j] = true;
      any = true;
    }
  }
  return any;
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string Now() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis.count()));
  return text;
}

void Line(char direction, const std::uint8_t* frame, int count, const bool* masked,
          const char* suffix) {
  std::string line = Now();
  line += ' ';
  line += direction;
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    line += ' ';
    if (masked != nullptr && masked[i]) {
      line += "**";
    } else {
      line += kHex[frame[i] >> 4];
      line += kHex[frame[i] & 0x0F];
    }
  }
  line += suffix;
  line += '\n';
  std::fputs(line.c_str(), detail::sink);
  // Flushed per line: a trace is most wanted when the process dies.
  std::fflush(detail::sink);
}

}  // namespace

void ConfigureFromEnvironment() {
  Configure(std::getenv("OSTREL_TRACE"));
}

namespace {

void CloseSink() {
  if (detail::sink != nullptr && !g_borrowed) std::fclose(detail::sink);
  detail::sink = nullptr;
  g_borrowed = false;
}

// Opens `path` for appending as Configure describes; nullptr with errno set.
std::FILE* OpenTraceFile(const char* path) {
  // Non-blocking, so that a FIFO without a reader cannot hold the open.
  const int fd =
      ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  struct stat st {};
  int refused = 0;
  if (::fstat(fd, &st) != 0) {
    refused = errno;
  } else if (!S_ISREG(st.st_mode)) {
    refused = EINVAL;
  } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    refused = EACCES;  // only root gets this far; it must not override the mode
  }
  std::FILE* file = refused == 0 ? ::fdopen(fd, "a") : nullptr;
  if (file == nullptr) {
    if (refused == 0) refused = errno;
    ::close(fd);
    errno = refused;
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}

}  // namespace

bool Configure(const char* path) {
  CloseSink();
  if (path == nullptr || *path == '\0') return true;
  detail::sink = OpenTraceFile(path);
  if (detail::sink == nullptr) {
    const char* why = errno == EINVAL ? "not a regular file" : std::strerror(errno);
    std::fprintf(stderr, "ostrel: cannot open the frame trace %s: %s; tracing is off\n", path, why);
    return false;
  }
  return true;
}

void ConfigureStream(std::FILE* stream) {
  CloseSink();
  detail::sink = stream;
  g_borrowed = stream != nullptr;
}

namespace detail {

void Written(const std::uint8_t* frame, int length, int result) {
  if (length < 0) length = 0;
  bool masked[256] = {};
  if (length > static_cast<int>(sizeof masked)) length = sizeof masked;
  bool any = MarkSecrets(frame, length, masked);
  if (g_overflow > 0) {
    // A secret the table could not hold might be anywhere in the frame.
    for (int i = 0; i < length; ++i) masked[i] = true;
    any = true;
  }
  if (length > 1 && (frame[1] == kPiccAuthKey || frame[1] == kReaderLoadKey)) {
    for (int i = kKeyFirst; i < kKeyEnd && i < length; ++i) masked[i] = true;
    any = true;
  }
  // The check byte goes too: it is the XOR of the key bytes with known ones.
  if (any && length > 0) masked[length - 1] = true;
  char suffix[48] = "";
  if ((result & 0xFFFF) != 0) std::snprintf(suffix, sizeof suffix, "  (write failed: %d)", result);
  Line('>', frame, length, masked, suffix);
}

void Received(const std::uint8_t* frame, int got, int capacity) {
  if (got < 0) {
    Line('<', frame, 0, nullptr, " (no frame)");
    return;
  }
  const int count = got < capacity ? got : capacity;
  if (g_secretAnswers == 0 || count <= 3) {
    Line('<', frame, count, nullptr, "");
    return;
  }
  // Control, status and length stay readable; the data and the check byte go.
  bool masked[256] = {};
  const int shown = count < static_cast<int>(sizeof masked) ? count : sizeof masked;
  for (int i = 3; i < shown; ++i) masked[i] = true;
  Line('<', frame, shown, masked, "");
}

}  // namespace detail

SecretBytes::~SecretBytes() {
  g_secretCount -= added_;
  g_overflow -= overflowed_;
}

void SecretBytes::Add(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0) return;
  if (g_secretCount == kMaxSecrets) {
    ++g_overflow;
    ++overflowed_;
    return;
  }
  g_secrets[g_secretCount++] = Secret{bytes, length};
  ++added_;
}

SecretAnswers::SecretAnswers() {
  ++g_secretAnswers;
}

SecretAnswers::~SecretAnswers() {
  --g_secretAnswers;
}

void SecretBytes::AddIfKeyAddress(std::uint16_t address, const std::uint8_t data[16]) {
  const bool sectorKey = address >= 0x4000 && address <= 0x404F;
  const bool cardKey = address >= 0x9000 && address <= 0x9003;
  const bool virtualCardKey = address >= 0xA000 && address <= 0xA081;
  if (sectorKey || cardKey || virtualCardKey) Add(data, 16);
}

void SecretBytes::AddIfSectorTrailer(std::uint32_t block, const std::uint8_t data[16]) {
  const bool trailer = block < 128 ? block % 4 == 3 : block < 256 && block % 16 == 15;
  if (!trailer) return;
  Add(data, 6);
  Add(data + 10, 6);
}

}  // namespace ostrel::link::trace
