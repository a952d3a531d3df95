// Table-driven AES-128 (FIPS-197) and the CBC routines built on it.
//
// The round tables are generated at compile time from the field arithmetic,
// so they are constant data in the binary and cannot drift from the standard.
// Words are big-endian: byte 0 of a column is the most significant byte.
#include <array>
#include <cstring>

#include "mfplus/crypto.h"

namespace ostrel::crypto {
namespace {

using Word = std::uint32_t;
using WordTable = std::array<Word, 256>;

constexpr std::uint8_t Times2(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t Multiply(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product = static_cast<std::uint8_t>(product ^ a);
    a = Times2(a);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

constexpr Word Pack(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return (Word{b0} << 24) | (Word{b1} << 16) | (Word{b2} << 8) | Word{b3};
}

constexpr Word RotateRight8(Word w) {
  return (w >> 8) | (w << 24);
}

struct Tables {
  std::array<std::uint8_t, 256> sbox{};
  std::array<std::uint8_t, 256> inverseSbox{};
  // S-box and inverse S-box with the byte repeated in all four lanes, so the
  // last round picks a lane with a mask instead of a shift.
  WordTable sboxWords{};
  WordTable inverseSboxWords{};
  std::array<WordTable, 4> encrypt{};
  std::array<WordTable, 4> decrypt{};
  std::array<Word, 10> roundConstants{};
};

constexpr Tables BuildTables() {
  Tables t;
  // Powers of the generator 3 give the multiplicative inverse as
  // 3^(255 - log x).
  std::array<std::uint8_t, 256> power{};
  std::array<std::uint8_t, 256> logarithm{};
  std::uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = x;
    logarithm[x] = static_cast<std::uint8_t>(i);
    x = static_cast<std::uint8_t>(x ^ Times2(x));  // x * 3
  }
  for (int i = 0; i < 256; ++i) {
    std::uint8_t inverse = (i == 0) ? 0 : power[(255 - logarithm[i]) % 255];
    // Affine transformation: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
    unsigned s = inverse;
    unsigned result = inverse;
    for (int r = 0; r < 4; ++r) {
      s = ((s << 1) | (s >> 7)) & 0xFF;
      result ^= s;
    }
    auto value = static_cast<std::uint8_t>(result ^ 0x63);
    t.sbox[i] = value;
    t.inverseSbox[value] = static_cast<std::uint8_t>(i);
  }
  for (int i = 0; i < 256; ++i) {
    std::uint8_t s = t.sbox[i];
    std::uint8_t v = t.inverseSbox[i];
    t.sboxWords[i] = Pack(s, s, s, s);
    t.inverseSboxWords[i] = Pack(v, v, v, v);
    Word e = Pack(Multiply(s, 2), s, s, Multiply(s, 3));
    Word d = Pack(Multiply(v, 14), Multiply(v, 9), Multiply(v, 13), Multiply(v, 11));
    for (int k = 0; k < 4; ++k) {
      t.encrypt[k][i] = e;
      t.decrypt[k][i] = d;
      e = RotateRight8(e);
      d = RotateRight8(d);
    }
  }
  std::uint8_t rc = 1;
  for (int i = 0; i < 10; ++i) {
    t.roundConstants[i] = Pack(rc, 0, 0, 0);
    rc = Times2(rc);
  }
  return t;
}

constexpr Tables kTables = BuildTables();

// Spot checks against FIPS-197: S-box entries of Figure 7 and the last round constant.
static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xED &&
              kTables.sbox[0xFF] == 0x16);
static_assert(kTables.inverseSbox[0x63] == 0x00 && kTables.inverseSbox[0x16] == 0xFF);
static_assert(kTables.roundConstants[9] == 0x36000000u);
static_assert(kTables.encrypt[0][0x00] == 0xC66363A5u);

constexpr std::uint8_t Byte(Word w, int lane) {
  return static_cast<std::uint8_t>(w >> (24 - 8 * lane));
}

Word Load(const std::uint8_t* p) {
  return Pack(p[0], p[1], p[2], p[3]);
}

void Store(std::uint8_t* p, Word w) {
  p[0] = Byte(w, 0);
  p[1] = Byte(w, 1);
  p[2] = Byte(w, 2);
  p[3] = Byte(w, 3);
}

Word SubWord(Word w) {
  const auto& s = kTables.sboxWords;
  return (s[Byte(w, 0)] & 0xFF000000u) ^ (s[Byte(w, 1)] & 0x00FF0000u) ^
         (s[Byte(w, 2)] & 0x0000FF00u) ^ (s[Byte(w, 3)] & 0x000000FFu);
}

// InvMixColumns of one word: the decryption tables include InvSubBytes, so the
// S-box is applied first to cancel it.
Word InverseMixColumn(Word w) {
  const auto& d = kTables.decrypt;
  const auto& s = kTables.sbox;
  return d[0][s[Byte(w, 0)]] ^ d[1][s[Byte(w, 1)]] ^ d[2][s[Byte(w, 2)]] ^ d[3][s[Byte(w, 3)]];
}

void Wipe(void* p, std::size_t n) {
  explicit_bzero(p, n);
}

// The ten rounds of either direction. Each round does SubBytes, ShiftRows and
// MixColumns (or their inverses) with one table lookup per byte; row r of
// output column j comes from column j + r * step (step 1 encrypts, 3 decrypts,
// which is the inverse shift). The last round has no MixColumns and takes the
// lane of the (inverse) S-box word instead.
void RunCipher(const std::array<WordTable, 4>& rounds, const WordTable& last, const Word* roundKeys,
               int step, const std::uint8_t in[16], std::uint8_t out[16]) {
  Word s[4];
  Word t[4];
  for (int j = 0; j < 4; ++j) s[j] = Load(in + 4 * j) ^ roundKeys[j];
  for (int round = 1; round < 10; ++round) {
    const Word* rk = roundKeys + 4 * round;
    for (int j = 0; j < 4; ++j) {
      t[j] = rounds[0][Byte(s[j], 0)] ^ rounds[1][Byte(s[(j + step) & 3], 1)] ^
             rounds[2][Byte(s[(j + 2 * step) & 3], 2)] ^ rounds[3][Byte(s[(j + 3 * step) & 3], 3)] ^
             rk[j];
    }
    for (int j = 0; j < 4; ++j) s[j] = t[j];
  }
  const Word* rk = roundKeys + 40;
  for (int j = 0; j < 4; ++j) {
    Store(out + 4 * j, (last[Byte(s[j], 0)] & 0xFF000000u) ^
                           (last[Byte(s[(j + step) & 3], 1)] & 0x00FF0000u) ^
                           (last[Byte(s[(j + 2 * step) & 3], 2)] & 0x0000FF00u) ^
                           (last[Byte(s[(j + 3 * step) & 3], 3)] & 0x000000FFu) ^ rk[j]);
  }
  Wipe(s, sizeof s);
  Wipe(t, sizeof t);
}

}  // namespace

AesEncryptor::AesEncryptor(const std::uint8_t key[16]) {
  for (int i = 0; i < 4; ++i) roundKeys_[i] = Load(key + 4 * i);
  for (int i = 4; i < kRoundKeyWords; ++i) {
    Word temp = roundKeys_[i - 1];
    if (i % 4 == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ kTables.roundConstants[i / 4 - 1];
    }
    roundKeys_[i] = roundKeys_[i - 4] ^ temp;
  }
}

AesEncryptor::~AesEncryptor() {
  Wipe(roundKeys_, sizeof roundKeys_);
}

void AesEncryptor::EncryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) const {
  RunCipher(kTables.encrypt, kTables.sboxWords, roundKeys_, 1, in, out);
}

