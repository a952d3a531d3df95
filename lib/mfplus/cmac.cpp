// AES-CMAC (NIST SP 800-38B, RFC 4493) and the 8-byte MAC MIFARE Plus carries.
//
// The chain runs block by block under one expanded key, so a message of any
// length is handled without a buffer the size of the message.
#include <cstring>

#include "mfplus/crypto.h"

namespace ostrel::crypto {
namespace {

void XorInto(std::uint8_t* target, const std::uint8_t* source, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) target[i] = static_cast<std::uint8_t>(target[i] ^ source[i]);
}

// K = L << 1, reduced by the field polynomial when the top bit falls out.
void NextSubkey(std::uint8_t out[16], const std::uint8_t in[16]) {
  bool carry = (in[0] & 0x80) != 0;
  CmacShiftLeft(out, in);
  if (carry) out[15] = static_cast<std::uint8_t>(out[15] ^ 0x87);
}

}  // namespace

void CmacShiftLeft(std::uint8_t out[16], const std::uint8_t in[16]) {
  // Walk from the least significant byte so that out == in works.
  std::uint8_t carry = 0;
  for (int i = 15; i >= 0; --i) {
    std::uint8_t next = static_cast<std::uint8_t>(in[i] >> 7);
    out[i] = static_cast<std::uint8_t>((in[i] << 1) | carry);
    carry = next;
  }
}

void CmacGenerateSubkeys(std::uint8_t k1[16], std::uint8_t k2[16], const std::uint8_t key[16]) {
  std::uint8_t l[16] = {};
  AesEncryptBlock(key, l, l);
  NextSubkey(k1, l);
  NextSubkey(k2, k1);
  explicit_bzero(l, sizeof l);
}

void Cmac(std::uint8_t tag[16], const std::uint8_t* message, std::size_t length,
          const std::uint8_t key[16], const std::uint8_t start[16]) {
  AesEncryptor aes(key);
  std::uint8_t k1[16];
  std::uint8_t k2[16];
  {
    std::uint8_t l[16] = {};
    aes.EncryptBlock(l, l);
    NextSubkey(k1, l);
    NextSubkey(k2, k1);
    explicit_bzero(l, sizeof l);
  }

  // The last block is the final 1..16 bytes; an empty message has an empty,
  // padded last block (RFC 4493).
  std::size_t tail = length % 16;
  bool complete = length != 0 && tail == 0;
  if (complete) tail = 16;
  std::size_t prefix = length - tail;

  std::uint8_t chain[16];
  std::memcpy(chain, start, 16);
  for (std::size_t offset = 0; offset < prefix; offset += 16) {
    XorInto(chain, message + offset, 16);
    aes.EncryptBlock(chain, chain);
  }

  std::uint8_t last[16] = {};
  if (tail != 0) std::memcpy(last, message + prefix, tail);
  if (complete) {
    XorInto(last, k1, 16);
  } else {
    last[tail] = 0x80;
    XorInto(last, k2, 16);
  }
  XorInto(chain, last, 16);
  aes.EncryptBlock(chain, tag);

  explicit_bzero(k1, sizeof k1);
  explicit_bzero(k2, sizeof k2);
  explicit_bzero(last, sizeof last);
  explicit_bzero(chain, sizeof chain);
}

void CmacTruncatedIv(std::uint8_t mac[8], const std::uint8_t* message, std::size_t length,
                     const std::uint8_t key[16], const std::uint8_t start[16]) {
  std::uint8_t tag[16];
  Cmac(tag, message, length, key, start);
  for (int i = 0; i < 8; ++i) mac[i] = tag[2 * i + 1];
  explicit_bzero(tag, sizeof tag);
}

void CmacTruncated(std::uint8_t mac[8], const std::uint8_t* message, std::size_t length,
                   const std::uint8_t key[16]) {
  static constexpr std::uint8_t kZero[16] = {};
  CmacTruncatedIv(mac, message, length, key, kZero);
}

}  // namespace ostrel::crypto
