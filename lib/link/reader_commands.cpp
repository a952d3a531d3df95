// The reader's own management commands: one frame each, bytes packed as given.
#include <cstring>

#include "link/frame.h"
#include "link/trace.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace {

using ostrel::link::Command;
using ostrel::link::Exchange;
using ostrel::link::Response;

}  // namespace

extern "C" {

unsigned char ReaderClose(void) {
  return Command(0x3F);
}

unsigned char ReaderLoadKey(unsigned char mode, unsigned char index, const unsigned char key[6]) {
  if (key == nullptr) return OSTREL_BAD_ARGUMENT;
  std::uint8_t data[8] = {mode, index};
  std::memcpy(data + 2, key, 6);
  return Command(0x4C, data, sizeof data);
}

unsigned char ReaderReset(unsigned char option) {
  // The field goes off and on: the card loses its session even when the
  // answer is lost.
  ostrel::mfplus::EndSession();
  return Command(0x4E, &option, 1);
}

unsigned char ReaderGetInfo(unsigned char* info) {
  if (info == nullptr) return OSTREL_BAD_ARGUMENT;
  Response response;
  std::uint8_t status = Exchange(0x00, 0x4F, nullptr, 0, &response);
  if (status == 0 && response.length() > 0) std::memcpy(info, response.data(), response.length());
  return status;
}

unsigned char ReaderSetControlBit(void) {
  return Command(0x50);
}
unsigned char ReaderClrControlBit(void) {
  return Command(0x51);
}
unsigned char ReaderConfig(void) {
  return Command(0x52);
}

unsigned char ReaderBuzzer(unsigned char byte1, unsigned char byte2, unsigned char byte3,
                           unsigned char byte4) {
  const std::uint8_t data[4] = {byte1, byte2, byte3, byte4};
  return Command(0x60, data, sizeof data);
}

unsigned char ReaderReadE2(unsigned char address, unsigned char length, unsigned char* buffer) {
  if (length > OSTREL_E2_READ_MAX || (length > 0 && buffer == nullptr)) return OSTREL_BAD_ARGUMENT;
  const std::uint8_t data[2] = {address, length};
  // The EEPROM may hold keys: its bytes stay out of the trace.
  ostrel::link::trace::SecretAnswers hidden;
  Response response;
  std::uint8_t status = Exchange(0x00, 0x61, data, sizeof data, &response);
  if (status == 0) {
    // The count is the caller's; a shorter answer copies only what it carries.
    std::size_t n = length < response.length() ? length : response.length();
    if (n > 0) std::memcpy(buffer, response.data(), n);
  }
  return status;
}

unsigned char ReaderwriteE2(unsigned char address, unsigned char length,
                            const unsigned char* data) {
  if (length > OSTREL_E2_WRITE_MAX || (length > 0 && data == nullptr)) return OSTREL_BAD_ARGUMENT;
  std::uint8_t payload[2 + OSTREL_E2_WRITE_MAX] = {address, length};
  if (length > 0) std::memcpy(payload + 2, data, length);
  ostrel::link::trace::SecretBytes hidden;
  hidden.Add(payload + 2, length);
  return Command(0x62, payload, 2u + length);
}

}  // extern "C"
