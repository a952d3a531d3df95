#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "access.h"

namespace pelkin {

namespace {

constexpr std::size_t kMaxData = 60;
constexpr char kInfo[] = "PELKIN MFP READER SIM 1.0";

std::uint8_t U8(std::size_t value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

std::int32_t Le32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

}  // namespace

std::uint8_t CheckByte(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < count; ++i) x = static_cast<std::uint8_t>(x ^ bytes[i]);
  return static_cast<std::uint8_t>(~x);
}

Bytes ResponseFrame(std::uint8_t control, std::uint8_t status, const Bytes& data) {
  const std::size_t length = std::min(data.size(), kMaxData);
  Bytes frame{control, status, U8(length)};
  frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
  frame.push_back(CheckByte(frame.data(), frame.size()));
  return frame;
}

Reader::Reader(CardImage card, const Eeprom& eeprom, std::optional<std::uint64_t> seed,
               Persist persist)
    : rng_(seed),
      ownedCard_(std::make_unique<Card>(std::move(card), &rng_)),
      simCard_(static_cast<Card*>(ownedCard_.get())),
      card_(*ownedCard_),
      eeprom_(eeprom),
      persist_(std::move(persist)),
      savedCard_(simCard_->image()),
      savedEeprom_(eeprom) {}

Reader::Reader(std::unique_ptr<CardInterface> card, const Eeprom& eeprom)
    : rng_(std::nullopt), ownedCard_(std::move(card)), card_(*ownedCard_), eeprom_(eeprom) {}

bool Reader::Save(std::string* error) {
  if (!persist_ || simCard_ == nullptr) return true;
  return persist_(simCard_->image(), eeprom_, error);
}

bool Reader::PersistChanges() {
  const bool cardChanged = simCard_ != nullptr && simCard_->TakeChanged();
  if (!(cardChanged || eepromChanged_) || !persist_) return true;
  eepromChanged_ = false;
  std::string error;
  if (Save(&error)) {
    savedCard_ = simCard_->image();
    savedEeprom_ = eeprom_;
    return true;
  }
  // A change that is not in the file did not happen: the card and the EEPROM
  // go back to what the file holds, and the command that made it fails.
  std::fprintf(stderr, "pelkin-sim: cannot save the card: %s\n", error.c_str());
  simCard_->Revert(savedCard_);
  eeprom_ = savedEeprom_;
  return false;
}

Reply Reader::Handle(const std::uint8_t* frame, std::size_t length) {
  Reply reply;
  if (frame == nullptr || length < 4 || length != frame[2] + 4u ||
      CheckByte(frame, length - 1) != frame[length - 1]) {
    reply.frame = ResponseFrame(0, kStBadFrame);
    return reply;
  }
  const Bytes data(frame + 3, frame + 3 + frame[2]);
  reply.frame = Dispatch(frame[1], data, frame[0]);
  // The card goes mute for a command whose change could not be saved.
  if (!PersistChanges()) reply.frame.clear();
  return reply;
}

Bytes Reader::Dispatch(std::uint8_t command, const Bytes& data, std::uint8_t control) {
  auto ok = [](const Bytes& out = {}) { return ResponseFrame(0, kStOk, out); };
  auto status = [](std::uint8_t code) { return ResponseFrame(0, code); };
  auto needs = [&](std::size_t n) { return data.size() == n; };
  const std::uint8_t* d = data.data();

  switch (command) {
    // ---- reader management
    case 0x3F:  // close
    case 0x50:  // set control bit
    case 0x51:  // clear control bit
    case 0x52:  // configure
      if (!needs(0)) return status(kStBadLength);
      if (command == 0x50) controlBits_ = 1;
      if (command == 0x51) controlBits_ = 0;
      return ok();
    case 0x4C: {  // load key: mode (bit 2: key B), index, key
      if (!needs(8)) return status(kStBadLength);
      if (d[1] >= 64) return status(kStBadAddress);
      std::memcpy(loadedKeys_[(d[0] & 0x04) ? 1 : 0][d[1]].data(), d + 2, 6);
      return ok();
    }
    case 0x4E:  // reset: the field goes off and on
      if (!needs(1)) return status(kStBadLength);
      card_.PowerCycle();
      tclReceiving_ = tclAnswering_ = false;
      return ok();
    case 0x4F: {
      if (!needs(0)) return status(kStBadLength);
      const std::string bridge = card_.Bridge();
      const std::string info = bridge.empty() ? kInfo : "PELKIN BRIDGE " + bridge;
      return ok(Bytes(info.begin(), info.end()));
    }
    case 0x60:  // buzzer
      return needs(4) ? ok() : status(kStBadLength);
    case 0x61: {  // read EEPROM
      if (!needs(2)) return status(kStBadLength);
      if (d[1] > kMaxData) return status(kStBadLength);
      if (d[0] + d[1] > static_cast<int>(kEepromSize)) return status(kStBadAddress);
      return ok(Bytes(eeprom_.begin() + d[0], eeprom_.begin() + d[0] + d[1]));
    }
    case 0x62: {  // write EEPROM
      if (data.size() < 2 || data.size() != d[1] + 2u) return status(kStBadLength);
      if (d[0] + d[1] > static_cast<int>(kEepromSize)) return status(kStBadAddress);
      std::memcpy(eeprom_.data() + d[0], d + 2, d[1]);
      eepromChanged_ = d[1] > 0;
      return ok();
    }

    // ---- ISO 14443-3 Type A
    case 0x41: {  // request: 1 = all cards (wake-up), 0 = idle cards
      if (!needs(1)) return status(kStBadLength);
      auto atq = card_.Request(d[0] == 1);
      if (!atq) return status(kStNoCard);
      return ok(Bytes{(*atq)[0], (*atq)[1]});
    }
    case 0x42:    // anticollision, cascade level 1
    case 0x71:    // anticollision with options: the first names the cascade level
    case 0x74: {  // anticollision at a cascade level: select code, bit count
      std::uint8_t selectCode = 0x93;
      if (command == 0x42 && !needs(1)) return status(kStBadLength);
      if (command != 0x42) {
        if (!needs(2)) return status(kStBadLength);
        if (command == 0x74 || d[0] == 0x95 || d[0] == 0x97) selectCode = d[0];
      }
      auto part = card_.Anticollision(selectCode);
      if (!part) return status(kStNoCard);
      return ok(Bytes{(*part)[0], (*part)[1], (*part)[2], (*part)[3]});
    }
    case 0x43:    // select, cascade level 1
    case 0x75: {  // select at a cascade level
      const bool cascade = command == 0x75;
      if (!needs(cascade ? 5 : 4)) return status(kStBadLength);
      auto sak = card_.Select(cascade ? d[0] : std::uint8_t{0x93}, d + (cascade ? 1 : 0));
      if (!sak) return status(kStNoCard);
      return ok(Bytes{*sak});
    }
    case 0x45:  // halt
      if (!needs(0)) return status(kStBadLength);
      card_.Halt();
      return ok();
    case 0x44:    // authenticate with a loaded key: mode, block
    case 0x72: {  // the same with an explicit key index: mode, block, index
      if (!needs(command == 0x44 ? 2 : 3)) return status(kStBadLength);
      const int sector = SectorOfBlock(d[1]);
      const std::size_t index =
          command == 0x44 ? static_cast<std::size_t>(sector & 63) : d[2] & 63u;
      const bool keyB = (d[0] & 0x04) != 0 || d[0] == 0x61;
      return status(
          card_.AuthenticateCrypto1(keyB, sector, loadedKeys_[keyB ? 1 : 0][index].data()));
    }
    case 0x73:  // authenticate with a key in the frame: mode, sector, key
      if (!needs(8)) return status(kStBadLength);
      return status(card_.AuthenticateCrypto1((d[0] & 0x04) != 0, d[1], d + 2));
    case 0x46: {
      if (!needs(1)) return status(kStBadLength);
      std::uint8_t block[16];
      const std::uint8_t result = card_.ReadBlock(d[0], block);
      return result == kStOk ? ok(Bytes(block, block + 16)) : status(result);
    }
    case 0x47:
      if (!needs(17)) return status(kStBadLength);
      return status(card_.WriteBlock(d[0], d + 1));
    case 0x70:  // value: mode, block, value, transfer block
      if (!card_.Supports(CardFeature::kValue)) return status(kStUnknownCommand);
      if (!needs(7)) return status(kStBadLength);
      return status(card_.Value(d[0], d[1], Le32(d + 2), d[6]));
    case 0x77:  // debit in place: mode, block, value
      if (!card_.Supports(CardFeature::kValue)) return status(kStUnknownCommand);
      if (!needs(6)) return status(kStBadLength);
      return status(card_.Value(0xC0, d[1], Le32(d + 2), d[1]));

    // ---- ISO 14443-4
    case 0x90:
      // With the two answer header bytes, so the host sees the status, not a short frame.
      if (!card_.Supports(CardFeature::kRawExchange) ||
          (data.size() > 2 && !card_.CarriesRaw(Bytes(data.begin() + 2, data.end())))) {
        return ResponseFrame(0, kStUnknownCommand, Bytes{0x00, 0x00});
      }
      return Raw(data);
    case 0x91: {
      if (!card_.Supports(CardFeature::kLayer4)) return status(kStUnknownCommand);
      if (!needs(1)) return status(kStBadLength);
      auto ats = card_.Rats(d[0]);
      if (!ats) return status(kStAtsError);
      return ok(*ats);
    }
    case 0x92:
      if (!card_.Supports(CardFeature::kLayer4)) return status(kStUnknownCommand);
      return card_.Pps() ? ok() : status(kStPpsError);
    case 0x93:
      if (!needs(0)) return status(kStBadLength);
      card_.Deselect();
      tclReceiving_ = tclAnswering_ = false;
      return ok();
    case 0x94:
      if (!card_.Supports(CardFeature::kLayer4)) {
        tclReceiving_ = tclAnswering_ = false;
        return ResponseFrame(control & 0x3F, kStUnknownCommand);
      }
      return Tcl(control, data);
    default:
      return status(kStUnknownCommand);
  }
}

Bytes Reader::Raw(const Bytes& data) {
  if (data.size() < 2) return ResponseFrame(0, kStBadLength);
  const int lastBits = data[0] & 0x07;
  Bytes payload(data.begin() + 2, data.end());
  int bits = static_cast<int>(payload.size()) * 8;
  if (lastBits != 0 && !payload.empty()) bits -= 8 - lastBits;
  auto answer = card_.RawExchange(payload, bits);
  if (!answer) return ResponseFrame(0, kStNoCard, Bytes{0x00, 0xFF});
  // The timer runs for the bits on the air in both directions.
  const int count = std::min(254, 2 + (bits + answer->bits) / 16);
  Bytes out(answer->bytes.size() + 2);
  out[0] = static_cast<std::uint8_t>(answer->bits % 8);
  out[1] = static_cast<std::uint8_t>(count);
  std::copy(answer->bytes.begin(), answer->bytes.end(), out.begin() + 2);
  return ResponseFrame(0, kStOk, out);
}

Bytes Reader::Tcl(std::uint8_t control, const Bytes& data) {
  const std::uint8_t sequence = control & 0x3F;
  const bool nextPart = (control & 0x80) != 0, more = (control & 0x40) != 0;
  auto fail = [&](std::uint8_t code) {
    tclReceiving_ = tclAnswering_ = false;
    return ResponseFrame(sequence, code);
  };
  auto chunk = [&]() {
    const std::size_t left = tclAnswer_.size() - tclOffset_;
    const std::size_t take = std::min(left, kMaxData);
    Bytes part(tclAnswer_.begin() + static_cast<std::ptrdiff_t>(tclOffset_),
               tclAnswer_.begin() + static_cast<std::ptrdiff_t>(tclOffset_ + take));
    tclOffset_ += take;
    tclAnswering_ = tclOffset_ < tclAnswer_.size();
    tclNextSequence_ = static_cast<std::uint8_t>((sequence + 1) & 0x3F);
    return ResponseFrame(static_cast<std::uint8_t>(0x80 | (tclAnswering_ ? 0x40 : 0) | sequence),
                         kStOk, part);
  };

  if (nextPart) {
    if (!tclAnswering_ || sequence != tclNextSequence_ || !data.empty()) return fail(kStSequence);
    return chunk();
  }
  if (sequence == 0) {  // the first frame of a new command
    tclCommand_.clear();
    tclReceiving_ = true;
    tclAnswering_ = false;
  } else if (!tclReceiving_ || sequence != tclNextSequence_) {
    return fail(kStSequence);
  }
  tclCommand_.insert(tclCommand_.end(), data.begin(), data.end());
  tclNextSequence_ = static_cast<std::uint8_t>((sequence + 1) & 0x3F);
  if (more) return ResponseFrame(static_cast<std::uint8_t>(0x40 | sequence), kStOk);

  tclReceiving_ = false;
  auto answer = card_.Exchange(tclCommand_);
  if (!answer) return fail(kStNoCard);
  tclAnswer_ = std::move(*answer);
  tclOffset_ = 0;
  return chunk();
}

}  // namespace pelkin
