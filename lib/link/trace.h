// Frame trace: with OSTREL_TRACE=FILE every frame written to and read from the
// driver is appended to FILE (time, direction, hex). Key bytes are masked.
#pragma once

#include <cstdint>
#include <cstdio>

namespace ostrel::link::trace {

// Follows OSTREL_TRACE (unset or empty: off). ReaderCommInit calls this, so the
// variable is read once per connection rather than per frame.
void ConfigureFromEnvironment();
// Appends to `path` from now on; nullptr or "" stops tracing. A file that cannot
// be opened turns tracing off with a warning on stderr and returns false: the
// link itself works on regardless.
bool Configure(const char* path);

namespace detail {
extern std::FILE* sink;
void Written(const std::uint8_t* frame, int length, int result);
void Received(const std::uint8_t* frame, int got, int capacity);
}  // namespace detail

// A frame handed to the driver's write, and the write's result.
inline void Written(const std::uint8_t* frame, int length, int result) {
  if (detail::sink != nullptr) detail::Written(frame, length, result);
}
// What the driver's read delivered into a buffer of `capacity` bytes (`got` is
// its result: the frame's length, or -1 when no frame came).
inline void Received(const std::uint8_t* frame, int got, int capacity) {
  if (detail::sink != nullptr) detail::Received(frame, got, capacity);
}

}  // namespace ostrel::link::trace
