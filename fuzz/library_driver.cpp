// Every export of the library against a reader whose answers come from the
// fuzzer: T=CL reassembly, Level 3 answers and MACs, RATS, the raw exchange,
// value blocks and the reader's own commands.
//
// Input: a stream of operations and reader answers, interleaved as they are
// consumed. Each operation takes one byte to pick an export and its arguments
// from the input; every driver read then takes one answer record:
//   0xFF               the read fails
//   00mmmmmm C D...    a frame with control C, status 0 and m data bytes
//   01mmmmmm C S D...  the same with status S
//   10mmmmmm F D...    status 0, control = the sequence number of the last
//                      request with bits 7 and 6 of F (passes the T=CL checks)
//   11nnnnnn B...      n bytes as they are, check byte and length unchecked
// The frames of the first three kinds get a correct check byte. An exhausted
// input fails every read, so each call ends.
//
// Keys come from a fixed table (the input picks which), and the trace goes to
// memory: no key an operation used may show in the request lines that
// operation traced. Every table key holds three bytes FF in a row, which the
// input's data (never FF) and its 16-bit numbers cannot make up, so a key in
// the trace is one the masking let through.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/driver.h"
#include "link/frame.h"
#include "link/trace.h"
#include "mfplus/session.h"
#include "ostrel.h"

