#include "level3_card.h"

#include <cstdio>
#include <cstdlib>

#include "ostrel.h"

namespace transport_test {

const unsigned char kTestSectorKey[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                          0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

namespace {

// Card master, configuration, Level 2 switch and Level 3 switch keys.
const unsigned short kCardKeys[4] = {0x9000, 0x9001, 0x9002, 0x9003};

void CardKey(unsigned short address, unsigned char key[16]) {
  for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>((address >> 8) + 3 * i);
}

std::string Failed(const char* step, unsigned status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s: status 0x%02X", step, status);
  return text;
}

}  // namespace

int OpenReader(const std::string& reader) {
  setenv("OSTREL_HOLLINK", HOLLINK_LIBRARY, 1);
  setenv("HOLLINK_READER", reader.c_str(), 1);
  return ReaderCommInit();
}

unsigned char ActivateCard() {
  PiccDeSelect();
  PiccHalt();
  unsigned char atq[2], uid[10], uid_length = 0, sak = 0;
  unsigned char status = PiccActivate(0x52, atq, uid, &uid_length, &sak);
  if (status != 0) return status;
  unsigned char ats[100];
  status = PiccRATS(10, ats);
  if (status != 0) return status;
  return PiccPPS(0, 0);
}

std::string MakeLevel3Card() {
  unsigned char status = ActivateCard();
  if (status != 0) return Failed("activation at Level 0", status);
  unsigned char key[16];
  for (unsigned short address : kCardKeys) {
    CardKey(address, key);
    status = PLUSWritePersoTCL(address, key);
    if (status != 0) return Failed("write perso of a card key", status);
  }
  status = PLUSWritePersoTCL(kTestSectorKeyA, kTestSectorKey);
  if (status != 0) return Failed("write perso of the sector key", status);
  status = PLUSCommitPersoTCL();
  if (status != 0) return Failed("commit perso", status);

  status = ActivateCard();
  if (status != 0) return Failed("activation at Level 1", status);
  CardKey(0x9003, key);
  status = PLUSSL3FirstAuth(0x9003, key);
  if (status != 0) return Failed("switch to Level 3", status);
  status = StartSession(1);
  if (status != 0) return Failed("first session at Level 3", status);
  return "";
}

unsigned char StartSession(int tries) {
  unsigned char status = 0xFF;
  for (int i = 0; i < tries; ++i) {
    status = ActivateCard();
    if (status == 0) status = PLUSSL3FirstAuth(kTestSectorKeyA, kTestSectorKey);
    if (status == 0) return 0;
  }
  return status;
}

}  // namespace transport_test
