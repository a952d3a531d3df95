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
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
      in.Fill(block, 16);
      PiccWriteBlock(in.Byte(), block);
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
      unsigned char key[6];
      in.Fill(key, 6);
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
      unsigned char key[16];
      in.Fill(key, 16);
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
      in.Fill(data.data(), data.size());
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
      in.Fill(data, 16);
      const std::uint16_t address = in.U16();
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
      unsigned char key[16];
      in.Fill(key, 16);
      PLUSSL2AESAuth(in.U16(), key);
      break;
    }
    case 35: {
      unsigned char key[6];
      in.Fill(key, 6);
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
      in.Fill(data.data(), data.size());
      PLUSSL2MultiBlockWrite(block, count, data.data());
      break;
    }
    case 38: {
      unsigned char key[16];
      in.Fill(key, 16);
      PLUSSL3ProximityCheck(in.Byte(), in.Byte(), in.Byte(), key);
      break;
    }
    case 39: {
      unsigned char iid[16];
      in.Fill(iid, 16);
      PLUSSL3VCSupport(iid);
      break;
    }
    case 40: {
      unsigned char iid[16], enc[16], mac[16];
      in.Fill(iid, 16);
      in.Fill(enc, 16);
      in.Fill(mac, 16);
      Out uid(7), cryptogram(16);
      unsigned char uidLength = 0;
      PLUSSL3VCSupportLast(iid, enc, mac, uid.data(), &uidLength, cryptogram.data());
      break;
    }
    case 41: {
      unsigned char data[16], mac[16];
      in.Fill(data, 16);
      in.Fill(mac, 16);
      PLUSSL3VCSelect(data, mac);
      break;
    }
    case 42:
      PLUSSL3VCDeselect();
      break;
    default: {
      unsigned char key[6];
      in.Fill(key, 6);
      ReaderLoadKey(in.Byte(), in.Byte(), key);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The trace runs too: its key masking reads every frame the library writes.
  ostrel::link::trace::Configure("/dev/null");
  ostrel::mfplus::SetRandomSource(&Random);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  g_input = &in;
  ostrel::mfplus::ResetSession();
  ostrel::link::Driver driver{&Read, &Write, &Open, &Open};
  ostrel::link::InstallDriver(&driver);
  for (int ops = 0; ops < 64 && !in.empty(); ++ops) RunOne(in);
  ostrel::link::InstallDriver(nullptr);
  g_input = nullptr;
  return 0;
}
