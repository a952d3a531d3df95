/*
 * hollink.h - the driver interface between libostrel and a reader transport.
 *
 * A driver library publishes its four operations in a table keyed by ordinal
 * number, reached through the one exported symbol HollinkOrdinals. libostrel
 * binds the operations by ordinal, never by name.
 */
#ifndef HOLLINK_H
#define HOLLINK_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
  HOLLINK_ORDINAL_READ = 2,  /* int read(unsigned char *buffer, int capacity, int timeoutMs) */
  HOLLINK_ORDINAL_WRITE = 4, /* int write(const unsigned char *buffer, int length, int timeoutMs) */
  HOLLINK_ORDINAL_OPEN = 5,  /* int open(void) */
  HOLLINK_ORDINAL_RESET = 6  /* int reset(void) */
};

/* Receives one whole response frame of at most `capacity` bytes; returns its
 * length, or -1 on time-out, short read or a frame larger than `capacity`. */
typedef int (*HollinkReadFn)(unsigned char* buffer, int capacity, int timeoutMs);
/* Sends one whole frame; returns 0 on success. */
typedef int (*HollinkWriteFn)(const unsigned char* buffer, int length, int timeoutMs);
/* Opens the reader named by HOLLINK_READER; returns 0 when it is ready for frames. */
typedef int (*HollinkOpenFn)(void);
/* Resets the link (reconnects a stream); returns 0 on success. */
typedef int (*HollinkResetFn)(void);

typedef void (*HollinkProc)(void);

typedef struct HollinkOrdinal {
  int ordinal;      /* 0 ends the table */
  HollinkProc proc; /* cast to the function type of the ordinal */
} HollinkOrdinal;

/* The table of entry points, ended by an entry with ordinal 0. */
const HollinkOrdinal* HollinkOrdinals(void);

#define HOLLINK_ORDINALS_SYMBOL "HollinkOrdinals"

#ifdef __cplusplus
}
#endif

#endif /* HOLLINK_H */