AesDecryptor::AesDecryptor(const std::uint8_t key[16]) {
  // Equivalent inverse cipher: the encryption schedule in reverse round order,
  // with InvMixColumns applied to every round key but the first and the last.
  AesEncryptor forward(key);
  const Word* ek = forward.roundKeys_;
  for (int round = 0; round <= 10; ++round) {
    for (int j = 0; j < 4; ++j) {
      Word w = ek[4 * (10 - round) + j];
      roundKeys_[4 * round + j] = (round == 0 || round == 10) ? w : InverseMixColumn(w);
    }
  }
}

AesDecryptor::~AesDecryptor() {
  Wipe(roundKeys_, sizeof roundKeys_);
}

void AesDecryptor::DecryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) const {
  RunCipher(kTables.decrypt, kTables.inverseSboxWords, roundKeys_, 3, in, out);
}

void AesEncryptBlock(const std::uint8_t key[16], const std::uint8_t in[16], std::uint8_t out[16]) {
  AesEncryptor(key).EncryptBlock(in, out);
}

void AesDecryptBlock(const std::uint8_t key[16], const std::uint8_t in[16], std::uint8_t out[16]) {
  AesDecryptor(key).DecryptBlock(in, out);
}

void CbcEncrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length,
                const std::uint8_t key[16], const std::uint8_t iv[16]) {
  AesEncryptor aes(key);
  std::uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  for (std::size_t offset = 0; offset + 16 <= length; offset += 16) {
    for (int i = 0; i < 16; ++i) chain[i] = static_cast<std::uint8_t>(chain[i] ^ in[offset + i]);
    aes.EncryptBlock(chain, chain);
    std::memcpy(out + offset, chain, 16);
  }
  Wipe(chain, sizeof chain);
}

void CbcDecrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length,
                const std::uint8_t key[16], const std::uint8_t iv[16]) {
  AesDecryptor aes(key);
  std::uint8_t chain[16];
  std::uint8_t cipher[16];
  std::uint8_t plain[16];
  std::memcpy(chain, iv, 16);
  for (std::size_t offset = 0; offset + 16 <= length; offset += 16) {
    // Keep the ciphertext before writing: out may be in.
    std::memcpy(cipher, in + offset, 16);
    aes.DecryptBlock(cipher, plain);
    for (int i = 0; i < 16; ++i) out[offset + i] = static_cast<std::uint8_t>(plain[i] ^ chain[i]);
    std::memcpy(chain, cipher, 16);
  }
  Wipe(plain, sizeof plain);
}

void Aes128CbcEncrypt(std::uint8_t* out, const std::uint8_t* in, std::uint8_t length,
                      const std::uint8_t key[16], const std::uint8_t iv[16]) {
  CbcEncrypt(out, in, length & 0x70u, key, iv);
}

void Aes128CbcDecrypt(std::uint8_t* out, const std::uint8_t* in, std::uint8_t length,
                      const std::uint8_t key[16], const std::uint8_t iv[16]) {
  CbcDecrypt(out, in, length & 0xF0u, key, iv);
}

}  // namespace ostrel::crypto
