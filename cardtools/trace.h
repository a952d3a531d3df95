// Reads an OSTREL_TRACE frame trace (one line per frame: date, time, '>' for a
// request or '<' for a response, the frame's bytes in hex, "**" for masked bytes,
// and a note in parentheses on failures) and tells what each frame carries: the
// reader command, the card command inside a T=CL or raw frame, status bytes in
// words, the Level 3 counters, MAC and encrypted fields, failed attempts and retries.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cardtools {

struct TraceEntry {
  std::string time;                       // as in the trace
  char direction = '>';                   // '>' request, '<' response
  std::vector<std::optional<int>> bytes;  // nullopt where the trace masked the byte
  std::string note;                       // "(no frame)", "(write failed: -1)", ...
  std::vector<std::string> annotations;   // what the decoder found, one item per line
};

class TraceDecoder {
 public:
  // Decodes one trace line; false with a message when the line is not a trace line
  // (blank lines are skipped and return true with no entry).
  bool Feed(const std::string& line, std::optional<TraceEntry>* entry, std::string* error);
  int frames() const { return frames_; }
  int failures() const { return failures_; }
  int retries() const { return retries_; }

 private:
  void Request(TraceEntry* entry);
  void Response(TraceEntry* entry);
  void CardCommand(const std::vector<int>& command, std::vector<std::string>* out);
  void CardAnswer(const std::vector<int>& answer, std::vector<std::string>* out);
  void RawCommand(const std::vector<int>& payload, std::vector<std::string>* out);
  void RawAnswer(const std::vector<int>& answer, int bits, std::vector<std::string>* out);

  int frames_ = 0, failures_ = 0, retries_ = 0;
  std::vector<std::optional<int>> lastRequest_;
  bool lastFailed_ = false;
  int attempt_ = 1;
  int requestCommand_ = -1;
  std::vector<int> tclCommand_, tclAnswer_;
  int cardCommand_ = -1;  // the card command whose answer is awaited
  int rawCommand_ = -1;
  int rawLength_ = 0;
  bool sessionPending_ = false;  // a First Authenticate step 2 is out
  bool countersKnown_ = false;
  int readCounter_ = 0, writeCounter_ = 0;
};

// The whole trace as annotated text; false with a message naming the first bad line.
bool DecodeTrace(const std::string& text, std::string* out, std::string* error);

}  // namespace cardtools
