// Binding to the Hollink transport driver: its four operations, bound by ordinal.
#pragma once

#include "hollink.h"

namespace ostrel::link {

struct Driver {
  HollinkReadFn read = nullptr;
  HollinkWriteFn write = nullptr;
  HollinkOpenFn open = nullptr;
  HollinkResetFn reset = nullptr;
};

// The driver that commands go to, or nullptr before a successful ReaderCommInit.
const Driver* ActiveDriver();

// Test seam: use `driver` directly instead of loading a library, as if
// ReaderCommInit had bound it and its open had succeeded. nullptr unbinds.
void InstallDriver(const Driver* driver);

}  // namespace ostrel::link
