// The simulated reader's time model: what one reader frame would cost with a real
// reader, so benchmarks can compare ways of doing the same card work.
//
//  - Host link: one USB full-speed round trip per reader frame, 1 ms (a request in
//    one 1 ms USB frame, its answer polled in the next), whatever the frame's size.
//  - Air: ISO/IEC 14443 Type A at 106 kbit/s, one bit = 128/fc = 9.44 us. A standard
//    frame carries a start bit and 9 bits per byte (8 data bits and parity); a short
//    frame (REQA/WUPA) 8 bits; a 4-bit ACK/NAK 5 bits. Every air frame also costs the
//    frame delay time before the other side answers, about 1236/fc = 91.2 us.
//  - CRC_A (2 bytes) on every frame but REQA/WUPA, anticollision, ATQA and ACK/NAK.
//  - CRYPTO1 authentication: 4 frames (command, card nonce, reader nonce and answer,
//    card answer). A T=CL card command or answer travels in I-blocks of at most
//    60 bytes (FSC and FSD 64: PCB, CID, 2 CRC bytes), and every chained block is
//    acknowledged by a 4-byte R(ACK).
//  - The card's processing time is not modelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "simulator.h"

extern "C" {
// Totals since the last reset, for benchmarks that reach the in-process simulator
// through the driver (look the functions up in libhollink.so by name).
struct PelkinAirTotals {
  unsigned long long readerFrames;  // reader exchanges (request and response frames)
  unsigned long long airBytes;      // bytes on the air in both directions, CRC included
  double airMicros;                 // modelled air time
  double linkMicros;                // modelled host link time
};
__attribute__((visibility("default"))) void PelkinAirClockRead(PelkinAirTotals* totals);
__attribute__((visibility("default"))) void PelkinAirClockReset(void);
}

namespace pelkin {

class AirClock {
 public:
  static constexpr double kBitMicros = 128.0 / 13.56;
  static constexpr double kFrameDelayMicros = 1236.0 / 13.56;
  static constexpr double kUsbRoundTripMicros = 1000.0;

  // One request frame and the response frame the reader sent (empty: none came).
  void Count(const std::uint8_t* request, std::size_t length,
             const std::vector<std::uint8_t>& response);
  const PelkinAirTotals& totals() const { return totals_; }
  void Reset();

 private:
  void Air(double bits, std::size_t bytes);           // one air frame
  void Standard(std::size_t bytes, bool crc = true);  // bytes (+ CRC) on the air
  void TclBlocks(std::size_t payload);                // I-blocks with chaining

  PelkinAirTotals totals_{};
  std::size_t tclCommand_ = 0;  // bytes of the T=CL command collected so far
  std::size_t tclAnswer_ = 0;   // bytes of the card's answer passed on so far
};

// The process's clock, fed by every simulated reader made by Simulator::Create.
AirClock& ProcessAirClock();
std::unique_ptr<Simulator> WithAirClock(std::unique_ptr<Simulator> inner);

}  // namespace pelkin
