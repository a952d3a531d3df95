#include "trace.h"

#include <cstdio>
#include <sstream>

#include "bytes.h"
#include "status.h"

namespace cardtools {

namespace {

std::string H8(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

std::string Field(const std::vector<int>& bytes, std::size_t from, std::size_t count) {
  std::string out;
  for (std::size_t i = from; i < from + count && i < bytes.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += H8(bytes[i]);
  }
  return out;
}

int Le16(const std::vector<int>& bytes, std::size_t at) {
  if (at + 1 >= bytes.size()) return -1;
  return bytes[at] | (bytes[at + 1] << 8);
}

std::string Address(int value) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
  return text;
}

const char* ReaderCommandName(int command) {
  switch (command) {
    case 0x3F:
      return "reader close";
    case 0x41:
      return "request (REQA/WUPA)";
    case 0x42:
      return "anticollision";
    case 0x43:
      return "select";
    case 0x44:
      return "CRYPTO1 authentication with a loaded key";
    case 0x45:
      return "halt";
    case 0x46:
      return "read block";
    case 0x47:
      return "write block";
    case 0x4C:
      return "load key into the reader";
    case 0x4E:
      return "reader reset (field off and on)";
    case 0x4F:
      return "reader information";
    case 0x50:
      return "set control bit";
    case 0x51:
      return "clear control bit";
    case 0x52:
      return "reader configuration";
    case 0x60:
      return "buzzer";
    case 0x61:
      return "read reader EEPROM";
    case 0x62:
      return "write reader EEPROM";
    case 0x70:
      return "value operation";
    case 0x71:
      return "anticollision with options";
    case 0x72:
      return "CRYPTO1 authentication with a key index";
    case 0x73:
      return "CRYPTO1 authentication with a key";
    case 0x74:
      return "anticollision at a cascade level";
    case 0x75:
      return "select at a cascade level";
    case 0x77:
      return "debit in place";
    case 0x90:
      return "raw exchange";
    case 0x91:
      return "RATS";
    case 0x92:
      return "PPS";
    case 0x93:
      return "deselect";
    case 0x94:
      return "T=CL transfer";
    default:
      return "unknown reader command";
  }
}

// The protection a Level 3 read or write code asks for.
std::string Protection(int code, bool read) {
  std::string out;
  out += (code & 0x02) ? "plain data" : "encrypted data";
  if (read) out += (code & 0x04) ? ", no command MAC" : ", command MAC";
  out += (code & 0x01) ? ", answer MAC" : ", no answer MAC";
  return out;
}

}  // namespace

bool TraceDecoder::Feed(const std::string& line, std::optional<TraceEntry>* entry,
                        std::string* error) {
  entry->reset();
  std::istringstream in(line);
  TraceEntry e;
  std::string date, time, direction;
  if (!(in >> date)) return true;  // blank
  if (!(in >> time >> direction) || date.size() != 10 || (direction != ">" && direction != "<")) {
    *error = "not a frame trace line";
    return false;
  }
  e.time = date + " " + time;
  e.direction = direction[0];
  std::string token;
  while (in >> token) {
    if (token[0] == '(') {
      std::string rest;
      std::getline(in, rest);
      e.note = token + rest;
      break;
    }
    if (token == "**") {
      e.bytes.push_back(std::nullopt);
      continue;
    }
    auto byte = ParseHexSized(token, 1);
    if (!byte || token.size() != 2) {
      *error = "'" + token + "' is not a byte";
      return false;
    }
    e.bytes.push_back((*byte)[0]);
  }
  ++frames_;
  if (e.direction == '>') {
    Request(&e);
  } else {
    Response(&e);
  }
  *entry = std::move(e);
  return true;
}

void TraceDecoder::Request(TraceEntry* e) {
  auto& out = e->annotations;
  const auto& b = e->bytes;
  if (b == lastRequest_ && lastFailed_) {
    ++attempt_;
    ++retries_;
    out.push_back("retry: attempt " + std::to_string(attempt_) + " of the same request");
  } else {
    attempt_ = 1;
  }
  lastRequest_ = b;
  lastFailed_ = false;
  if (!e->note.empty()) {
    ++failures_;
    lastFailed_ = true;
    out.push_back("error: the write to the reader failed " + e->note);
  }
  if (b.size() < 4 || !b[1] || !b[2]) {
    out.push_back("error: too short for a reader frame");
    requestCommand_ = -1;
    return;
  }
  const int command = *b[1], length = *b[2];
  requestCommand_ = command;
  out.push_back(std::string("reader command ") + H8(command) + " " + ReaderCommandName(command) +
                ", " + std::to_string(length) + " data bytes");
  if (static_cast<int>(b.size()) != length + 4)
    out.push_back("error: length byte and frame size differ");
  std::vector<int> data;
  bool masked = false;
  for (std::size_t i = 3; i + 1 < b.size() && i < static_cast<std::size_t>(3 + length); ++i) {
    if (b[i]) {
      data.push_back(*b[i]);
    } else {
      masked = true;
      data.push_back(0);
    }
  }
  if (masked) out.push_back("key bytes masked in the trace");
  const int control = b[0] ? *b[0] : 0;
  if (command == 0x94) {
    const int sequence = control & 0x3F;
    if (control & 0x80) {
      out.push_back("T=CL: asks for the next part of the answer, sequence " +
                    std::to_string(sequence));
      return;
    }
    if (sequence == 0) tclCommand_.clear();
    tclCommand_.insert(tclCommand_.end(), data.begin(), data.end());
    if (control & 0x40) {
      out.push_back("T=CL: part of a longer card command, sequence " + std::to_string(sequence) +
                    ", more follows");
      return;
    }
    out.push_back("T=CL: card command of " + std::to_string(tclCommand_.size()) + " bytes" +
                  (sequence > 0 ? " in " + std::to_string(sequence + 1) + " frames" : ""));
    tclAnswer_.clear();
    CardCommand(tclCommand_, &out);
  } else if (command == 0x90 && data.size() >= 2) {
    const int valid = data[0] & 0x07, options = data[0] >> 6;
    const int bits = static_cast<int>(data.size() - 2) * 8 - (valid ? 8 - valid : 0);
    out.push_back("raw: " + std::to_string(bits) + " bits, options " + std::to_string(options) +
                  ", timer exponent " + std::to_string(data[1]));
    RawCommand(std::vector<int>(data.begin() + 2, data.end()), &out);
  } else if (command == 0x73 && data.size() == 8) {
    out.push_back(std::string("key ") + ((data[0] & 0x04) ? "B" : "A") + " of sector " +
                  std::to_string(data[1]));
  } else if ((command == 0x46 || command == 0x47) && !data.empty()) {
    out.push_back("block " + std::to_string(data[0]) +
                  (command == 0x47 ? ", data " + Field(data, 1, 16) : ""));
  } else if (command == 0x91 && data.size() == 1) {
    out.push_back("CID " + std::to_string(data[0]));
  }
}

void TraceDecoder::Response(TraceEntry* e) {
  auto& out = e->annotations;
  const auto& b = e->bytes;
  if (b.empty()) {
    ++failures_;
    lastFailed_ = true;
    out.push_back("error: no answer frame " + e->note +
                  (attempt_ < 3 ? "; the link tries again" : ""));
    return;
  }
  bool checkKnown = true;
  int check = 0;
  for (std::size_t i = 0; i + 1 < b.size(); ++i) {
    if (!b[i])
      checkKnown = false;
    else
      check ^= *b[i];
  }
  if (b.size() < 4 || !b[1] || !b[2]) {
    out.push_back("error: too short for a reader frame");
    lastFailed_ = true;
    ++failures_;
    return;
  }
  if (checkKnown && b.back() && ((~check) & 0xFF) != *b.back()) {
    out.push_back("error: check byte wrong; the link drops this frame");
    lastFailed_ = true;
    ++failures_;
    return;
  }
  const int status = *b[1], control = b[0] ? *b[0] : 0;
  std::vector<int> data;
  for (std::size_t i = 3; i + 1 < b.size(); ++i) data.push_back(b[i] ? *b[i] : 0);
  out.push_back("reader status " + H8(status) + " " +
                StatusText(static_cast<std::uint8_t>(status)) + ", " + std::to_string(data.size()) +
                " data bytes");
  if (requestCommand_ == 0x94 && status == 0) {
    if ((control & 0x80) == 0) {
      out.push_back("T=CL: the reader takes the next part, sequence " +
                    std::to_string(control & 0x3F));
      return;
    }
    tclAnswer_.insert(tclAnswer_.end(), data.begin(), data.end());
    if (control & 0x40) {
      out.push_back("T=CL: part of the card's answer, more follows");
      return;
    }
    CardAnswer(tclAnswer_, &out);
  } else if (requestCommand_ == 0x90 && data.size() >= 2) {
    const int valid = data[0] & 0x07;
    const int bytes = static_cast<int>(data.size()) - 2;
    const int bits = bytes == 0 ? 0 : (valid ? (bytes - 1) * 8 + valid : bytes * 8);
    out.push_back("raw: " + std::to_string(bits) + " bits from the card, timer count " +
                  std::to_string(data[1]));
    RawAnswer(std::vector<int>(data.begin() + 2, data.end()), bits, &out);
  } else if (requestCommand_ == 0x41 && data.size() == 2) {
    out.push_back("ATQ " + Field(data, 0, 2));
  } else if ((requestCommand_ == 0x43 || requestCommand_ == 0x75) && data.size() == 1) {
    out.push_back("SAK " + H8(data[0]));
  } else if (requestCommand_ == 0x91 && !data.empty()) {
    out.push_back("ATS " + Field(data, 0, data.size()));
  } else if (requestCommand_ == 0x46 && data.size() == 16) {
    out.push_back("block data " + Field(data, 0, 16));
  }
}

void TraceDecoder::CardCommand(const std::vector<int>& c, std::vector<std::string>* out) {
  cardCommand_ = c.empty() ? -1 : c[0];
  if (c.empty()) return;
  const int code = c[0];
  std::string text = "card command " + H8(code) + " ";
  if (code == 0x70) {
    text += "First Authenticate, key " + Address(Le16(c, 1)) + ", PCD capabilities " +
            Field(c, 4, c.size() - 4);
  } else if (code == 0x76) {
    text += "Following Authenticate, key " + Address(Le16(c, 1));
  } else if (code == 0x72) {
    text += "authentication step 2, [encrypted RndA || RndB' " + std::to_string(c.size() - 1) +
            " bytes]";
    sessionPending_ = true;
  } else if (code == 0x78) {
    text += "Reset Authenticate";
  } else if (code >= 0x30 && code <= 0x37) {
    text += "Read (" + Protection(code, true) + "), block " + Address(Le16(c, 1)) + ", " +
            std::to_string(c.size() > 3 ? c[3] : 0) + " blocks";
    if (c.size() == 12) text += ", [MAC " + Field(c, 4, 8) + "]";
  } else if (code >= 0xA0 && code <= 0xA3 && c.size() >= 11) {
    text += "Write (" + Protection(code, false) + "), block " + Address(Le16(c, 1)) + ", " +
            std::to_string((c.size() - 11) / 16) + " blocks [" +
            ((code & 0x02) ? "data " + Field(c, 3, c.size() - 11) : "encrypted data") + "] [MAC " +
            Field(c, c.size() - 8, 8) + "]";
  } else if ((code >= 0xB0 && code <= 0xB9) || code == 0xC2 || code == 0xC3) {
    static const char* kNames[] = {"Increment",
                                   "Increment",
                                   "Decrement",
                                   "Decrement",
                                   "Transfer",
                                   "Transfer",
                                   "Increment and transfer",
                                   "Increment and transfer",
                                   "Decrement and transfer",
                                   "Decrement and transfer"};
    text += (code >= 0xC2 ? "Restore" : kNames[code - 0xB0]);
    text += ", block " + Address(Le16(c, 1));
    if (code >= 0xB6 && code <= 0xB9) text += " to " + Address(Le16(c, 3));
    if (c.size() >= 27) text += ", [encrypted value]";
    text += ", [MAC " + Field(c, c.size() - 8, 8) + "]";
    text += (code & 0x01) ? ", answer MAC" : ", no answer MAC";
  } else if (code == 0xA8 && c.size() == 19) {
    text += "Write Perso, address " + Address(Le16(c, 1)) + ", [16 bytes key or configuration]";
  } else if (code == 0xAA) {
    text += "Commit Perso";
  } else if (code == 0x42 || code == 0x4B) {
    text += code == 0x42 ? "Virtual Card Support" : "Virtual Card Support Last";
  } else if (code == 0x40) {
    text += "Virtual Card Select [MAC]";
  } else if (code == 0x48) {
    text += "Virtual Card Deselect";
  } else {
    text += "(not a MIFARE Plus command this decoder knows)";
  }
  out->push_back(text);
}

void TraceDecoder::CardAnswer(const std::vector<int>& a, std::vector<std::string>* out) {
  if (a.empty()) {
    out->push_back("card answer: empty");
    return;
  }
  const int status = a[0];
  std::string text =
      "card status " + H8(status) + " " + CardStatusText(static_cast<std::uint8_t>(status));
  const int code = cardCommand_;
  const bool ok = status == 0x90;
  if (ok && (code == 0x70 || code == 0x76) && a.size() == 17) {
    text += ", [encrypted RndB 16 bytes]";
  } else if (ok && code == 0x72 && a.size() == 33) {
    text += ", [encrypted TI || RndA' || PD capabilities 32 bytes]";
  } else if (ok && code == 0x72 && a.size() == 17) {
    text += ", [encrypted RndA' 16 bytes]";
  } else if (ok && code >= 0x30 && code <= 0x37) {
    const std::size_t mac = (code & 0x01) ? 8 : 0;
    const std::size_t data = a.size() > 1 + mac ? a.size() - 1 - mac : 0;
    text += (code & 0x02) ? ", data " + Field(a, 1, data)
                          : ", [encrypted data " + std::to_string(data) + " bytes]";
    if (mac) text += ", [MAC " + Field(a, a.size() - 8, 8) + "]";
  } else if (ok && a.size() == 9) {
    text += ", [MAC " + Field(a, 1, 8) + "]";
  }
  out->push_back(text);
  // The counters as host and card keep them.
  if (ok && code == 0x72 && a.size() == 33) {
    countersKnown_ = true;
    readCounter_ = writeCounter_ = 0;
  } else if (ok && code == 0x78) {
    readCounter_ = writeCounter_ = 0;
  } else if (ok && code >= 0x30 && code <= 0x37) {
    ++readCounter_;
  } else if (ok && ((code >= 0xA0 && code <= 0xA3) || (code >= 0xB0 && code <= 0xB9) ||
                    code == 0xC2 || code == 0xC3)) {
    ++writeCounter_;
  } else {
    return;
  }
  if (countersKnown_) {
    out->push_back("counters: R_Ctr " + std::to_string(readCounter_) + ", W_Ctr " +
                   std::to_string(writeCounter_));
  }
}

void TraceDecoder::RawCommand(const std::vector<int>& p, std::vector<std::string>* out) {
  rawCommand_ = p.empty() ? -1 : p[0];
  rawLength_ = static_cast<int>(p.size());
  if (p.empty()) return;
  std::string text = "card command " + H8(p[0]) + " ";
  switch (p[0]) {
    case 0xA8:
      if (p.size() == 19) {
        text += "Write Perso, address " + Address(Le16(p, 1)) + ", [16 bytes key or configuration]";
      } else {
        text += "Level 2 multi-block write, block " + std::to_string(p.size() > 1 ? p[1] : 0) +
                ", " + std::to_string(p.size() > 2 ? p[2] : 0) + " blocks";
      }
      break;
    case 0xAA:
      text += "Commit Perso";
      break;
    case 0x38:
      text += "Level 2 multi-block read, block " + std::to_string(p.size() > 1 ? p[1] : 0) + ", " +
              std::to_string(p.size() > 2 ? p[2] : 0) + " blocks";
      break;
    case 0x76:
      text += "Level 2 AES authentication, key " + Address(Le16(p, 1));
      break;
    case 0x72:
      text += "authentication step 2 [encrypted 32 bytes]";
      break;
    case 0xF0:
      text += "Prepare Proximity Check";
      break;
    case 0xF2:
      text += "Proximity Check";
      break;
    case 0xFD:
      text += "Verify Proximity Check [MAC]";
      break;
    default:
      text = "data " + std::to_string(p.size()) +
             " bytes (e.g. the data phase of a multi-block write)";
  }
  out->push_back(text);
}

void TraceDecoder::RawAnswer(const std::vector<int>& a, int bits, std::vector<std::string>* out) {
  if (bits == 4 && !a.empty()) {
    out->push_back("card acknowledgement " + AckText(static_cast<std::uint8_t>(a[0])));
  } else if (rawCommand_ == 0x38 && bits > 0) {
    out->push_back("block data " + Field(a, 0, a.size()));
  } else if ((rawCommand_ == 0x76 || rawCommand_ == 0x72) && bits == 136) {
    out->push_back("card status " + H8(a[0]) + " " +
                   CardStatusText(static_cast<std::uint8_t>(a[0])) + ", [encrypted 16 bytes]");
  } else if (bits == 0) {
    out->push_back("no answer from the card");
  }
}

bool DecodeTrace(const std::string& text, std::string* out, std::string* error) {
  TraceDecoder decoder;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::optional<TraceEntry> entry;
    std::string why;
    if (!decoder.Feed(line, &entry, &why)) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    if (!entry) continue;
    *out += entry->time + " " + entry->direction;
    for (const auto& byte : entry->bytes) *out += byte ? " " + H8(*byte) : std::string(" **");
    if (!entry->note.empty()) *out += " " + entry->note;
    *out += "\n";
    for (const std::string& item : entry->annotations) *out += "      " + item + "\n";
  }
  *out += std::to_string(decoder.frames()) + " frames, " + std::to_string(decoder.failures()) +
          " failed, " + std::to_string(decoder.retries()) + " retries\n";
  return true;
}

}  // namespace cardtools
