// MIFARE Classic access conditions as the key and access dialogs show and write
// them: the eight rows of the two tables, the three access bytes with their
// complements, and who may read or write what under each row. Pure logic, no
// widgets, so the dialogs' checks and the tables they draw share one source.
#pragma once

#include <array>
#include <cstdint>

namespace accessbits {

// A row number (0..7) is the line of the dialog's table; its bit value
// C1·4 + C2·2 + C3 runs 0, 2, 4, 6, 1, 3, 5, 7 down the table.
int RowValue(int row);
int ValueRow(int value);

// selectedRow / cardRow of the dialogs: data groups 0..2, then the trailer.
using Rows = std::array<int, 4>;
inline constexpr int kUnknownRow = 10;
inline constexpr std::uint8_t kGeneralPurposeByte = 0x69;

// Trailer bytes 6..8 for four rows, complements included.
void Compose(const Rows& rows, std::uint8_t bytes[3]);
// The rows of trailer bytes 6..8. False, with `rows` untouched, when a
// complement does not match: a card would treat such a sector as locked.
bool Decode(const std::uint8_t bytes[3], Rows* rows);

// The trailer block of a sector: 4s + 3 below sector 32, then 16-block sectors.
int TrailerBlock(int sector);

// Rights: bit 0 key A, bit 1 key B.
inline constexpr int kNone = 0, kKeyA = 1, kKeyB = 2, kEither = 3;
enum class DataOp { Read, Write, Increment, Decrement };
enum class Part { KeyA, Access, KeyB };
int DataRights(int row, DataOp op);
int TrailerReadRights(int row, Part part);
int TrailerWriteRights(int row, Part part);
// Where key B can be read it is data, not a key: authenticating with it grants
// nothing.
bool KeyBReadable(int trailerRow);
// What the key in hand (key B when keyB) may do. With CRYPTO1 keys in the
// trailer, key B of a row that makes it readable may do nothing; Level 3 AES
// keys (keysInTrailer false) have no such exception.
bool MayWrite(int trailerRow, Part part, bool keyB, bool keysInTrailer = true);
bool MayRead(int trailerRow, Part part, bool keyB, bool keysInTrailer = true);

// Rows after which no key may ever write the access bits again, or neither key
// may ever be changed again. keysInTrailer is false at Level 3, where the
// sector keys are AES keys kept outside the trailer.
bool FreezesAccess(int trailerRow);
bool FreezesKeys(int trailerRow);
bool FreezesTrailer(int trailerRow, bool keysInTrailer);

// The Level 3 plain-read byte: flags of groups 0..3 in bits 3..0, their
// complement in bits 7..4.
std::uint8_t PlainReadByte(const std::array<bool, 4>& flags);

}  // namespace accessbits
