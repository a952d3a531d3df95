// The in-process simulator's air clock, found in the driver the library has
// loaded (benchmarks only: the clock is not part of the driver's interface).
#pragma once

#include <dlfcn.h>

#include "air_clock.h"

namespace benchclock {

using ReadFn = void (*)(PelkinAirTotals*);
using ResetFn = void (*)();

struct Clock {
  ReadFn read = nullptr;
  ResetFn reset = nullptr;
};

inline Clock FindClock() {
  Clock clock;
  void* driver = ::dlopen(HOLLINK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  if (driver == nullptr) return clock;
  clock.read = reinterpret_cast<ReadFn>(::dlsym(driver, "PelkinAirClockRead"));
  clock.reset = reinterpret_cast<ResetFn>(::dlsym(driver, "PelkinAirClockReset"));
  return clock;
}

}  // namespace benchclock
