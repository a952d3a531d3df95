// Test helper for the production line test, apart from the code under test:
//   card_line_tool key MASTER UID ADDRESS [SYSTEM_ID]  prints the AN10922 AES-128 key
//       of one MIFARE Plus key, computed here from the application note's steps on
//       the bare AES block cipher;
//   card_line_tool auth ADDRESS KEY  activates the card of HOLLINK_READER's reader
//       and runs a First Authenticate with the key at ADDRESS;
//   card_line_tool next  halts the card and resets the field of HOLLINK_READER's
//       reader, as an operator taking the card off.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mfplus/crypto.h"
#include "ostrel.h"

namespace {

bool Unhex(const char* text, std::vector<unsigned char>* out) {
  const std::size_t n = std::strlen(text);
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    unsigned value = 0;
    if (std::sscanf(text + i, "%2x", &value) != 1) return false;
    out->push_back(static_cast<unsigned char>(value));
  }
  return true;
}

// Doubling in GF(2^128) as the subkeys of a CMAC need it.
void Double(const unsigned char in[16], unsigned char out[16]) {
  for (int i = 0; i < 16; ++i)
    out[i] = static_cast<unsigned char>((in[i] << 1) | (i < 15 ? in[i + 1] >> 7 : 0));
  if (in[0] & 0x80) out[15] ^= 0x87;
}

int Key(int argc, char** argv) {
  std::vector<unsigned char> master, uid, system;
  unsigned address = 0;
  if (argc < 5 || !Unhex(argv[2], &master) || master.size() != 16 || !Unhex(argv[3], &uid) ||
      std::sscanf(argv[4], "%x", &address) != 1 || (argc > 5 && !Unhex(argv[5], &system))) {
    std::fprintf(stderr, "usage: card_line_tool key MASTER UID ADDRESS [SYSTEM_ID]\n");
    return 2;
  }
  // D = 0x01 || UID || address low, high || system identifier, padded to 32 bytes.
  std::vector<unsigned char> d = {0x01};
  d.insert(d.end(), uid.begin(), uid.end());
  d.push_back(static_cast<unsigned char>(address & 0xFF));
  d.push_back(static_cast<unsigned char>(address >> 8));
  d.insert(d.end(), system.begin(), system.end());
  const bool padded = d.size() < 32;
  if (padded) d.push_back(0x80);
  d.resize(32, 0x00);
  unsigned char zero[16] = {}, l[16], k1[16], k2[16];
  ostrel::crypto::AesEncryptBlock(master.data(), zero, l);
  Double(l, k1);
  Double(k1, k2);
  for (int i = 0; i < 16; ++i) d[16 + i] ^= padded ? k2[i] : k1[i];
  unsigned char chain[16];
  ostrel::crypto::AesEncryptBlock(master.data(), d.data(), chain);
  for (int i = 0; i < 16; ++i) chain[i] ^= d[16 + i];
  unsigned char key[16];
  ostrel::crypto::AesEncryptBlock(master.data(), chain, key);
  for (unsigned char b : key) std::printf("%02X", b);
  std::printf("\n");
  return 0;
}

int Next() {
  if (ReaderCommInit() != 0) {
    std::fprintf(stderr, "card_line_tool: cannot open the reader\n");
    return 1;
  }
  PiccHalt();
  const int status = ReaderReset(0);
  ReaderCommExit();
  return status == 0 ? 0 : 1;
}

int Auth(char** argv) {
  std::vector<unsigned char> key;
  unsigned address = 0;
  if (std::sscanf(argv[2], "%x", &address) != 1 || !Unhex(argv[3], &key) || key.size() != 16) {
    std::fprintf(stderr, "usage: card_line_tool auth ADDRESS KEY\n");
    return 2;
  }
  if (ReaderCommInit() != 0) {
    std::fprintf(stderr, "card_line_tool: cannot open the reader\n");
    return 1;
  }
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[64];
  int status = PiccActivate(0x52, atq, uid, &uidLength, &sak);
  if (status == 0) status = PiccRATS(10, ats);
  if (status == 0) status = PiccPPS(0, 0);
  if (status == 0) status = PLUSSL3FirstAuth(static_cast<unsigned short>(address), key.data());
  ReaderCommExit();
  if (status != 0) std::fprintf(stderr, "card_line_tool: status %02X\n", status);
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "key") == 0) return Key(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "next") == 0) return Next();
  if (argc == 4 && std::strcmp(argv[1], "auth") == 0) return Auth(argv);
  std::fprintf(
      stderr,
      "usage: card_line_tool key MASTER UID ADDRESS [SYSTEM_ID] | auth ADDRESS KEY | next\n");
  return 2;
}