namespace {

fuzz::Input* g_input = nullptr;
std::uint8_t g_lastControl = 0;

// Keys of 16 bytes; 6-byte keys are their first six.
constexpr std::uint8_t kKeys[4][16] = {
    {0x5E, 0xFF, 0xFF, 0xFF, 0x2D, 0xB4, 0x68, 0xF0, 0x17, 0xAE, 0x43, 0xD9, 0x8C, 0x25, 0x7B,
     0xE6},
    {0xC3, 0xFF, 0xFF, 0xFF, 0xE8, 0x57, 0x0D, 0xB2, 0x7E, 0x29, 0xF5, 0x83, 0x4C, 0xA1, 0x36,
     0xDB},
    {0x8B, 0xFF, 0xFF, 0xFF, 0x5D, 0xA9, 0x31, 0xC6, 0x94, 0x1B, 0xE7, 0x60, 0xBD, 0x28, 0x53,
     0xFA},
    {0x27, 0xFF, 0xFF, 0xFF, 0x93, 0x0C, 0xF1, 0x6A, 0xC4, 0x39, 0x82, 0x5F, 0xE0, 0x1D, 0xA6,
     0x7C},
};
struct UsedKey {
  const std::uint8_t* bytes;
  std::size_t length;
};
std::vector<UsedKey> g_used;
char* g_traceText = nullptr;
std::size_t g_traceSize = 0;
std::FILE* g_trace = nullptr;

// Data from the input, never FF.
void Data(fuzz::Input& in, std::uint8_t* out, std::size_t count) {
  in.Fill(out, count);
  for (std::size_t i = 0; i < count; ++i) {
    if (out[i] == 0xFF) out[i] = 0xFE;
  }
}

// A key of the table, noted as used.
const std::uint8_t* Key(fuzz::Input& in, std::size_t length) {
  const std::uint8_t* key = kKeys[in.Byte() % 4];
  g_used.push_back({key, length});
  return key;
}

bool Trailer(unsigned block) {
  return block < 128 ? block % 4 == 3 : block < 256 && block % 16 == 15;
}
bool KeyAddress(unsigned address) {
  return (address >= 0x4000 && address <= 0x404F) || (address >= 0x9000 && address <= 0x9003) ||
         (address >= 0xA000 && address <= 0xA081);
}

// A block of data; a trailer gets keys of the table. The table's keys go
// nowhere else, so that any of them in a request is a key let through.
void KeyData(fuzz::Input& in, std::uint8_t data[16], unsigned block) {
  Data(in, data, 16);
  if (!Trailer(block)) return;
  std::memcpy(data, Key(in, 6), 6);
  std::memcpy(data + 10, Key(in, 6), 6);
}

// A whole 16-byte key of the table as the data of a key address.
void WholeKey(fuzz::Input& in, std::uint8_t data[16], unsigned address) {
  if (!KeyAddress(address) || (in.Byte() & 1) == 0) return;
  std::memcpy(data, Key(in, 16), 16);
}

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// The library must only ever write whole, well-formed request frames.
int Write(const unsigned char* buffer, int length, int) {
  if (length < 4 || length > 64) Broken("request length outside 4..64");
  if (buffer[2] + 4 != length) Broken("request length disagrees with its length byte");
  if (ostrel::link::CheckByte(buffer, static_cast<std::size_t>(length - 1)) != buffer[length - 1]) {
    Broken("request check byte");
  }
  g_lastControl = buffer[0];
  return 0;
}

int Read(unsigned char* buffer, int capacity, int) {
  fuzz::Input& in = *g_input;
  if (in.empty()) return -1;
  const std::uint8_t record = in.Byte();
  if (record == 0xFF) return -1;
  const int kind = record >> 6;
  const int count = record & 0x3F;
  std::vector<std::uint8_t> frame;
  if (kind == 3) {
    frame = in.Bytes(static_cast<std::size_t>(count));
  } else {
    const int m = count > 60 ? 60 : count;
    std::uint8_t control = in.Byte();
    if (kind == 2) control = static_cast<std::uint8_t>((g_lastControl & 0x3F) | (control & 0xC0));
    const std::uint8_t status = kind == 1 ? in.Byte() : 0;
    frame = {control, status, static_cast<std::uint8_t>(m)};
    for (int i = 0; i < m; ++i) frame.push_back(in.Byte());
    frame.push_back(ostrel::link::CheckByte(frame.data(), frame.size()));
  }
  const int n =
      static_cast<int>(frame.size()) < capacity ? static_cast<int>(frame.size()) : capacity;
  if (n > 0) std::memcpy(buffer, frame.data(), static_cast<std::size_t>(n));
  return n;
}

int Open() {
  return 0;
}

bool Random(std::uint8_t* out, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(0xA5 ^ i);
  return true;
}

// Buffers of exactly the documented size, so that AddressSanitizer sees any
// byte written past them.
struct Out {
  explicit Out(std::size_t n) : bytes(n) {}
  unsigned char* data() { return bytes.data(); }
  std::vector<unsigned char> bytes;
};

void RunOne(fuzz::Input& in) {
  const std::uint8_t op = in.Byte();
  switch (op % 44) {
    case 0: {
      Out ats(60);
      PiccRATS(in.Byte(), ats.data());
      break;
    }
    case 1:
      PiccPPS(in.Byte() & 0x07, in.Byte() & 0x07);
      break;
    case 2:
      PiccDeSelect();
      break;
    case 3: {
      auto command = in.Bytes(in.U16() % 200);
      Out answer(OSTREL_TPCL_MAX_ANSWER);
      unsigned short length = 0xFFFF;
      PiccTPCL(command.data(), static_cast<unsigned short>(command.size()), answer.data(), &length);
      if (length > OSTREL_TPCL_MAX_ANSWER) Broken("PiccTPCL answer length");
      break;
    }
    case 4: {
      auto command = in.Bytes(in.Byte());
      const unsigned short capacity = in.Byte();
      Out answer(capacity);
      unsigned short length = 0xFFFF;
      PiccTPCLEx(command.data(), static_cast<unsigned short>(command.size()),
                 capacity > 0 ? answer.data() : nullptr, capacity, &length);
      if (length != 0xFFFF && length > capacity) Broken("PiccTPCLEx answer length");
      break;
    }
    case 5: {
      const std::uint8_t options = in.Byte(), exponent = in.Byte() % 20;
      const unsigned short bits = in.U16() % 460;
      auto send = in.Bytes(58);
      send.resize(58);
      Out recv(58);
      unsigned short recvBits = 0;
      int elapsed = 0;
      PiccExChangBlock(options, exponent, send.data(), bits, recv.data(), &recvBits, &elapsed);
      if (recvBits > 58 * 8) Broken("PiccExChangBlock bit count");
      break;
    }
    case 6: {
      unsigned char atq[2], uid[10], uidLength = 0, sak = 0;
      PiccActivate(in.Byte(), atq, uid, &uidLength, &sak);
      if (uidLength > 10) Broken("UID length");
      break;
    }
    case 7: {
      unsigned char part[4];
      PiccAntion(in.Byte(), part);
      break;
    }
    case 8: {
      unsigned char part[4], sak = 0;
      in.Fill(part, 4);
      PiccSelect(part, &sak);
      break;
    }
    case 9: {
      Out block(16);
      PiccReadBlock(in.Byte(), block.data());
      break;
    }
    case 10: {
      unsigned char block[16];
      const std::uint8_t number = in.Byte();
      KeyData(in, block, number);
      PiccWriteBlock(number, block);
      break;
    }
    case 11: {
      int value = 0;
      PiccReadValue(in.Byte(), &value);
      break;
    }
    case 12:
      PiccWriteValue(in.Byte(), in.I32());
      break;
    case 13:
      PiccValue(in.Byte(), in.Byte(), in.I32(), in.Byte());
      break;
    case 14: {
      const std::uint8_t* key = Key(in, 6);
      PiccAuthKey(in.Byte(), key, in.Byte());
      break;
    }
    case 15:
      PiccHalt();
      break;
    case 16: {
      Out info(60);
      ReaderGetInfo(info.data());
      break;
    }
    case 17: {
      const std::uint8_t length = in.Byte() % 64;
      Out buffer(length);
      ReaderReadE2(in.Byte(), length, length > 0 ? buffer.data() : nullptr);
      break;
    }
    case 18: {
      auto request = in.Bytes(in.Byte() % 70);
      request.push_back(0);
      Out response(64);
      ReaderCommand(request.data(), static_cast<short>(request.size()), response.data(), 64, 1000);
      break;
    }
    case 19:
    case 20: {
      const std::uint8_t* key = Key(in, 16);
      const std::uint16_t address = in.U16();
      if (op % 44 == 19) {
        PLUSSL3FirstAuth(address, key);
      } else {
        PLUSSL3FollowingAuth(address, key);
      }
      break;
    }
    case 21:
      PLUSSL3RestAuth();
      break;
    case 22: {
      const std::uint8_t code = in.Byte();
      const std::uint16_t block = in.U16();
      const std::uint8_t count = in.Byte() % 20;
      Out data(16u * count);
      PLUSSL3Read(code, block, count, count > 0 ? data.data() : nullptr);
      break;
    }
    case 23: {
      const std::uint8_t code = in.Byte();
      const std::uint16_t block = in.U16();
      const std::uint8_t count = in.Byte() % 5;
      std::vector<unsigned char> data(16u * count);
      for (unsigned i = 0; i < count; ++i) {
        KeyData(in, data.data() + 16 * i, block + i);
        WholeKey(in, data.data() + 16 * i, (block + i) & 0xFFFF);
      }
      PLUSSL3Write(code, block, count, count > 0 ? data.data() : nullptr);
      break;
    }
    case 24: {
      int value = 0;
      PLUSSL3ReadValue(in.Byte(), in.U16(), &value);
      break;
    }
    case 25:
      PLUSSL3WriteValue(in.Byte(), in.U16(), in.I32());
      break;
    case 26:
      PLUSSL3ValueOperation(in.Byte(), in.U16(), in.I32());
      break;
    case 27:
      PLUSSL3Transfer(in.Byte(), in.U16());
      break;
    case 28:
      PLUSSL3Restore(in.Byte(), in.U16());
      break;
    case 29:
      PLUSSL3ValueOperTran(in.Byte(), in.U16(), in.U16(), in.I32());
      break;
    case 30:
    case 31: {
      unsigned char data[16];
      const std::uint16_t address = in.U16();
      KeyData(in, data, address);
      WholeKey(in, data, address);
      if (op % 44 == 30) {
        PLUSWritePersoClassic(address, data);
      } else {
        PLUSWritePersoTCL(address, data);
      }
      break;
    }
    case 32:
      PLUSCommitPersoClassic();
      break;
    case 33:
      PLUSCommitPersoTCL();
      break;
    case 34: {
      const std::uint8_t* key = Key(in, 16);
      PLUSSL2AESAuth(in.U16(), key);
      break;
    }
    case 35: {
      const std::uint8_t* key = Key(in, 6);
      PLUSSL2CryptoAuth(in.Byte(), in.Byte(), key);
      break;
    }
    case 36: {
      const std::uint8_t block = in.Byte(), count = in.Byte() % 5;
      Out data(16u * (count == 0 ? 1 : count));
      PLUSSL2MultiBlockRead(block, count, data.data());
      break;
    }
    case 37: {
      const std::uint8_t block = in.Byte(), count = in.Byte() % 5;
      std::vector<unsigned char> data(16u * (count == 0 ? 1 : count));
      for (unsigned i = 0; i < data.size() / 16; ++i) KeyData(in, data.data() + 16 * i, block + i);
      PLUSSL2MultiBlockWrite(block, count, data.data());
      break;
    }
    case 38: {
      const std::uint8_t* key = Key(in, 16);
      PLUSSL3ProximityCheck(in.Byte(), in.Byte(), in.Byte(), key);
      break;
    }
    case 39: {
      unsigned char iid[16];
      Data(in, iid, 16);
      PLUSSL3VCSupport(iid);
      break;
    }
    case 40: {
      unsigned char iid[16];
      Data(in, iid, 16);
      const std::uint8_t* enc = Key(in, 16);
      const std::uint8_t* mac = Key(in, 16);
      Out uid(7), cryptogram(16);
      unsigned char uidLength = 0;
      PLUSSL3VCSupportLast(iid, enc, mac, uid.data(), &uidLength, cryptogram.data());
      break;
    }
    case 41: {
      unsigned char data[16];
      Data(in, data, 16);
      const std::uint8_t* mac = Key(in, 16);
      PLUSSL3VCSelect(data, mac);
      break;
    }
    case 42:
      PLUSSL3VCDeselect();
      break;
    default: {
      const std::uint8_t* key = Key(in, 6);
      ReaderLoadKey(in.Byte(), in.Byte(), key);
      break;
    }
  }
}

// The key's bytes as the trace prints them ("5E C7 3A ...").
std::string KeyText(const UsedKey& key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < key.length; ++i) {
    if (i > 0) text += ' ';
    text += kHex[key.bytes[i] >> 4];
    text += kHex[key.bytes[i] & 0x0F];
  }
  return text;
}

