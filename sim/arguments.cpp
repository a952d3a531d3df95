// The pelkin-sim command line.
#include "arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelkin {

const char kServerUsage[] =
    "usage: pelkin-sim [--listen HOST:PORT | --pty] [options]\n"
    "  --listen HOST:PORT  serve frames over TCP (default 127.0.0.1:0; port 0 picks a free port)\n"
    "  --pty               serve frames over a new pseudo-terminal (use serial:PATH)\n"
    "  --vpcd HOST:PORT    put the card into vsmartcard's virtual PC/SC reader listening there\n"
    "                      (no reader frames; read it with HOLLINK_READER=pcsc)\n"
    "  --pcsc-reader KIND  with --vpcd, the kind of PC/SC reader to answer as: generic\n"
    "                      (default), part3 (transparent session, value commands) or pn532\n"
    "  --sim TEXT          simulator options as after \"sim:\" (applied first)\n"
    "  --variant V         card variant, e.g. X4K4 or S2K7\n"
    "  --state FILE        card state file (loaded, saved after every change)\n"
    "  --seed N            seed for the card's random numbers and the faults\n"
    "  --lose-request P    probability that a request is lost before the reader sees it\n"
    "  --lose-answer P     probability that an answer is lost after the reader acted\n"
    "  --corrupt P         probability that one bit of an answer flips\n"
    "  --delay P           probability that an answer is held back by --delay-ms\n"
    "  --delay-ms N        how long a delayed answer is held back\n"
    "  --cards N           a queue of N fresh cards: the card in the field leaves when the\n"
    "                      host halts it and resets the field, the next request finds the next\n"
    "  --take-off C:N      the C-th card of the queue leaves after N layer 4 commands\n"
    "  --new-card-per-client  start every TCP client with a fresh card (for test suites)\n"
    "  --idle-timeout S    drop a TCP client idle this many seconds when another waits\n"
    "                      (default 5; 0 never drops one)\n"
    "  --version           show the version and exit\n"
    "The first line on stdout names the reader address, e.g. \"listening tcp:127.0.0.1:40123\".\n"
    "SIGINT and SIGTERM save the card and end the server.\n";

namespace {

bool ParseNumber(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high)) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseServerArguments(int argc, char** argv, ServerConfig* config) {
  // --sim goes first so that the explicit options override it, wherever they stand.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--sim") == 0) {
      std::string error;
      if (!ParseSimOptions(argv[i + 1], &config->sim, &error)) {
        std::fprintf(stderr, "pelkin-sim: --sim: %s\n", error.c_str());
        return false;
      }
    }
  }
  FaultOptions& f = config->sim.faults;
  struct Probability {
    const char* flag;
    double* field;
  };
  const Probability probabilities[] = {{"--lose-request", &f.loseRequest},
                                       {"--lose-answer", &f.loseAnswer},
                                       {"--corrupt", &f.corruptAnswer},
                                       {"--delay", &f.delayAnswer}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pty") {
      config->pty = true;
      continue;
    }
    if (arg == "--new-card-per-client") {
      config->newCardPerClient = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      config->help = true;
      return true;
    }
    if (arg == "--version") {
      config->version = true;
      return true;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pelkin-sim: unknown option or missing value: %s\n%s", arg.c_str(),
                   kServerUsage);
      return false;
    }
    const char* value = argv[++i];
    bool ok = true;
    bool known = true;
    double number = 0;
    if (arg == "--sim") {
      // applied above
    } else if (arg == "--listen") {
      config->listen = value;
      config->listenGiven = true;
    } else if (arg == "--vpcd") {
      config->vpcd = value;
    } else if (arg == "--pcsc-reader") {
      ok = ParsePcscReaderKind(value, &config->pcscReader);
      config->pcscReaderGiven = true;
    } else if (arg == "--variant") {
      config->sim.variant = value;
    } else if (arg == "--state") {
      config->sim.stateFile = value;
    } else if (arg == "--seed") {
      char* end = nullptr;
      errno = 0;
      unsigned long long seed = std::strtoull(value, &end, 0);
      ok = errno == 0 && end != value && *end == '\0' && value[0] != '-';
      if (ok) config->sim.seed = seed;
    } else if (arg == "--cards" || arg == "--take-off") {
      std::string error;
      SimOptions parsed;
      ok = ParseSimOptions((arg == "--cards" ? "cards=" : "take-off=") + std::string(value),
                           &parsed, &error);
      if (ok && arg == "--cards") config->sim.cards = parsed.cards;
      if (ok && arg == "--take-off") {
        config->sim.takeOffCard = parsed.takeOffCard;
        config->sim.takeOffCommands = parsed.takeOffCommands;
      }
    } else if (arg == "--idle-timeout") {
      ok = ParseNumber(value, 0, 86400, &number);
      if (ok) config->idleMs = static_cast<int>(number * 1000);
    } else if (arg == "--delay-ms") {
      ok = ParseNumber(value, 0, 600000, &number);
      if (ok) f.delayMs = static_cast<int>(number);
    } else {
      known = false;
      for (const Probability& p : probabilities) {
        if (arg == p.flag) {
          known = true;
          ok = ParseNumber(value, 0, 1, p.field);
        }
      }
    }
    if (!known) {
      std::fprintf(stderr, "pelkin-sim: unknown option %s\n%s", arg.c_str(), kServerUsage);
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "pelkin-sim: bad value for %s: %s\n", arg.c_str(), value);
      return false;
    }
  }
  if (config->pcscReaderGiven && config->vpcd.empty()) {
    std::fprintf(stderr, "pelkin-sim: --pcsc-reader needs --vpcd\n");
    return false;
  }
  if (!config->vpcd.empty()) {
    // The card behind PC/SC has no reader link whose frames could be lost or late.
    const bool faults = f.loseRequest > 0 || f.loseAnswer > 0 || f.corruptAnswer > 0 ||
                        f.delayAnswer > 0 || f.delayMs > 0;
    const char* clash = faults                     ? "link fault options"
                        : config->pty              ? "--pty"
                        : config->listenGiven      ? "--listen"
                        : config->newCardPerClient ? "--new-card-per-client"
                        : config->sim.cards > 0    ? "a queue of cards"
                                                   : nullptr;
    if (clash != nullptr) {
      std::fprintf(stderr, "pelkin-sim: %s cannot be used with --vpcd\n", clash);
      return false;
    }
  }
  return true;
}

}  // namespace pelkin
