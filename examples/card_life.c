/*
 * card_life: a whole MIFARE Plus card life through libostrel, step by step.
 *
 * On the default reader (the simulated one, a fresh card in memory) it
 * personalizes the card, commits it to Level 1, switches it to Level 3,
 * authenticates, writes and reads back a block and runs value operations.
 * A card that is already personalized (HOLLINK_READER=sim:state=... keeps one)
 * skips the steps it has passed. Personalization goes over T=CL, which every
 * reader with ISO 14443-4 offers. On a generic PC/SC reader (HOLLINK_READER=pcsc)
 * the switch from Level 1 needs layer 4 at Level 1, which such a reader does
 * not give: the program says so and stops there.
 *
 * Exits 0 when the whole life ran, 1 when a step failed unexpectedly, 2 when
 * the reader cannot do a step the card needs next.
 */
#include <stdio.h>
#include <string.h>

#include "ostrel.h"

static int failures = 0;
static int unsupported = 0;

/* Prints one step with its status code; counts it as a failure unless it is `expected`. */
static int Step(const char* what, int status, int expected) {
  const char* note = "";
  if (status != expected) {
    note = status == OSTREL_NOT_SUPPORTED ? "   <-- not supported by this reader"
                                          : "   <-- unexpected";
  }
  printf("%-44s status 0x%02X%s\n", what, (unsigned)(status & 0xFF), note);
  if (status == expected) return 1;
  if (status == OSTREL_NOT_SUPPORTED) {
    ++unsupported;
  } else {
    ++failures;
  }
  return 0;
}

/* Ends the run: 1 on unexpected results, 2 when only the reader fell short. */
static int Finish(void) {
  ReaderCommExit();
  if (failures == 0 && unsupported > 0) {
    printf("card life stopped: the next step is not supported by this reader\n");
    return 2;
  }
  printf("%s\n", failures == 0 ? "card life complete" : "card life had unexpected results");
  return failures == 0 ? 0 : 1;
}

/* Prints a check of a result; counts it as a failure when it does not hold. */
static void Check(const char* what, int holds) {
  printf("%-44s %s\n", what, holds ? "ok" : "MISMATCH   <-- unexpected");
  if (!holds) ++failures;
}

static void Fill(unsigned char* out, unsigned char value, int n) {
  memset(out, value, (size_t)n);
}

static int Activate(int layer4, unsigned char* sak) {
  unsigned char atq[2], uid[10], uidLength = 0, ats[100];
  int i;
  PiccDeSelect();
  PiccHalt();
  if (!Step("activate (wake-up request)", PiccActivate(0x52, atq, uid, &uidLength, sak), 0))
    return 0;
  printf("    ATQ %02X %02X  SAK %02X  UID", atq[0], atq[1], *sak);
  for (i = 0; i < uidLength; ++i) printf(" %02X", uid[i]);
  printf("\n");
  if (!layer4) return 1;
  return Step("  RATS (CID 10)", PiccRATS(10, ats), 0) && Step("  PPS", PiccPPS(0, 0), 0);
}

int main(void) {
  unsigned char master[16], config[16], level2[16], level3[16], sectorKey[16];
  unsigned char data[16], back[16], sak = 0;
  int value = 0, level = 0, i;

  Fill(master, 0x11, 16);
  Fill(config, 0x22, 16);
  Fill(level2, 0x33, 16);
  Fill(level3, 0x44, 16);
  Fill(sectorKey, 0xFF, 16); /* factory sector keys */

  if (!Step("connect to the reader", ReaderCommInit(), 0)) return 1;
  if (!Activate(0, &sak)) return Finish();

  /* Levels 1 and 2 show in the SAK; 0x20 is Level 0 or Level 3, which only the
   * card's answer over layer 4 tells apart: a Level 3 card takes part in an
   * authentication (it succeeds or reports an authentication error), a Level 0
   * card refuses every command but personalization. Nothing is written to ask. */
  if (sak == 0x08 || sak == 0x18) {
    level = 1;
  } else if (sak == 0x10 || sak == 0x11) {
    level = 2;
  } else {
    int answer;
    if (!Activate(1, &sak)) return Finish();
    answer = PLUSSL3FirstAuth(0x4002, sectorKey);
    level = answer == 0 || answer == 0xB6 ? 3 : 0;
  }
  printf("card at Level %d\n", level);

  if (level == 0) {
    if (!Activate(1, &sak)) return Finish();
    Step("write perso 0x9000 (card master key)", PLUSWritePersoTCL(0x9000, master), 0);
    Step("write perso 0x9001 (configuration key)", PLUSWritePersoTCL(0x9001, config), 0);
    Step("commit before all card keys (refused)", PLUSCommitPersoTCL(), 0xBC);
    Step("write perso 0x9002 (Level 2 switch key)", PLUSWritePersoTCL(0x9002, level2), 0);
    Step("write perso 0x9003 (Level 3 switch key)", PLUSWritePersoTCL(0x9003, level3), 0);
    if (!Step("commit perso: Level 0 -> 1", PLUSCommitPersoTCL(), 0)) return Finish();
    level = 1;
  }
  if (level < 3) {
    if (!Activate(1, &sak)) return Finish();
    if (!Step("first authenticate 0x9003: switch to Level 3", PLUSSL3FirstAuth(0x9003, level3),
              0)) {
      return Finish();
    }
  }
  if (!Activate(1, &sak)) return Finish();
  Check("Level 3 now (SAK 0x20)", sak == 0x20);
  if (!Step("first authenticate 0x4002 (sector 1, key A)", PLUSSL3FirstAuth(0x4002, sectorKey),
            0)) {
    return Finish();
  }

  for (i = 0; i < 16; ++i) data[i] = (unsigned char)(0xA0 + i);
  Step("write block 4 (encrypted, answer MAC)", PLUSSL3Write(0xA1, 4, 1, data), 0);
  Step("read block 4 (plain, MACs both ways)", PLUSSL3Read(0x33, 4, 1, back), 0);
  Check("read back equals what was written", memcmp(back, data, 16) == 0);

  Step("write value 100 to block 5", PLUSSL3WriteValue(0xA1, 5, 100), 0);
  Step("increment by 25 and transfer to block 6", PLUSSL3ValueOperTran(0xB7, 5, 6, 25), 0);
  Step("read value of block 6", PLUSSL3ReadValue(0x31, 6, &value), 0);
  printf("    value %d\n", value);
  Check("value is 125", value == 125);
  Step("decrement by 5 and transfer to block 6", PLUSSL3ValueOperTran(0xB9, 6, 6, 5), 0);
  Step("restore block 6 and transfer to block 5", PLUSSL3Restore(0xC3, 6), 0);
  Step("  transfer", PLUSSL3Transfer(0xB5, 5), 0);
  Step("read value of block 5", PLUSSL3ReadValue(0x31, 5, &value), 0);
  printf("    value %d\n", value);
  Check("value is 120", value == 120);
  Step("read block 8 of sector 2 (refused: wrong key)", PLUSSL3Read(0x31, 8, 1, back), 0xBB);

  return Finish();
}
