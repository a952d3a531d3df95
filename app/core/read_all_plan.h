// What "read all sectors" reads with and what it logs, apart from the prompts
// and the progress window: the key set made from the keys on screen, and the
// log entry of one sector.
#pragma once

#include <QString>
#include <cstdint>

#include "cardtools/card.h"
#include "cardtools/files.h"

// The same key for every sector as the tab's level uses it: a 16-byte `key`
// as AES key when `aes`, else its first 6 bytes as CRYPTO1 key; at Level 2
// `aesKey` (16 bytes) as the sector's AES key beside the CRYPTO1 one. `keyB`
// makes them B keys.
cardtools::KeyFile KeysForEverySector(int level, bool aes, bool keyB, const std::uint8_t* key,
                                      const std::uint8_t* aesKey);

// The log entry of one sector of a dump: its blocks as block data text when
// it was read, else why not.
QString SectorEntry(int level, int sector, const cardtools::Dump& dump);
