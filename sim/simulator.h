// The simulated Pelkin reader with one MIFARE Plus card in its field.
// Used in-process by libhollink's "sim" backend and over a stream by pelkin-sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelkin {

struct FaultOptions {
  double loseRequest = 0;    // the request vanishes before the reader sees it
  double loseAnswer = 0;     // the reader acts, then its answer vanishes
  double corruptAnswer = 0;  // one bit of the answer flips (its check byte then fails)
  double delayAnswer = 0;    // the answer comes late
  int delayMs = 0;           // how late
};

struct SimOptions {
  std::string variant = "X4K4";          // X|S, 2K|4K, 4|7-byte UID, e.g. "S2K7"
  std::optional<std::string> stateFile;  // JSON card state, saved after every change
  std::optional<std::uint64_t> seed;     // makes card random numbers reproducible
  FaultOptions faults;
  int cards = 0;  // a queue of this many cards arriving one after another (0: one card)
  int takeOffCard = 0, takeOffCommands = 0;  // that card of the queue leaves after so many commands
};

// Parses the option text that follows "sim:" (and the pelkin-sim command line's
// equivalents). Returns false with a message on bad input.
bool ParseSimOptions(const std::string& text, SimOptions* options, std::string* error);

// What the reader does with one request frame.
struct Reply {
  std::vector<std::uint8_t> frame;  // the response frame; empty when no answer comes
  int delayMs = 0;                  // how long the answer is held back
};

class Simulator {
 public:
  virtual ~Simulator() = default;
  // Loads or creates the card; nullptr with a message when the state file is unusable.
  static std::unique_ptr<Simulator> Create(const SimOptions& options, std::string* error);
  // Handles one whole request frame as the reader's firmware would.
  virtual Reply Handle(const std::uint8_t* frame, std::size_t length) = 0;
  // Writes the card state file now (no-op without one). False with a message on failure.
  virtual bool Save(std::string* error) = 0;
};

}  // namespace pelkin
