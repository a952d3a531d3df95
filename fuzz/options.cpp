// The option parsers: the HOLLINK_READER texts of the simulator ("sim:..."),
// TCP ("tcp:...") and serial ("serial:...") readers, and the pelkin-sim
// command line. Only parsing: nothing is opened, connected or written.
//
// Input: byte 0 picks the parser; the rest is the text (for the command line,
// arguments separated by NUL bytes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "backend.h"
#include "simulator.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void CheckFaults(const pelkin::FaultOptions& f) {
  for (double p : {f.loseRequest, f.loseAnswer, f.corruptAnswer, f.delayAnswer}) {
    if (!(p >= 0 && p <= 1)) Broken("a probability outside 0..1 was accepted");
  }
  if (f.delayMs < 0) Broken("a negative delay was accepted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string error;
  switch (data[0] % 4) {
    case 0: {
      pelkin::SimOptions options;
      if (pelkin::ParseSimOptions(text, &options, &error)) CheckFaults(options.faults);
      break;
    }
    case 1:
      hollink::MakeTcpBackend(text, &error);
      break;
    case 2:
      hollink::MakeSerialBackend(text, &error);
      break;
    default: {
      std::vector<std::string> args{"pelkin-sim"};
      std::string current;
      for (char c : text) {
        if (c == '\0') {
          args.push_back(current);
          current.clear();
        } else {
          current += c;
        }
      }
      args.push_back(current);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pelkin::ServerConfig config;
      if (pelkin::ParseServerArguments(static_cast<int>(args.size()), argv.data(), &config)) {
        CheckFaults(config.sim.faults);
      }
      break;
    }
  }
  return 0;
}
