// The simulated reader's request parser and the card's command parsers, fed
// arbitrary frames in every card state.
//
// Input: byte 0 picks the card variant and the state the card is brought to
// through the library (fresh, activated, layer 4, Level 1 with and without a
// CRYPTO1 authentication, Level 2 after the AES authentication, Level 3 with
// and without a session). Then records, each one request:
//   00nnnnnn B...        n bytes sent to the reader as they are
//   01nnnnnn C K D...    a frame with control C, command K and n data bytes
//   10nnnnnn D...        a card command of n bytes through the T=CL transfer
//   11nnnnnn O T D...    a raw exchange: valid-bit byte O, timer exponent T, n bytes
// Every answer the reader gives must be a well-formed frame.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/driver.h"
#include "link/frame.h"
#include "ostrel.h"
#include "simulator.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pelkin::Simulator* g_sim = nullptr;
Bytes g_reply;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

Bytes Handle(const Bytes& frame) {
  pelkin::Reply reply = g_sim->Handle(frame.data(), frame.size());
  const Bytes& f = reply.frame;
  if (!f.empty()) {
    if (f.size() < 4 || f.size() > 64) Broken("answer frame size");
    if (f[2] + 4u != f.size()) Broken("answer length byte");
    if (ostrel::link::CheckByte(f.data(), f.size() - 1) != f.back()) Broken("answer check byte");
  }
  return reply.frame;
}

// The library reaches the simulator directly while it prepares the card.
int Write(const unsigned char* buffer, int length, int) {
  g_reply = Handle(Bytes(buffer, buffer + length));
  return 0;
}

int Read(unsigned char* buffer, int capacity, int) {
  if (g_reply.empty() || g_reply.size() > static_cast<std::size_t>(capacity)) return -1;
  std::memcpy(buffer, g_reply.data(), g_reply.size());
  const int n = static_cast<int>(g_reply.size());
  g_reply.clear();
  return n;
}

int Open() {
  return 0;
}

void Activate(bool layer4) {
  unsigned char atq[2], uid[10], uidLength = 0, sak = 0, ats[64];
  PiccHalt();
  PiccActivate(0x01, atq, uid, &uidLength, &sak);
  if (layer4) PiccRATS(10, ats);
}

// Level 0 to 1 with every card key FF.
void Personalize() {
  unsigned char key[16];
  std::memset(key, 0xFF, sizeof key);
  Activate(false);
  for (unsigned short address = 0x9000; address <= 0x9003; ++address) {
    PLUSWritePersoClassic(address, key);
  }
  PLUSCommitPersoClassic();
}

void Prepare(int state) {
  unsigned char key[16];
  std::memset(key, 0xFF, sizeof key);
  if (state >= 3) Personalize();
  switch (state) {
    case 0:
      break;
    case 1:
      Activate(false);
      break;
    case 2:
      Activate(true);
      break;
    case 3:
      Activate(false);
      break;
    case 4:
      Activate(false);
      PiccAuthKey(0x00, key, 1);
      break;
    case 5:
      Activate(true);
      PLUSSL3FirstAuth(0x9002, key);
      Activate(false);
      PLUSSL2AESAuth(0x4002, key);
      break;
    default:
      Activate(true);
      PLUSSL3FirstAuth(0x9003, key);
      Activate(true);
      if (state == 7) PLUSSL3FirstAuth(0x4000, key);
      break;
  }
}

Bytes Frame(std::uint8_t control, std::uint8_t command, const Bytes& data) {
  Bytes frame{control, command, static_cast<std::uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(ostrel::link::CheckByte(frame.data(), frame.size()));
  return frame;
}

// A card command through the T=CL transfer, as the library chains it.
void Tcl(const Bytes& command) {
  std::uint8_t sequence = 0;
  std::size_t offset = 0;
  Bytes answer;
  for (;;) {
    const std::size_t take = command.size() - offset > 60 ? 60 : command.size() - offset;
    const bool more = offset + take < command.size();
    answer = Handle(Frame(static_cast<std::uint8_t>(sequence | (more ? 0x40 : 0)), 0x94,
                          Bytes(command.begin() + static_cast<std::ptrdiff_t>(offset),
                                command.begin() + static_cast<std::ptrdiff_t>(offset + take))));
    offset += take;
    sequence = static_cast<std::uint8_t>((sequence + 1) & 0x3F);
    if (!more || answer.size() < 4 || answer[1] != 0) break;
  }
  for (int parts = 0;
       parts < 64 && answer.size() >= 4 && answer[1] == 0 && (answer[0] & 0xC0) == 0xC0; ++parts) {
    answer = Handle(Frame(static_cast<std::uint8_t>(0x80 | sequence), 0x94, {}));
    sequence = static_cast<std::uint8_t>((sequence + 1) & 0x3F);
  }
}

const char* const kVariants[] = {"X4K4", "X2K7", "S4K7", "S2K4"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t setup = in.Byte();
  pelkin::SimOptions options;
  options.variant = kVariants[(setup >> 3) & 0x03];
  options.seed = 1;
  std::string error;
  std::unique_ptr<pelkin::Simulator> sim = pelkin::Simulator::Create(options, &error);
  if (!sim) Broken("a fresh simulated card could not be made");
  g_sim = sim.get();

  ostrel::link::Driver driver{&Read, &Write, &Open, &Open};
  ostrel::link::InstallDriver(&driver);
  Prepare(setup & 0x07);
  ostrel::link::InstallDriver(nullptr);

  for (int requests = 0; requests < 64 && !in.empty(); ++requests) {
    const std::uint8_t record = in.Byte();
    const std::size_t n = record & 0x3F;
    switch (record >> 6) {
      case 0:
        Handle(in.Bytes(n));
        break;
      case 1: {
        const std::uint8_t control = in.Byte(), command = in.Byte();
        Handle(Frame(control, command, in.Bytes(n > 60 ? 60 : n)));
        break;
      }
      case 2:
        Tcl(in.Bytes(n));
        break;
      default: {
        Bytes payload{in.Byte(), in.Byte()};
        const Bytes bytes = in.Bytes(n > 58 ? 58 : n);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
        Handle(Frame(0x00, 0x90, payload));
        break;
      }
    }
  }
  g_sim = nullptr;
  return 0;
}
