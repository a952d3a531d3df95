#include "core/access_bits.h"

namespace accessbits {

namespace {
constexpr int kRowValues[8] = {0, 2, 4, 6, 1, 3, 5, 7};

// By row: read, write, increment, decrement/transfer/restore.
constexpr int kData[8][4] = {
    {kEither, kEither, kEither, kEither},  // 000
    {kEither, kNone, kNone, kNone},        // 010
    {kEither, kKeyB, kNone, kNone},        // 100
    {kEither, kKeyB, kKeyB, kEither},      // 110
    {kEither, kNone, kNone, kEither},      // 001
    {kKeyB, kKeyB, kNone, kNone},          // 011
    {kKeyB, kNone, kNone, kNone},          // 101
    {kNone, kNone, kNone, kNone},          // 111
};

// By row: key A read/write, access bits read/write, key B read/write.
constexpr int kTrailer[8][6] = {
    {kNone, kKeyA, kKeyA, kNone, kKeyA, kKeyA},    // 000
    {kNone, kNone, kKeyA, kNone, kKeyA, kNone},    // 010
    {kNone, kKeyB, kEither, kNone, kNone, kKeyB},  // 100
    {kNone, kNone, kEither, kNone, kNone, kNone},  // 110
    {kNone, kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},    // 001
    {kNone, kKeyB, kEither, kKeyB, kNone, kKeyB},  // 011
    {kNone, kNone, kEither, kKeyB, kNone, kNone},  // 101
    {kNone, kNone, kEither, kNone, kNone, kNone},  // 111
};

int Row(int row) {
  return row & 7;
}
bool Has(int rights, bool keyB) {
  return (rights & (keyB ? kKeyB : kKeyA)) != 0;
}
}  // namespace

int RowValue(int row) {
  return kRowValues[Row(row)];
}

int ValueRow(int value) {
  for (int row = 0; row < 8; ++row) {
    if (kRowValues[row] == (value & 7)) return row;
  }
  return 0;
}

void Compose(const Rows& rows, std::uint8_t bytes[3]) {
  int c1 = 0, c2 = 0, c3 = 0;
  for (int i = 0; i < 4; ++i) {
    const int v = RowValue(rows[static_cast<std::size_t>(i)]);
    c1 |= ((v >> 2) & 1) << i;
    c2 |= ((v >> 1) & 1) << i;
    c3 |= (v & 1) << i;
  }
  bytes[0] = static_cast<std::uint8_t>(((~c2 & 0x0F) << 4) | (~c1 & 0x0F));
  bytes[1] = static_cast<std::uint8_t>((c1 << 4) | (~c3 & 0x0F));
  bytes[2] = static_cast<std::uint8_t>((c3 << 4) | c2);
}

bool Decode(const std::uint8_t bytes[3], Rows* rows) {
  const int c1 = bytes[1] >> 4, c2 = bytes[2] & 0x0F, c3 = bytes[2] >> 4;
  const int notC1 = bytes[0] & 0x0F, notC2 = bytes[0] >> 4, notC3 = bytes[1] & 0x0F;
  if ((c1 ^ notC1) != 0x0F || (c2 ^ notC2) != 0x0F || (c3 ^ notC3) != 0x0F) return false;
  for (int i = 0; i < 4; ++i) {
    const int v = (((c1 >> i) & 1) << 2) | (((c2 >> i) & 1) << 1) | ((c3 >> i) & 1);
    (*rows)[static_cast<std::size_t>(i)] = ValueRow(v);
  }
  return true;
}

int TrailerBlock(int sector) {
  if (sector < 32) return 4 * sector + 3;
  return 128 + 16 * (sector - 32) + 15;
}

int DataRights(int row, DataOp op) {
  return kData[Row(row)][static_cast<int>(op)];
}

int TrailerReadRights(int row, Part part) {
  return kTrailer[Row(row)][2 * static_cast<int>(part)];
}

int TrailerWriteRights(int row, Part part) {
  return kTrailer[Row(row)][2 * static_cast<int>(part) + 1];
}

bool KeyBReadable(int trailerRow) {
  return TrailerReadRights(trailerRow, Part::KeyB) != kNone;
}

bool MayWrite(int trailerRow, Part part, bool keyB, bool keysInTrailer) {
  if (keysInTrailer && keyB && KeyBReadable(trailerRow)) return false;
  return Has(TrailerWriteRights(trailerRow, part), keyB);
}

bool MayRead(int trailerRow, Part part, bool keyB, bool keysInTrailer) {
  if (keysInTrailer && keyB && KeyBReadable(trailerRow)) return false;
  return Has(TrailerReadRights(trailerRow, part), keyB);
}

bool FreezesAccess(int trailerRow) {
  return TrailerWriteRights(trailerRow, Part::Access) == kNone;
}

bool FreezesKeys(int trailerRow) {
  return TrailerWriteRights(trailerRow, Part::KeyA) == kNone &&
         TrailerWriteRights(trailerRow, Part::KeyB) == kNone;
}

bool FreezesTrailer(int trailerRow, bool keysInTrailer) {
  return FreezesAccess(trailerRow) || (keysInTrailer && FreezesKeys(trailerRow));
}

std::uint8_t PlainReadByte(const std::array<bool, 4>& flags) {
  int e = 0;
  for (int i = 0; i < 4; ++i) e |= (flags[static_cast<std::size_t>(i)] ? 1 : 0) << i;
  return static_cast<std::uint8_t>(((~e & 0x0F) << 4) | e);
}

}  // namespace accessbits
