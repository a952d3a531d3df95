// AES-128 and AES-CMAC as MIFARE Plus uses them. Internal to the library; the
// simulated card links the same code so both ends of every exchange agree.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::crypto {

// An expanded AES-128 key for many blocks under one key (CBC, CMAC over long
// messages). The round keys are wiped when the object goes out of scope.
class AesEncryptor {
 public:
  explicit AesEncryptor(const std::uint8_t key[16]);
  ~AesEncryptor();
  AesEncryptor(const AesEncryptor&) = delete;
  AesEncryptor& operator=(const AesEncryptor&) = delete;
  void EncryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) const;  // in == out allowed

 private:
  friend class AesDecryptor;
  static constexpr int kRoundKeyWords = 44;
  std::uint32_t roundKeys_[kRoundKeyWords];
};

// The decryption schedule of the equivalent inverse cipher (FIPS-197 5.3.5).
class AesDecryptor {
 public:
  explicit AesDecryptor(const std::uint8_t key[16]);
  ~AesDecryptor();
  AesDecryptor(const AesDecryptor&) = delete;
  AesDecryptor& operator=(const AesDecryptor&) = delete;
  void DecryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) const;  // in == out allowed

 private:
  std::uint32_t roundKeys_[44];
};

// One-block AES-128 (FIPS-197), table driven.
void AesEncryptBlock(const std::uint8_t key[16], const std::uint8_t in[16], std::uint8_t out[16]);
void AesDecryptBlock(const std::uint8_t key[16], const std::uint8_t in[16], std::uint8_t out[16]);

// CBC over whole 16-byte blocks. The IV is read, never updated; in == out is allowed.
// Encrypt takes the block count from bits 4-6 of length (16..112 bytes),
// decrypt from its upper four bits (16..240 bytes); other bytes are untouched.
void Aes128CbcEncrypt(std::uint8_t* out, const std::uint8_t* in, std::uint8_t length,
                      const std::uint8_t key[16], const std::uint8_t iv[16]);
void Aes128CbcDecrypt(std::uint8_t* out, const std::uint8_t* in, std::uint8_t length,
                      const std::uint8_t key[16], const std::uint8_t iv[16]);

// CBC of any whole number of blocks (length is a multiple of 16).
void CbcEncrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length,
                const std::uint8_t key[16], const std::uint8_t iv[16]);
void CbcDecrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length,
                const std::uint8_t key[16], const std::uint8_t iv[16]);

void CmacShiftLeft(std::uint8_t out[16], const std::uint8_t in[16]);
void CmacGenerateSubkeys(std::uint8_t k1[16], std::uint8_t k2[16], const std::uint8_t key[16]);

// Full 16-byte AES-CMAC (RFC 4493) of a message of any length, with the chain
// starting from `start` (all zero for plain CMAC).
void Cmac(std::uint8_t tag[16], const std::uint8_t* message, std::size_t length,
          const std::uint8_t key[16], const std::uint8_t start[16]);

// The 8-byte MIFARE Plus MAC: the odd-indexed bytes T[1], T[3], ... T[15] of the tag.
void CmacTruncated(std::uint8_t mac[8], const std::uint8_t* message, std::size_t length,
                   const std::uint8_t key[16]);
void CmacTruncatedIv(std::uint8_t mac[8], const std::uint8_t* message, std::size_t length,
                     const std::uint8_t key[16], const std::uint8_t start[16]);

}  // namespace ostrel::crypto
