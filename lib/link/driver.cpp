#include "link/driver.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/trace.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace ostrel::link {
namespace {

struct Binding {
  void* handle = nullptr;  // the loaded driver library, kept for the life of the process
  Driver driver;
  bool bound = false;  // all four ordinals are known
  bool ready = false;  // the driver's open (or reset) reported success
};

Binding& State() {
  static Binding binding;
  return binding;
}

std::string DefaultDriverPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ReaderCommInit), &info) != 0 && info.dli_fname != nullptr) {
    std::string self = info.dli_fname;
    std::size_t slash = self.rfind('/');
    if (slash != std::string::npos) return self.substr(0, slash + 1) + "libhollink.so";
  }
  return "libhollink.so";
}

const char* OrdinalName(int ordinal) {
  switch (ordinal) {
    case HOLLINK_ORDINAL_READ:
      return "read";
    case HOLLINK_ORDINAL_WRITE:
      return "write";
    case HOLLINK_ORDINAL_OPEN:
      return "open";
    default:
      return "reset";
  }
}

// Loads the driver library and binds its four ordinals; false with a message on stderr.
bool Bind(Binding& b) {
  const char* env = std::getenv("OSTREL_HOLLINK");
  std::string path = (env != nullptr && *env != '\0') ? env : DefaultDriverPath();

  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    std::fprintf(stderr, "ostrel: cannot load the reader driver %s: %s\n", path.c_str(),
                 why != nullptr ? why : "unknown error");
    return false;
  }
  // dlopen of the library already held only raises its reference count: the
  // extra reference is dropped below, whatever the outcome.
  const bool same = handle == b.handle;

  auto table_fn =
      reinterpret_cast<const HollinkOrdinal* (*)()>(dlsym(handle, HOLLINK_ORDINALS_SYMBOL));
  const HollinkOrdinal* table = table_fn != nullptr ? table_fn() : nullptr;
  if (table == nullptr) {
    std::fprintf(stderr, "ostrel: the reader driver %s has no ordinal table %s\n", path.c_str(),
                 HOLLINK_ORDINALS_SYMBOL);
    dlclose(handle);
    return false;
  }

  HollinkProc procs[7] = {};
  for (const HollinkOrdinal* e = table; e->ordinal != 0; ++e) {
    if (e->ordinal > 0 && e->ordinal < 7) procs[e->ordinal] = e->proc;
  }
  for (int ordinal :
       {HOLLINK_ORDINAL_READ, HOLLINK_ORDINAL_WRITE, HOLLINK_ORDINAL_OPEN, HOLLINK_ORDINAL_RESET}) {
    if (procs[ordinal] == nullptr) {
      std::fprintf(stderr, "ostrel: the reader driver %s lacks ordinal %d (%s)\n", path.c_str(),
                   ordinal, OrdinalName(ordinal));
      dlclose(handle);
      return false;
    }
  }

  if (same) {
    dlclose(handle);
  } else {
    if (b.handle != nullptr) dlclose(b.handle);
    b.handle = handle;
  }
  b.driver.read = reinterpret_cast<HollinkReadFn>(procs[HOLLINK_ORDINAL_READ]);
  b.driver.write = reinterpret_cast<HollinkWriteFn>(procs[HOLLINK_ORDINAL_WRITE]);
  b.driver.open = reinterpret_cast<HollinkOpenFn>(procs[HOLLINK_ORDINAL_OPEN]);
  b.driver.reset = reinterpret_cast<HollinkResetFn>(procs[HOLLINK_ORDINAL_RESET]);
  b.bound = true;
  return true;
}

}  // namespace

const Driver* ActiveDriver() {
  const Binding& b = State();
  return b.bound && b.ready ? &b.driver : nullptr;
}

void InstallDriver(const Driver* driver) {
  Binding& b = State();
  if (driver == nullptr) {
    b.driver = Driver{};
    b.bound = b.ready = false;
    return;
  }
  b.driver = *driver;
  b.bound = b.ready = true;
}

}  // namespace ostrel::link

// A new or reset link may have cost the card its power: no session survives it.
extern "C" int ReaderCommInit(void) {
  auto& b = ostrel::link::State();
  b.ready = false;
  ostrel::mfplus::EndSession();
  ostrel::link::trace::ConfigureFromEnvironment();
  if (!ostrel::link::Bind(b)) {
    b.bound = false;
    return -1;
  }
  int result = b.driver.open();
  b.ready = result == 0;
  return result;
}

extern "C" int ReaderCommReset(void) {
  auto& b = ostrel::link::State();
  ostrel::mfplus::EndSession();
  if (!b.bound) return -1;
  int result = b.driver.reset();
  if (result == 0) b.ready = true;
  return result;
}

// The driver interface has no close operation: the device stays with the driver.
extern "C" void ReaderCommExit(void) {}
