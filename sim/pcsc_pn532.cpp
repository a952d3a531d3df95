// Readers built on the PN532 chip: the reader's firmware query FF 00 48 00 00
// (ASCII, no status word) and its direct transmit FF 00 00 00 Lc <D4 command>,
// answered with the chip's D5 answer and 90 00. The chip lists one Type A target
// at 106 kbit/s (with RATS when its SAK offers ISO 14443-4), passes raw frames
// with CRC, parity and bit framing as its registers say, and exchanges data
// with the listed target: T=CL for a layer 4 target, MIFARE commands otherwise.
#include "access.h"
#include "card.h"
#include "virtual_pcsc_card.h"

namespace pelkin {

namespace {

constexpr char kFirmware[] = "PELKIN-532";

// Registers of the chip's contactless interface unit that change how frames go.
constexpr std::uint16_t kRegTxMode = 0x6302;      // bit 7: CRC appended on transmit
constexpr std::uint16_t kRegRxMode = 0x6303;      // bit 7: CRC checked and removed on receive
constexpr std::uint16_t kRegManualRcv = 0x630D;   // bit 4: parity off
constexpr std::uint16_t kRegControl = 0x633C;     // bits 0-2: valid bits of the last byte received
constexpr std::uint16_t kRegBitFraming = 0x633D;  // bits 0-2: valid bits of the last byte sent

// Status bytes of the chip's answers.
constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kTimeout = 0x01;
constexpr std::uint8_t kCrcError = 0x02;
constexpr std::uint8_t kMifareError = 0x14;
constexpr std::uint8_t kNotAcceptable = 0x27;

// The reader's word for a chip command it could not run.
const Bytes kBadCommand{0x63, 0x7F};

Bytes ChipAnswer(std::uint8_t code, Bytes data = {}) {
  Bytes out{0xD5, code};
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(0x90);
  out.push_back(0x00);
  return out;
}

}  // namespace

std::uint8_t VirtualPcscCard::Register(std::uint16_t address) const {
  auto it = registers_.find(address);
  if (it != registers_.end()) return it->second;
  switch (address) {
    case kRegTxMode:
    case kRegRxMode:
      return 0x80;  // 106 kbit/s Type A with CRC
    case kRegControl:
      return 0x10;  // initiator
    default:
      return 0x00;
  }
}

Bytes VirtualPcscCard::Pn532Escape(const Bytes& apdu) {
  if (apdu.size() < 4) return Bytes{0x67, 0x00};
  const std::uint8_t p1 = apdu[2], p2 = apdu[3];
  if (p1 == 0x48 && p2 == 0x00) {
    if (apdu.size() != 5) return Bytes{0x67, 0x00};
    return Bytes(kFirmware, kFirmware + sizeof kFirmware - 1);
  }
  if (p1 != 0x00 || p2 != 0x00) return Bytes{0x6A, 0x81};
  if (apdu.size() < 5 || apdu.size() != 5u + apdu[4]) return Bytes{0x67, 0x00};
  const Bytes command(apdu.begin() + 5, apdu.end());
  if (command.size() < 2 || command[0] != 0xD4) return kBadCommand;
  return Pn532Command(command);
}

Bytes VirtualPcscCard::Pn532Command(const Bytes& command) {
  const std::uint8_t code = command[1];
  const Bytes args(command.begin() + 2, command.end());
  const auto answerCode = static_cast<std::uint8_t>(code + 1);
  switch (code) {
    case 0x02:  // GetFirmwareVersion: IC, version, revision, supported targets
      if (!args.empty()) return kBadCommand;
      return ChipAnswer(answerCode, {0x32, 0x01, 0x06, 0x07});
    case 0x06: {  // ReadRegister: address pairs, MSB first
      if (args.empty() || args.size() % 2 != 0) return kBadCommand;
      Bytes values;
      for (std::size_t i = 0; i < args.size(); i += 2)
        values.push_back(Register(static_cast<std::uint16_t>((args[i] << 8) | args[i + 1])));
      return ChipAnswer(answerCode, values);
    }
    case 0x08:  // WriteRegister: address (MSB first), value
      if (args.empty() || args.size() % 3 != 0) return kBadCommand;
      for (std::size_t i = 0; i < args.size(); i += 3)
        registers_[static_cast<std::uint16_t>((args[i] << 8) | args[i + 1])] = args[i + 2];
      return ChipAnswer(answerCode);
    case 0x32:  // RFConfiguration: item 01 switches the field (bit 0)
      if (args.empty()) return kBadCommand;
      if (args[0] == 0x01) {
        if (args.size() != 2) return kBadCommand;
        card_->PowerCycle();
        air_.Reset();
        fieldOn_ = (args[1] & 0x01) != 0;
        targetListed_ = targetLayer4_ = false;
        pendingValue_.reset();
      }
      return ChipAnswer(answerCode);
    case 0x4A:
      return InListPassiveTarget(args);
    case 0x42:
      return InCommunicateThru(args);
    case 0x40:
      return InDataExchange(args);
    case 0x44:    // InDeselect
    case 0x52: {  // InRelease
      if (args.size() != 1) return kBadCommand;
      if (!targetListed_ || (args[0] != 0x00 && args[0] != 0x01))
        return ChipAnswer(answerCode, {kNotAcceptable});
      if (targetLayer4_) card_->Deselect();
      air_.Reset();
      targetLayer4_ = false;
      pendingValue_.reset();
      if (code == 0x52) targetListed_ = false;
      return ChipAnswer(answerCode, {kOk});
    }
    default:
      return kBadCommand;
  }
}

Bytes VirtualPcscCard::InListPassiveTarget(const Bytes& args) {
  // MaxTg (1 or 2), BrTy, initiator data.
  if (args.size() < 2 || args[0] < 1 || args[0] > 2 || args[1] > 0x04) return kBadCommand;
  targetListed_ = targetLayer4_ = false;
  pendingValue_.reset();
  // Only Type A at 106 kbit/s (BrTy 00) finds this card.
  auto sak = args[1] == 0x00 ? Activate(true) : std::nullopt;
  if (!sak) return ChipAnswer(0x4B, {0x00});
  targetListed_ = true;
  targetLayer4_ = layer4_;
  // Tg, SENS_RES (the ATQ, most significant byte first), SEL_RES, NFCID1, ATS.
  Bytes target{0x01, 0x01, atq_[1], atq_[0], *sak, static_cast<std::uint8_t>(uid_.size())};
  target.insert(target.end(), uid_.begin(), uid_.end());
  if (layer4_) target.insert(target.end(), ats_.begin(), ats_.end());
  return ChipAnswer(0x4B, target);
}

Bytes VirtualPcscCard::InCommunicateThru(const Bytes& data) {
  if (data.empty()) return kBadCommand;
  const bool txCrc = (Register(kRegTxMode) & 0x80) != 0;
  const bool rxCrc = (Register(kRegRxMode) & 0x80) != 0;
  const bool noParity = (Register(kRegManualRcv) & 0x10) != 0;
  const int lastBits = Register(kRegBitFraming) & 0x07;
  // Without parity bits the card, which does not encipher them, hears noise.
  if (!fieldOn_ || noParity) return ChipAnswer(0x43, {kTimeout});
  Bytes frame = data;
  int bits = static_cast<int>(data.size() * 8) - (lastBits != 0 ? 8 - lastBits : 0);
  if (txCrc) {
    frame = WithCrcA(frame);
    bits += 16;
  }
  auto answer = air_.Transceive(frame, bits);
  if (!answer) return ChipAnswer(0x43, {kTimeout});
  registers_[kRegControl] =
      static_cast<std::uint8_t>((Register(kRegControl) & 0xF8) | (answer->bits % 8));
  Bytes received = std::move(answer->bytes);
  if (rxCrc) {
    if (answer->bits != static_cast<int>(received.size() * 8) || !CrcAValid(received))
      return ChipAnswer(0x43, {kCrcError});
    received.resize(received.size() - 2);
  }
  received.insert(received.begin(), kOk);
  return ChipAnswer(0x43, received);
}

Bytes VirtualPcscCard::InDataExchange(const Bytes& args) {
  if (args.empty()) return kBadCommand;
  // Tg (bit 6 would announce more data to come: not used for these short commands).
  if (!targetListed_ || (args[0] & 0x0F) != 0x01 || !fieldOn_)
    return ChipAnswer(0x41, {kNotAcceptable});
  const Bytes data(args.begin() + 1, args.end());
  if (!targetLayer4_) return ClassicDataExchange(data);
  auto answer = card_->Exchange(data);
  if (!answer) return ChipAnswer(0x41, {kTimeout});
  answer->insert(answer->begin(), kOk);
  return ChipAnswer(0x41, *answer);
}

// MIFARE Classic commands, which the chip carries out with its own CRYPTO1 unit:
// 60/61 block key UID (authenticate with key A/B), 30 block (read), A0 block
// data (write), C0/C1/C2 block value (decrement, increment, restore; value LSB
// first) followed by B0 block (transfer). Anything else goes to the card as a
// frame with CRC.
Bytes VirtualPcscCard::ClassicDataExchange(const Bytes& data) {
  auto status = [](std::uint8_t code, Bytes out = {}) {
    out.insert(out.begin(), code);
    return ChipAnswer(0x41, out);
  };
  if (data.empty()) return kBadCommand;
  const std::uint8_t code = data[0];
  if ((code == 0x60 || code == 0x61) && data.size() == 12) {
    pendingValue_.reset();
    const std::uint8_t result =
        card_->AuthenticateCrypto1(code == 0x61, SectorOfBlock(data[1]), data.data() + 2);
    return status(result == kStOk ? kOk : kMifareError);
  }
  if (code == 0x30 && data.size() == 2) {
    std::uint8_t out[16];
    if (card_->ReadBlock(data[1], out) != kStOk) return status(kMifareError);
    return status(kOk, Bytes(out, out + 16));
  }
  if (code == 0xA0 && data.size() == 18) {
    return status(card_->WriteBlock(data[1], data.data() + 2) == kStOk ? kOk : kMifareError);
  }
  if ((code == 0xC0 || code == 0xC1 || code == 0xC2) && data.size() == 6) {
    const auto value =
        static_cast<std::int32_t>(std::uint32_t{data[2]} | (std::uint32_t{data[3]} << 8) |
                                  (std::uint32_t{data[4]} << 16) | (std::uint32_t{data[5]} << 24));
    pendingValue_ = PendingValue{code, data[1], value};
    return status(kOk);
  }
  if (code == 0xB0 && data.size() == 2) {
    if (!pendingValue_) return status(kMifareError);
    const PendingValue op = *pendingValue_;
    pendingValue_.reset();
    return status(card_->Value(op.mode, op.block, op.value, data[1]) == kStOk ? kOk : kMifareError);
  }
  auto answer = air_.Transceive(WithCrcA(data), static_cast<int>(data.size() * 8 + 16));
  if (!answer) return status(kTimeout);
  if (answer->bits != static_cast<int>(answer->bytes.size() * 8) || !CrcAValid(answer->bytes))
    return status(kMifareError);
  return status(kOk, Bytes(answer->bytes.begin(), answer->bytes.end() - 2));
}

}  // namespace pelkin
