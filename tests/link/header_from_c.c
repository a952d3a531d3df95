/* ostrel.h must compile as C and its functions must link from C. */
#include "ostrel.h"

int ostrel_close_from_c(void);
int ostrel_close_from_c(void) {
  unsigned char uid[10];
  unsigned char atq[2];
  unsigned char length = 0;
  unsigned char sak = 0;
  (void)uid;
  (void)atq;
  (void)length;
  (void)sak;
  return ReaderClose();
}
