/*
 * Built against an installed libostrel (pkg-config or find_package): connects
 * to the default reader through the installed driver and activates the card.
 * Exits 0 with the card's ATQ, SAK and UID on stdout when that works.
 */
#include <stdio.h>

#include "ostrel.h"

int main(void) {
  unsigned char atq[2] = {0}, uid[10] = {0}, uidLength = 0, sak = 0, status;
  int i;
  if (ReaderCommInit() != 0) {
    fprintf(stderr, "activate: ReaderCommInit failed\n");
    return 1;
  }
  status = PiccActivate(0x52, atq, uid, &uidLength, &sak);
  if (status != OSTREL_OK || uidLength == 0 || uidLength > 10) {
    fprintf(stderr, "activate: PiccActivate status 0x%02X, UID length %u\n", status, uidLength);
    return 1;
  }
  printf("ATQ %02X %02X SAK %02X UID", atq[0], atq[1], sak);
  for (i = 0; i < uidLength; ++i) printf(" %02X", uid[i]);
  printf("\n");
  ReaderCommExit();
  return 0;
}
