/* A minimal driver library for the binding tests: answers every frame with an
 * empty success frame. Built three ways: complete, without the open ordinal,
 * and without the ordinal table. */
#include <stdlib.h>
#include <string.h>

#include "hollink.h"

static int fake_read(unsigned char* buffer, int capacity, int timeoutMs) {
  (void)timeoutMs;
  if (capacity < 4) return -1;
  buffer[0] = 0x00;
  buffer[1] = 0x00;
  buffer[2] = 0x00;
  buffer[3] = 0xFF;
  return 4;
}

static int fake_write(const unsigned char* buffer, int length, int timeoutMs) {
  (void)buffer;
  (void)length;
  (void)timeoutMs;
  return 0;
}

__attribute__((unused)) static int fake_open(void) {
  const char* result = getenv("FAKE_HOLLINK_OPEN_RESULT");
  return result != NULL ? atoi(result) : 0;
}

static int fake_reset(void) {
  return 42;
}

#ifndef FAKE_HOLLINK_WITHOUT_TABLE
__attribute__((visibility("default"))) const HollinkOrdinal* HollinkOrdinals(void) {
  static const HollinkOrdinal table[] = {
      {HOLLINK_ORDINAL_READ, (HollinkProc)fake_read},
      {HOLLINK_ORDINAL_WRITE, (HollinkProc)fake_write},
#ifndef FAKE_HOLLINK_WITHOUT_OPEN
      {HOLLINK_ORDINAL_OPEN, (HollinkProc)fake_open},
#endif
      {HOLLINK_ORDINAL_RESET, (HollinkProc)fake_reset},
      {0, NULL},
  };
  return table;
}
#else
int fake_hollink_unused(void);
int fake_hollink_unused(void) {
  return fake_open() + fake_reset() + fake_write(NULL, 0, 0) + fake_read(NULL, 0, 0);
}
#endif
