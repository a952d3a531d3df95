// Which MIFARE Plus a card is, told by its answer to select (ATS).
#pragma once

#include <cstddef>

// True when the ATS names a MIFARE Plus S: its historical bytes end the card's
// version information with 00 35 C7 (an X card has 01 BC D6 there). The
// historical bytes are found through the format byte T0, which says which of the
// interface bytes TA, TB and TC come before them, so an ATS that a PC/SC reader
// rebuilt without interface bytes reads the same as the card's own. `ats` holds
// `capacity` bytes starting with the length byte TL.
bool AtsNamesPlusS(const unsigned char* ats, std::size_t capacity);
