// The transparent session of the PC/SC contactless extensions (FF C2 00 P2 Lc
// BER-TLV data objects): P2 00 manage session, 01 transparent exchange, 02
// switch protocol. Every answer is data objects, the command's own status in
// C0 03 <index of the failing object, 00 for none> SW1 SW2 first, then 90 00.
#include <algorithm>
#include <bit>
#include <vector>

#include "card.h"
#include "virtual_pcsc_card.h"

namespace pelkin {

namespace {

// Transmission and reception flags (object 90, two bytes, MSB first).
constexpr std::uint16_t kNoCrcTx = 0x0001;     // the host's bytes carry their own CRC (or none)
constexpr std::uint16_t kKeepCrcRx = 0x0002;   // the card's CRC is neither checked nor removed
constexpr std::uint16_t kNoParityTx = 0x0004;  // the host supplies the parity bits
constexpr std::uint16_t kNoParityRx = 0x0008;  // the card's parity bits come back as data
constexpr std::uint16_t kNoPrologue = 0x0010;  // the reader adds and strips no PCB/CID/NAD
constexpr std::uint16_t kKnownFlags = 0x001F;

// Error flags of object 96 (first byte).
constexpr std::uint8_t kErrorCrc = 0x01;

struct DataObject {
  std::uint16_t tag = 0;
  Bytes value;
};

bool ParseObjects(const Bytes& data, std::vector<DataObject>* out) {
  std::size_t at = 0;
  while (at < data.size()) {
    DataObject object;
    object.tag = data[at++];
    if ((object.tag & 0x1F) == 0x1F) {  // two-byte tag
      if (at >= data.size()) return false;
      object.tag = static_cast<std::uint16_t>((object.tag << 8) | data[at++]);
    }
    if (at >= data.size()) return false;
    std::size_t length = data[at++];
    if (length == 0x81 || length == 0x82) {
      const std::size_t bytes = length - 0x80;
      if (at + bytes > data.size()) return false;
      length = 0;
      for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | data[at++];
    } else if (length > 0x80) {
      return false;
    }
    if (at + length > data.size()) return false;
    object.value.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    out->push_back(std::move(object));
  }
  return true;
}

void AppendObject(Bytes* out, std::uint16_t tag, const Bytes& value) {
  if (tag > 0xFF) out->push_back(static_cast<std::uint8_t>(tag >> 8));
  out->push_back(static_cast<std::uint8_t>(tag));
  if (value.size() >= 0x80) out->push_back(0x81);
  out->push_back(static_cast<std::uint8_t>(value.size()));
  out->insert(out->end(), value.begin(), value.end());
}

// C0 with the status, the answer objects, then the reader's own 90 00.
Bytes Answer(std::size_t index, std::uint8_t sw1, std::uint8_t sw2, const Bytes& objects = {}) {
  Bytes out{0xC0, 0x03, static_cast<std::uint8_t>(index), sw1, sw2};
  out.insert(out.end(), objects.begin(), objects.end());
  out.push_back(0x90);
  out.push_back(0x00);
  return out;
}

// The received bits with each whole byte's parity bit after it, packed LSB first.
Bytes WithParityBits(const Bytes& bytes, int bits, int* outBits) {
  Bytes out;
  int n = 0;
  auto put = [&](bool bit) {
    if (n % 8 == 0) out.push_back(0);
    if (bit) out.back() = static_cast<std::uint8_t>(out.back() | (1 << (n % 8)));
    ++n;
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int valid = std::min(8, bits - static_cast<int>(i) * 8);
    for (int b = 0; b < valid; ++b) put(((bytes[i] >> b) & 1) != 0);
    if (valid == 8) put(std::popcount(bytes[i]) % 2 == 0);  // odd parity
  }
  *outBits = n;
  return out;
}

}  // namespace

Bytes VirtualPcscCard::TransparentCommand(const Bytes& apdu) {
  if (apdu.size() < 5) return Bytes{0x67, 0x00};
  if (apdu[2] != 0x00 || apdu[3] > 0x02) return Bytes{0x6A, 0x81};
  const std::size_t lc = apdu[4];
  // Lc and the data objects, with or without Le.
  if (apdu.size() != 5 + lc && apdu.size() != 6 + lc) return Bytes{0x67, 0x00};
  std::vector<DataObject> objects;
  const Bytes data(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
  if (lc == 0 || !ParseObjects(data, &objects)) return Answer(0, 0x67, 0x00);
  switch (apdu[3]) {
    case 0x00:
      return ManageSession(data);
    case 0x01:
      return TransparentExchange(data);
    default:
      return SwitchProtocol(data);
  }
}

Bytes VirtualPcscCard::ManageSession(const Bytes& data) {
  std::vector<DataObject> objects;
  ParseObjects(data, &objects);
  Bytes out;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const DataObject& object = objects[i];
    const std::size_t index = i + 1;
    const bool empty = object.value.empty();
    switch (object.tag) {
      case 0x80:  // version of this reader's transparent session: 1.0.0
        if (!empty) return Answer(index, 0x67, 0x00, out);
        AppendObject(&out, 0x80, {0x01, 0x00, 0x00});
        break;
      case 0x81:  // start: the reader stops its own polling and takes frames
        if (!empty) return Answer(index, 0x67, 0x00, out);
        session_ = true;
        exchangeFlags_ = 0;
        received_.reset();
        break;
      case 0x82:  // end: the reader activates the card again as it does by itself
        if (!empty) return Answer(index, 0x67, 0x00, out);
        session_ = false;
        exchangeFlags_ = 0;
        received_.reset();
        fieldOn_ = true;
        Activate(true);
        break;
      case 0x83:  // RF off
      case 0x84:  // RF on: the card powers up idle
        if (!empty) return Answer(index, 0x67, 0x00, out);
        if (!session_) return Answer(index, 0x69, 0x85, out);
        card_->PowerCycle();
        air_.Reset();
        fieldOn_ = object.tag == 0x84;
        break;
      case 0x5F46:  // timer, microseconds, MSB first
        if (object.value.size() != 4) return Answer(index, 0x67, 0x00, out);
        timerUs_ = (std::uint32_t{object.value[0]} << 24) | (std::uint32_t{object.value[1]} << 16) |
                   (std::uint32_t{object.value[2]} << 8) | object.value[3];
        break;
      case 0xFF6D: {  // get parameters: each asked tag with an empty value
        std::vector<DataObject> asked;
        if (!ParseObjects(object.value, &asked)) return Answer(index, 0x67, 0x00, out);
        const bool ats = ats_.size() >= 2;
        const std::uint8_t t0 = ats ? ats_[1] : 0;
        // TB1 follows TA1 when T0 announces both.
        const std::size_t tb1 = 2 + ((t0 & 0x10) != 0 ? 1 : 0);
        Bytes values;
        for (const DataObject& tag : asked) {
          Bytes value;
          switch (tag.tag) {
            case 0x01:  // FSDI: the reader takes 256-byte frames
              value = {0x08};
              break;
            case 0x02:  // FSCI from the ATS
              if (ats) value = {static_cast<std::uint8_t>(t0 & 0x0F)};
              break;
            case 0x03:  // FWI from the ATS
              if (ats && (t0 & 0x20) != 0 && tb1 < ats_.size())
                value = {static_cast<std::uint8_t>(ats_[tb1] >> 4)};
              break;
            case 0x04:  // highest speed: 106 kbit/s only
            case 0x05:  // speed in use: 106 kbit/s both ways
            case 0x06:  // modulation index (Type A: 100 % ASK)
            case 0x08:  // CID
            case 0x09:  // NAD
              value = {0x00};
              break;
            case 0x07:  // PCB of the next I-block
              value = {0x02};
              break;
            default:
              return Answer(index, 0x6A, 0x81, out);
          }
          AppendObject(&values, tag.tag, value);
        }
        AppendObject(&out, 0xFF6D, values);
        break;
      }
      case 0xFF6E: {  // set parameters: accepted, nothing here depends on them
        std::vector<DataObject> settings;
        if (!ParseObjects(object.value, &settings)) return Answer(index, 0x67, 0x00, out);
        for (const DataObject& setting : settings) {
          if (setting.tag < 0x01 || setting.tag > 0x09) return Answer(index, 0x6A, 0x81, out);
          if (setting.value.size() != 1) return Answer(index, 0x67, 0x00, out);
        }
        break;
      }
      default:
        return Answer(index, 0x6A, 0x81, out);
    }
  }
  return Answer(0, 0x90, 0x00, out);
}

bool VirtualPcscCard::ExchangeFrame(const Bytes& data, int lastBits, Bytes* objects) {
  // A frame without parity bits means nothing to a card that does not encipher them.
  if (!fieldOn_ || data.empty() || (exchangeFlags_ & kNoParityTx) != 0) return false;
  Bytes received;
  int bits = 0;
  if ((exchangeFlags_ & kNoPrologue) == 0 && air_.layer4()) {
    // The reader runs the block protocol: the host's bytes are the card command.
    auto answer = card_->Exchange(data);
    if (!answer) return false;
    received = std::move(*answer);
    bits = static_cast<int>(received.size() * 8);
  } else {
    Bytes frame = data;
    int frameBits = static_cast<int>(data.size() * 8) - (lastBits != 0 ? 8 - lastBits : 0);
    if ((exchangeFlags_ & kNoCrcTx) == 0) {
      frame = WithCrcA(frame);
      frameBits += 16;
    }
    auto answer = air_.Transceive(frame, frameBits);
    if (!answer) return false;
    received = std::move(answer->bytes);
    bits = answer->bits;
    std::uint8_t errors = 0;
    if ((exchangeFlags_ & kKeepCrcRx) == 0) {
      if (bits == static_cast<int>(received.size() * 8) && CrcAValid(received)) {
        received.resize(received.size() - 2);
        bits -= 16;
      } else {
        errors |= kErrorCrc;
      }
    }
    if ((exchangeFlags_ & kNoParityRx) != 0) received = WithParityBits(received, bits, &bits);
    if (bits % 8 != 0) AppendObject(objects, 0x92, {static_cast<std::uint8_t>(bits % 8)});
    if (errors != 0) AppendObject(objects, 0x96, {errors, 0x00});
  }
  AppendObject(objects, 0x97, received);
  return true;
}

Bytes VirtualPcscCard::TransparentExchange(const Bytes& data) {
  std::vector<DataObject> objects;
  ParseObjects(data, &objects);
  if (!session_) return Answer(1, 0x69, 0x85);
  Bytes out;
  int lastBits = 0;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const DataObject& object = objects[i];
    const std::size_t index = i + 1;
    switch (object.tag) {
      case 0x90: {
        if (object.value.size() != 2) return Answer(index, 0x67, 0x00, out);
        const auto flags = static_cast<std::uint16_t>((object.value[0] << 8) | object.value[1]);
        if ((flags & ~kKnownFlags) != 0) return Answer(index, 0x6A, 0x80, out);
        exchangeFlags_ = flags;
        break;
      }
      case 0x91:  // valid bits of the last byte sent (0: all)
      case 0x92:  // valid bits expected in the last byte received: the answer says
        if (object.value.size() != 1) return Answer(index, 0x67, 0x00, out);
        if ((object.value[0] & 0xF8) != 0) return Answer(index, 0x6A, 0x80, out);
        if (object.tag == 0x91) lastBits = object.value[0];
        break;
      case 0x5F46:
        if (object.value.size() != 4) return Answer(index, 0x67, 0x00, out);
        break;
      case 0x93:  // transmit: the answer waits for a receive object
      case 0x95: {
        Bytes answer;
        const bool answered = ExchangeFrame(object.value, lastBits, &answer);
        lastBits = 0;
        if (object.tag == 0x93) {
          if (answered)
            received_ = answer;
          else
            received_.reset();
          break;
        }
        if (!answered) return Answer(index, 0x64, 0x01, out);
        out.insert(out.end(), answer.begin(), answer.end());
        break;
      }
      case 0x94:
        if (!object.value.empty()) return Answer(index, 0x67, 0x00, out);
        if (!received_) return Answer(index, 0x64, 0x01, out);
        out.insert(out.end(), received_->begin(), received_->end());
        received_.reset();
        break;
      default:
        return Answer(index, 0x6A, 0x81, out);
    }
  }
  return Answer(0, 0x90, 0x00, out);
}

Bytes VirtualPcscCard::SwitchProtocol(const Bytes& data) {
  std::vector<DataObject> objects;
  ParseObjects(data, &objects);
  const DataObject& object = objects.front();
  if (objects.size() != 1 || object.tag != 0x8F) return Answer(1, 0x6A, 0x81);
  if (object.value.size() != 2) return Answer(1, 0x67, 0x00);
  // ISO 14443-A only, up to select (layer 3) or activated (layer 4).
  const std::uint8_t standard = object.value[0], layer = object.value[1];
  if (standard != 0x00 || (layer != 0x03 && layer != 0x04)) return Answer(1, 0x6A, 0x81);
  auto sak = Activate(layer == 0x04);
  if (!sak) return Answer(1, 0x64, 0x01);
  Bytes out;
  if (layer == 0x03) {
    AppendObject(&out, 0x8F, {*sak});
  } else {
    // A card whose SAK offers no ISO 14443-4 gets no RATS from the reader.
    if (!layer4_) return Answer(1, 0x64, 0x01);
    AppendObject(&out, 0x5F51, atr_);
  }
  return Answer(0, 0x90, 0x00, out);
}

}  // namespace pelkin
