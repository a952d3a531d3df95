// The pelkin-sim command line, apart from the server so it can be tested alone.
#pragma once

#include <string>

#include "simulator.h"
#include "virtual_pcsc_card.h"

namespace pelkin {

extern const char kServerUsage[];

struct ServerConfig {
  std::string listen = "127.0.0.1:0";
  bool listenGiven = false;
  std::string vpcd;  // HOST:PORT of a virtual PC/SC reader to put the card into
  PcscReaderKind pcscReader = PcscReaderKind::kGeneric;  // what that reader answers as
  bool pcscReaderGiven = false;
  bool pty = false;
  bool newCardPerClient = false;
  // A TCP client that sends nothing for this long is dropped when another waits.
  int idleMs = 5000;
  bool help = false;     // --help or -h: print kServerUsage and stop
  bool version = false;  // --version: print the version and stop
  SimOptions sim;
};

// Parses argv[1..argc); false with a message on stderr.
bool ParseServerArguments(int argc, char** argv, ServerConfig* config);

}  // namespace pelkin
