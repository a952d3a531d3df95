// Frame trace: with OSTREL_TRACE=FILE every frame written to and read from the
// driver is appended to FILE (time, direction, hex). Key bytes are masked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ostrel::link::trace {

// Follows OSTREL_TRACE (unset or empty: off). ReaderCommInit calls this, so the
// variable is read once per connection rather than per frame.
void ConfigureFromEnvironment();
// Appends to `path` from now on; nullptr or "" stops tracing. A file that cannot
// be opened turns tracing off with a warning on stderr and returns false: the
// link itself works on regardless. The trace may show key material of the
// host's own making, so a new file is made 0600; an existing one keeps its
// mode, a symbolic link is followed to its target, and anything that is not
// a regular file, or a file without write permission, is refused.
bool Configure(const char* path);
// Appends to an open stream instead (the caller keeps it); nullptr stops tracing.
void ConfigureStream(std::FILE* stream);

// Key bytes the library is about to send. While a guard lives, every run of
// its bytes in a frame written to the driver shows as "**" in the trace, and
// so does that frame's check byte (the XOR would give the key away). The
// guard keeps pointers only: the bytes must outlive it. Guards nest.
class SecretBytes {
 public:
  SecretBytes() = default;
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  void Add(const std::uint8_t* bytes, std::size_t length);
  // The 16 bytes of a MIFARE Plus key write when `address` is a key: a sector
  // key (0x4000-0x404F), a card key (0x9000-0x9003) or a virtual card key
  // (0xA000-0xA081).
  void AddIfKeyAddress(std::uint16_t address, const std::uint8_t data[16]);
  // Key A (bytes 0-5) and key B (bytes 10-15) when `block` is a sector
  // trailer of a MIFARE Classic layout (block 3 of the 4-block sectors,
  // block 15 of the 16-block sectors from block 128 on).
  void AddIfSectorTrailer(std::uint32_t block, const std::uint8_t data[16]);

 private:
  std::size_t added_ = 0;
  std::size_t overflowed_ = 0;  // secrets that found the table full
};

// While one lives, the data bytes of every frame read from the driver show as
// "**" (answers that carry secrets, such as the reader's EEPROM).
class SecretAnswers {
 public:
  SecretAnswers();
  ~SecretAnswers();
  SecretAnswers(const SecretAnswers&) = delete;
  SecretAnswers& operator=(const SecretAnswers&) = delete;
};

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
