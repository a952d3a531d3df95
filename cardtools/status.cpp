#include "status.h"

#include <cstdio>

namespace cardtools {

namespace {
std::string Hex(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}
}  // namespace

std::string CardStatusText(std::uint8_t status) {
  switch (status) {
    case 0x90:
      return "success";
    case 0x05:
      return "virtual card operation not supported";
    case 0x06:
      return "authentication error";
    case 0x07:
      return "command overflow (a counter would wrap)";
    case 0x08:
      return "invalid MAC";
    case 0x09:
      return "invalid block address";
    case 0x0A:
      return "block or key does not exist";
    case 0x0B:
      return "security level or access conditions not sufficient";
    case 0x0C:
      return "length error";
    case 0x0F:
      return "general operation error";
    default:
      return "card status " + Hex(status);
  }
}

std::string StatusText(std::uint8_t status) {
  // 0x90 is success and never arrives here: 0xB0 is an unknown status ending in 0.
  if (status == 0xB0) return "the card answered an unknown status (not 0x90, low digit 0)";
  if (status >= 0xB0 && status <= 0xBF) {
    return CardStatusText(static_cast<std::uint8_t>(status & 0x0F));
  }
  switch (status) {
    case 0x00:
      return "success";
    case 0x01:
      return "no card";
    case 0x03:
      return "value overflow";
    case 0x04:
      return "CRYPTO1 authentication failed";
    case 0x0A:
      return "sector not authenticated";
    case 0x0E:
      return "transfer refused by the access bits";
    case 0x0F:
      return "write refused by the access bits";
    case 0x10:
      return "increment refused by the access bits";
    case 0x11:
      return "decrement refused by the access bits";
    case 0x12:
      return "read refused by the access bits";
    case 0x17:
      // Also what a generic PC/SC reader answers for what it cannot carry.
      return "not supported by this reader (unknown reader command)";
    case 0x1F:
      return "frame check byte or length wrong";
    case 0x6E:
      return "EEPROM address out of range";
    case 0x7C:
      return "not a value block";
    case 0x7D:
      return "RATS refused";
    case 0x7E:
      return "PPS without layer 4";
    case 0x83:
      return "request data of the wrong size";
    case 0x84:
      return "link sequence number or flags wrong";
    case 0xC3:
      return "not a value block";
    case 0xD0:
      return "proximity check: the card's verify MAC is wrong";
    case 0xD1:
      return "proximity check: the card answered too late";
    case 0xE0:
      return "unexpected acknowledgement";
    case 0xEC:
      return "authentication error";
    case 0xF0:
      return "command code out of range";
    case 0xF1:
      return "block count out of range";
    case 0xF2:
      return "argument out of range";
    case 0xF7:
      return "read MAC input would overflow";
    case 0xF9:
      return "answer does not fit the buffer";
    case 0xFC:
      return "answer length wrong";
    case 0xFE:
      return "card reported a CRC or parity error";
    case 0xFF:
      return "no answer from the reader";
    default:
      return "status " + Hex(status);
  }
}

std::string AckText(std::uint8_t nibble) {
  switch (nibble & 0x0F) {
    case 0x0A:
      return "ACK";
    case 0x00:
      return "NAK: not allowed";
    case 0x01:
    case 0x05:
      return "NAK: CRC or parity error";
    case 0x04:
      return "NAK: invalid argument";
    default:
      return "NAK " + Hex(nibble & 0x0F);
  }
}

}  // namespace cardtools