// The request lines traced since `from` against the keys of the operation.
void CheckTrace(std::size_t from) {
  std::fflush(g_trace);
  if (g_used.empty() || g_traceSize <= from) return;
  const std::string trace(g_traceText + from, g_traceSize - from);
  std::size_t start = 0;
  while (start < trace.size()) {
    std::size_t end = trace.find('\n', start);
    if (end == std::string::npos) end = trace.size();
    const std::string line = trace.substr(start, end - start);
    // Request lines only: the reader's answers are the input's own bytes.
    if (line.find(" > ") != std::string::npos) {
      for (const UsedKey& key : g_used) {
        if (line.find(KeyText(key)) != std::string::npos) {
          std::fprintf(stderr, "%s\n", line.c_str());
          Broken("a key shows in the trace");
        }
      }
    }
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The trace runs too, into memory: its key masking reads every frame the
  // library writes, and the text is checked for the keys.
  g_trace = ::open_memstream(&g_traceText, &g_traceSize);
  ostrel::link::trace::ConfigureStream(g_trace);
  ostrel::mfplus::SetRandomSource(&Random);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  g_input = &in;
  // A fresh stream per input keeps the memory of one input's trace only.
  ostrel::link::trace::ConfigureStream(nullptr);
  std::fclose(g_trace);
  std::free(g_traceText);
  g_traceText = nullptr;
  g_traceSize = 0;
  g_trace = ::open_memstream(&g_traceText, &g_traceSize);
  ostrel::link::trace::ConfigureStream(g_trace);
  ostrel::mfplus::ResetSession();
  ostrel::link::Driver driver{&Read, &Write, &Open, &Open};
  ostrel::link::InstallDriver(&driver);
  for (int ops = 0; ops < 64 && !in.empty(); ++ops) {
    std::fflush(g_trace);
    const std::size_t from = g_traceSize;
    g_used.clear();
    RunOne(in);
    CheckTrace(from);
  }
  ostrel::link::InstallDriver(nullptr);
  g_input = nullptr;
  return 0;
}
