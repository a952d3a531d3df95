// The simulated MIFARE Plus card (X or S, 2K or 4K, 4- or 7-byte UID): ISO 14443-3
// Type A states, Level 0 personalization, CRYPTO1 sector access at Levels 1 and 2
// (modelled, not enciphered), Level 2 AES binding, Level 3 secure messaging,
// proximity check and virtual card selection.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "card_interface.h"
#include "rng.h"

namespace pelkin {

using Block = std::array<std::uint8_t, 16>;

struct Variant {
  bool s = false;  // MIFARE Plus S (no Level 2, no proximity check, no virtual cards)
  bool fourK = true;
  bool uid7 = false;
};
// "X4K4", "S2K7", ...: X|S, 2K|4K, 4|7 (UID bytes).
bool ParseVariant(const std::string& text, Variant* variant);
std::string VariantName(const Variant& variant);

// Card addresses of the Level 0 and Level 3 command sets.
constexpr std::uint16_t kSectorKeyBase = 0x4000;
constexpr std::uint16_t kMasterKey = 0x9000;
constexpr std::uint16_t kConfigKey = 0x9001;
constexpr std::uint16_t kLevel2SwitchKey = 0x9002;
constexpr std::uint16_t kLevel3SwitchKey = 0x9003;
constexpr std::uint16_t kVcProximityKey = 0xA000;
constexpr std::uint16_t kVcEncKey = 0xA080;
constexpr std::uint16_t kVcMacKey = 0xA081;
constexpr std::uint16_t kMfpConfig = 0xB000;
constexpr std::uint16_t kVcIid = 0xB001;
constexpr std::uint16_t kFieldConfig = 0xB003;

// Reader status bytes for Type A and CRYPTO1 commands.
constexpr std::uint8_t kStOk = 0x00;
constexpr std::uint8_t kStNoCard = 0x01;
constexpr std::uint8_t kStValueOverflow = 0x03;
constexpr std::uint8_t kStAuthFailed = 0x04;
constexpr std::uint8_t kStNotAuthenticated = 0x0A;
constexpr std::uint8_t kStTransferError = 0x0E;
constexpr std::uint8_t kStWriteError = 0x0F;
constexpr std::uint8_t kStIncrementError = 0x10;
constexpr std::uint8_t kStDecrementError = 0x11;
constexpr std::uint8_t kStReadError = 0x12;

// Card status bytes of the Level 0 and Level 3 command sets.
constexpr std::uint8_t kCardOk = 0x90;
constexpr std::uint8_t kCardVcUnsupported = 0x05;
constexpr std::uint8_t kCardAuthError = 0x06;
constexpr std::uint8_t kCardCommandOverflow = 0x07;
constexpr std::uint8_t kCardMacError = 0x08;
constexpr std::uint8_t kCardBadBlock = 0x09;
constexpr std::uint8_t kCardNoBlock = 0x0A;
constexpr std::uint8_t kCardNotAllowed = 0x0B;
constexpr std::uint8_t kCardLengthError = 0x0C;
constexpr std::uint8_t kCardGeneralError = 0x0F;

// 4-bit acknowledgements of the Classic-style raw exchanges.
constexpr std::uint8_t kAck = 0x0A;
constexpr std::uint8_t kNakNotAllowed = 0x00;
constexpr std::uint8_t kNakArgument = 0x04;

// Everything the card keeps without power.
struct CardImage {
  Variant variant;
  Bytes uid;                             // 4 or 7 bytes
  int level = 0;                         // security level 0 to 3
  std::vector<Block> blocks;             // 128 or 256 blocks
  std::map<std::uint16_t, Block> keys;   // AES keys and configuration blocks by address
  std::set<std::uint16_t> persoWritten;  // card keys written at Level 0

  // A factory card: Level 0, transport trailers, all AES keys FF.
  static CardImage Fresh(const Variant& variant, Rng& rng);
  // The key or configuration block at `address`, or nullptr when the card has none there.
  const Block* Key(std::uint16_t address) const;
};

class Card : public CardInterface {
 public:
  Card(CardImage image, Rng* rng);

  const CardImage& image() const { return image_; }
  // True once after every change to the image (so the owner can save it).
  bool TakeChanged();
  // Puts back an image the owner kept (a change it could not save).
  void Revert(CardImage image) {
    image_ = std::move(image);
    changed_ = false;
  }
  // The level the card runs at in this activation (a level switch shows after the next one).
  int activeLevel() const { return activeLevel_; }
  bool layer4() const { return state_ == State::kActive && layer4_; }

  bool Supports(CardFeature) const override { return true; }

