#include "link/trace.h"

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

void Line(char direction, const std::uint8_t* frame, int count, bool maskKey, const char* suffix) {
  std::string line = Now();
  line += ' ';
  line += direction;
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    line += ' ';
    // The check byte goes too: it is the XOR of the key bytes with known ones.
    if (maskKey && i >= kKeyFirst && (i < kKeyEnd || i == count - 1)) {
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

bool Configure(const char* path) {
  if (detail::sink != nullptr) std::fclose(detail::sink);
  detail::sink = nullptr;
  if (path == nullptr || *path == '\0') return true;
  detail::sink = std::fopen(path, "a");
  if (detail::sink == nullptr) {
    std::fprintf(stderr, "ostrel: cannot open the frame trace %s: %s; tracing is off\n", path,
                 std::strerror(errno));
    return false;
  }
  return true;
}

namespace detail {

void Written(const std::uint8_t* frame, int length, int result) {
  if (length < 0) length = 0;
  const bool key = length > 1 && (frame[1] == kPiccAuthKey || frame[1] == kReaderLoadKey);
  char suffix[48] = "";
  if ((result & 0xFFFF) != 0) std::snprintf(suffix, sizeof suffix, "  (write failed: %d)", result);
  Line('>', frame, length, key, suffix);
}

void Received(const std::uint8_t* frame, int got, int capacity) {
  if (got < 0) {
    Line('<', frame, 0, false, " (no frame)");
    return;
  }
  Line('<', frame, got < capacity ? got : capacity, false, "");
}

}  // namespace detail
}  // namespace ostrel::link::trace
