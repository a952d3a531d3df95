// Shared steps of the end-to-end tests: open the reader, activate, personalize and
// raise the card's level through the public library interface only.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "ostrel.h"

namespace e2e {

using Bytes = std::vector<unsigned char>;
using Key = std::array<unsigned char, 16>;

Key Fill(unsigned char value);
// n bytes that differ with `seed`.
Bytes Pattern(std::size_t n, unsigned char seed);

// Card keys the tests personalize with.
extern const Key kMasterKey, kConfigKey, kLevel2Key, kLevel3Key, kFactoryKey;
extern const unsigned char kFactoryCrypto1[6];

struct Activation {
  unsigned char atq[2] = {};
  unsigned char uid[10] = {};
  unsigned char uidLength = 0;
  unsigned char sak = 0;
};

class CardTest : public ::testing::Test {
 protected:
  void TearDown() override { ReaderCommExit(); }

  // Opens the reader with a fresh card. `variant` and `extra` options apply to the
  // in-process simulator only; a test that needs them is skipped on other readers.
  // False when the test cannot go on (skipped or failed).
  bool Open(const std::string& variant = "", const std::string& extra = "");
  static bool SimulatedReader();

  Activation Activate();        // release, halt and activate with the wake-up request
  Activation ActivateLayer4();  // and RATS with CID 10, PPS
  // The card's level, asked without writing anything: the SAK tells Levels 1 and 2;
  // at SAK 0x20 a Level 3 card takes part in an authentication, a Level 0 card not.
  int CardLevel();
  // Level 0 -> 1 with the test card keys (over T=CL where the reader has no raw
  // exchange); a card a kept reader holds at a higher level is left as it is.
  void Personalize();
  void RaiseTo(int level);  // from Level 1 with the switch keys
  // A fresh card taken to Level 3 (or a card already there) and activated at layer 4.
  Activation OpenAtLevel3();
};

}  // namespace e2e