  std::optional<std::array<std::uint8_t, 2>> Request(bool wakeUp) override;
  std::optional<std::array<std::uint8_t, 4>> Anticollision(std::uint8_t selectCode) override;
  std::optional<std::uint8_t> Select(std::uint8_t selectCode, const std::uint8_t part[4]) override;
  void Halt() override;
  void PowerCycle() override;

  std::uint8_t AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) override;
  std::uint8_t ReadBlock(int block, std::uint8_t out[16]) override;
  std::uint8_t WriteBlock(int block, const std::uint8_t data[16]) override;
  std::uint8_t Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) override;

  std::optional<Bytes> Rats(std::uint8_t cid) override;
  bool Pps() override;
  bool Deselect() override;
  // nullopt: no layer 4 session.
  std::optional<Bytes> Exchange(const Bytes& command) override;
  std::optional<RawAnswer> RawExchange(const Bytes& data, int bits) override;

 private:
  enum class State { kIdle, kReady, kActive, kHalted };

  struct Session {  // Level 3 secure messaging
    bool authenticated = false;
    std::uint16_t keyAddress = 0;
    Block kEnc{}, kMac{};
    std::uint8_t ti[4]{};
    std::uint16_t readCounter = 0, writeCounter = 0;
    Bytes readMac;  // accumulated MAC input of read answers
  };
  struct PendingAuth {
    bool active = false;
    bool first = false;  // First Authenticate (else Following, or Level 2 over raw frames)
    bool raw = false;
    std::uint16_t address = 0;
    Block key{}, rndB{}, ivCommand{}, ivResponse{};
  };
  struct Crypto1Auth {
    bool valid = false;
    int sector = 0;
    bool keyB = false;
  };
  struct TransferBuffer {
    bool valid = false;
    std::int32_t value = 0;
    std::uint8_t address = 0;
  };

  void ResetVolatile();
  Bytes CurrentUid();
  std::array<std::uint8_t, 2> Atq() const;
  std::uint8_t FinalSak() const;
  bool FieldConfigSet(int byte) const;

  // CRYPTO1 helpers
  std::uint8_t Crypto1Condition(int block, bool* keyBUsable) const;
  bool Crypto1DataAllowed(int block, int op) const;
  void MaskTrailer(int block, std::uint8_t out[16]) const;
  bool MergeTrailer(int block, const std::uint8_t data[16], Block* merged) const;

  // Level 0
  std::uint8_t WritePerso(std::uint16_t address, const std::uint8_t data[16]);
  std::uint8_t CommitPerso();
  bool PersoAddressValid(std::uint16_t address) const;

  // Level 2 raw commands
  std::optional<RawAnswer> Level2Raw(const Bytes& data);
  std::optional<RawAnswer> ProximityRaw(const Bytes& data);

  // Level 3 commands (card_sl3.cpp)
  Bytes Sl3Dispatch(const Bytes& c);
  Bytes AuthStep1(const Bytes& c, bool first, bool raw);
  Bytes AuthStep2(const Bytes& c);
  std::uint8_t AuthAddressCheck(std::uint16_t address, bool first) const;
  Bytes Sl3Read(const Bytes& c);
  Bytes Sl3Write(const Bytes& c);
  Bytes Sl3Value(const Bytes& c);
  Bytes VcSupport(const Bytes& c, bool last);
  Bytes VcSelect(const Bytes& c);
  bool CommandMacValid(const Bytes& c, std::uint16_t counter) const;
  Bytes WriteAnswer(bool withMac) const;
  void SessionIvs(Block* command, Block* response) const;
  std::uint8_t DataBlockCheck(std::uint16_t block, int count, int op, bool plainRead) const;
  std::uint8_t AddressClassError(std::uint16_t address) const;
  std::uint8_t KeyWriteCheck(std::uint16_t address) const;
  bool ReadValueBlock(int block, std::int32_t* value, std::uint8_t* address) const;
  void StoreValueBlock(int block, std::int32_t value, std::uint8_t address);

  CardImage image_;
  Rng* rng_;
  bool changed_ = false;

  State state_ = State::kIdle;
  bool fromHalt_ = false;
  int cascade_ = 0;  // completed cascade levels
  Bytes uid_;        // the UID of this activation (random when RID is on)
  int activeLevel_ = 0;
  bool layer4_ = false;
  std::uint8_t cid_ = 0;

  Crypto1Auth crypto1_;
  bool level2Aes_ = false;
  Block level2Key_{};
  std::optional<std::pair<int, int>> pendingMultiWrite_;  // block, count

  Session session_;
  PendingAuth pending_;
  TransferBuffer transfer_;

  bool pcPrepared_ = false, pcChecked_ = false, pcDone_ = false;
  std::uint8_t rndC_[7]{};
  Bytes pcAnswer_;

  std::vector<Block> vcIids_;
  std::optional<Block> vcCryptogram_;
  bool vcSelected_ = false;
};

}  // namespace pelkin
