// Brings a simulated card to Security Level 3 through the library, and opens
// sessions on it, for the transport tests that need real card traffic.
#pragma once

#include <string>

namespace transport_test {

// Sector 1 (blocks 4 to 7) is the tests' sector; its key A is personalized.
inline constexpr unsigned short kTestSectorKeyA = 0x4002;
inline constexpr unsigned short kFirstTestBlock = 4;
extern const unsigned char kTestSectorKey[16];

// ReaderCommInit on `reader` (HOLLINK_READER), with OSTREL_HOLLINK pointing at
// the built driver. Returns ReaderCommInit's result.
int OpenReader(const std::string& reader);

// DeSelect, Halt, Activate, RATS and PPS as the application does; 0 or the
// first failing status.
unsigned char ActivateCard();

// Personalizes a factory card, commits it and switches it to Level 3.
// Returns an empty string, or which step failed and how.
std::string MakeLevel3Card();

// Activation and First Authenticate with the test sector's key A, up to
// `tries` times; 0 or the last failing status.
unsigned char StartSession(int tries);

}  // namespace transport_test
