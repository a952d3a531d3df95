#include "pcsc_paths.h"

#include <cctype>

#include "contactless_atr.h"

namespace hollink {

namespace {

std::uint8_t U8(std::size_t value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

// One BER-TLV object at `at`; false when the bytes end inside it.
bool NextObject(const Bytes& bytes, std::size_t* at, std::uint32_t* tag, Bytes* value) {
  std::size_t i = *at;
  if (i >= bytes.size()) return false;
  *tag = bytes[i++];
  if ((*tag & 0x1F) == 0x1F) {
    do {
      if (i >= bytes.size()) return false;
      *tag = (*tag << 8) | bytes[i];
    } while ((bytes[i++] & 0x80) != 0);
  }
  if (i >= bytes.size()) return false;
  std::size_t length = bytes[i++];
  if (length == 0x81 || length == 0x82) {
    const std::size_t count = length - 0x80;
    if (i + count > bytes.size()) return false;
    length = 0;
    for (std::size_t k = 0; k < count; ++k) length = (length << 8) | bytes[i++];
  } else if (length > 0x80) {
    return false;
  }
  if (i + length > bytes.size()) return false;
  value->assign(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                bytes.begin() + static_cast<std::ptrdiff_t>(i + length));
  *at = i + length;
  return true;
}

void AppendObject(Bytes* out, std::uint8_t tag, const Bytes& value) {
  out->push_back(tag);
  if (value.size() > 0xFF) {
    out->insert(out->end(), {0x82, U8(value.size() >> 8), U8(value.size())});
  } else if (value.size() > 0x7F) {
    out->insert(out->end(), {0x81, U8(value.size())});
  } else {
    out->push_back(U8(value.size()));
  }
  out->insert(out->end(), value.begin(), value.end());
}

}  // namespace

std::string DescribePaths(const ReaderPaths& paths) {
  const char* raw = paths.raw == ReaderPaths::Raw::kSession ? "part3"
                    : paths.raw == ReaderPaths::Raw::kPn532 ? "pn532"
                                                            : "none";
  const char* value = paths.valueApdus                        ? "apdu"
                      : paths.raw == ReaderPaths::Raw::kPn532 ? "pn532"
                                                              : "none";
  return std::string("raw:") + raw + " value:" + value;
}

int ChooseReader(const std::vector<std::string>& names, const std::vector<Bytes>& atrs,
                 const std::string& prefix) {
  if (!prefix.empty()) {
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    return -1;
  }
  if (names.empty()) return -1;
  auto contactlessName = [](std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name.find("picc") != std::string::npos ||
           name.find("contactless") != std::string::npos || name.find(" cl ") != std::string::npos;
  };
  for (std::size_t i = 0; i < names.size(); ++i)
    if (contactlessName(names[i])) return static_cast<int>(i);
  for (std::size_t i = 0; i < names.size() && i < atrs.size(); ++i)
    if (pelkin::ParseContactlessAtr(atrs[i])) return static_cast<int>(i);
  return 0;
}

std::uint16_t CrcA(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t crc = 0x6363;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(bytes[i] ^ (crc & 0xFF));
    b = static_cast<std::uint8_t>(b ^ (b << 4));
    crc = static_cast<std::uint16_t>((crc >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4));
  }
  return crc;
}

void AppendCrcA(Bytes* frame) {
  const std::uint16_t crc = CrcA(frame->data(), frame->size());
  frame->push_back(U8(crc));
  frame->push_back(U8(crc >> 8));
}

bool CrcAMatches(const Bytes& frame) {
  if (frame.size() < 3) return false;
  const std::uint16_t crc = CrcA(frame.data(), frame.size() - 2);
  return frame[frame.size() - 2] == U8(crc) && frame.back() == U8(crc >> 8);
}

Bytes SessionApdu(std::uint8_t function, const Bytes& objects) {
  Bytes apdu{0xFF, 0xC2, 0x00, function, U8(objects.size())};
  apdu.insert(apdu.end(), objects.begin(), objects.end());
  return apdu;
}

SessionAnswer ParseSessionAnswer(const Bytes& answer) {
  SessionAnswer parsed;
  if (answer.size() < 2) return parsed;
  const bool outerOk = answer[answer.size() - 2] == 0x90 && answer.back() == 0x00;
  const Bytes objects(answer.begin(), answer.end() - 2);
  std::size_t at = 0;
  std::uint32_t tag = 0;
  Bytes value;
  while (NextObject(objects, &at, &tag, &value)) {
    switch (tag) {
      case 0xC0:
        if (value.size() == 3)
          parsed.status = static_cast<std::uint16_t>((value[1] << 8) | value[2]);
        break;
      case 0x92:
        if (value.size() == 1) parsed.lastBits = value[0] & 0x07;
        break;
      case 0x96:
        if (!value.empty()) parsed.errors = value[0];
        break;
      case 0x97:
        parsed.card = value;
        break;
      case 0x8F:
        if (value.size() == 1) parsed.sak = value[0];
        break;
      case 0x5F51:
        parsed.atr = value;
        break;
      case 0x80:
        parsed.version = value;
        break;
      default:
        break;
    }
  }
  parsed.ok = outerOk && parsed.status == 0x9000;
  return parsed;
}

Bytes TransceiveObjects(const Bytes& data, int bits, bool txCrc, bool rxCrc) {
  // b4: the host frames the blocks itself, the reader adds no prologue.
  const std::uint8_t flags = U8((txCrc ? 0 : 0x01) | (rxCrc ? 0 : 0x02) | 0x10);
  Bytes objects{0x90, 0x02, 0x00, flags};
  const int lastBits = bits % 8;
  objects.insert(objects.end(), {0x91, 0x01, U8(lastBits)});
  AppendObject(&objects, 0x95, data);
  return objects;
}

Bytes Pn532Apdu(const Bytes& command) {
  Bytes apdu{0xFF, 0x00, 0x00, 0x00, U8(command.size() + 1), 0xD4};
  apdu.insert(apdu.end(), command.begin(), command.end());
  return apdu;
}

std::optional<Bytes> ParsePn532Answer(const Bytes& command, const Bytes& answer) {
  if (command.empty() || answer.size() < 4) return std::nullopt;
  if (answer[answer.size() - 2] != 0x90 || answer.back() != 0x00) return std::nullopt;
  if (answer[0] != 0xD5 || answer[1] != U8(command[0] + 1)) return std::nullopt;
  return Bytes(answer.begin() + 2, answer.end() - 2);
}

std::optional<Pn532Target> ParseListedTarget(const Bytes& data) {
  // NbTg, Tg, SENS_RES (2), SEL_RES, NFCID length, NFCID, then the ATS if any.
  if (data.size() < 6 || data[0] != 1) return std::nullopt;
  const std::size_t uidLength = data[5];
  if (uidLength != 4 && uidLength != 7 && uidLength != 10) return std::nullopt;
  if (data.size() < 6 + uidLength) return std::nullopt;
  Pn532Target target;
  // The chip writes SENS_RES most significant byte first.
  target.atq[0] = data[3];
  target.atq[1] = data[2];
  target.sak = data[4];
  target.uid.assign(data.begin() + 6, data.begin() + 6 + static_cast<std::ptrdiff_t>(uidLength));
  const std::size_t atsAt = 6 + uidLength;
  if (data.size() > atsAt) {
    if (data[atsAt] != data.size() - atsAt) return std::nullopt;
    target.ats.assign(data.begin() + static_cast<std::ptrdiff_t>(atsAt), data.end());
  }
  return target;
}

}  // namespace hollink
