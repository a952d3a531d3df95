// The frame trace decoder, fed arbitrary text. A line it accepts must print
// back to a line that decodes to the same frame; masking a frame's bytes never
// makes an accepted line bad; the counts stay within the frames seen; and the
// whole-trace decoder agrees with the line decoder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "cardtools/trace.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

std::string Hex(int value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// The line as the library's trace writes it.
std::string Print(const cardtools::TraceEntry& entry, bool maskAll) {
  std::string line = entry.time + " " + entry.direction;
  for (const auto& byte : entry.bytes) line += " " + (byte && !maskAll ? Hex(*byte) : "**");
  if (!entry.note.empty()) line += " " + entry.note;
  return line;
}

bool SameFrame(const cardtools::TraceEntry& a, const cardtools::TraceEntry& b) {
  return a.time == b.time && a.direction == b.direction && a.bytes == b.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  cardtools::TraceDecoder decoder;
  std::istringstream in(text);
  std::string line;
  int entries = 0;
  bool good = true;
  while (good && std::getline(in, line)) {
    std::optional<cardtools::TraceEntry> entry;
    std::string error;
    if (!decoder.Feed(line, &entry, &error)) {
      if (error.empty()) Broken("a refused line without a message");
      good = false;
      break;
    }
    if (!entry) continue;
    ++entries;
    for (const auto& byte : entry->bytes) {
      if (byte && (*byte < 0 || *byte > 0xFF)) Broken("a byte outside 00..FF");
    }
    if (entry->direction != '<' && entry->direction != '>') Broken("direction");
    for (bool maskAll : {false, true}) {
      cardtools::TraceDecoder fresh;
      std::optional<cardtools::TraceEntry> again;
      std::string why;
      if (!fresh.Feed(Print(*entry, maskAll), &again, &why) || !again) {
        Broken(maskAll ? "a masked frame does not decode" : "a printed frame does not decode");
      }
      if (!maskAll && !SameFrame(*entry, *again)) Broken("a printed frame decodes differently");
      if (maskAll && again->bytes.size() != entry->bytes.size()) Broken("masking changed the size");
    }
  }
  if (decoder.frames() != entries) Broken("frame count");
  if (decoder.failures() < 0 || decoder.failures() > decoder.frames()) Broken("failure count");
  if (decoder.retries() < 0 || decoder.retries() > decoder.frames()) Broken("retry count");

  std::string out, error;
  const bool whole = cardtools::DecodeTrace(text, &out, &error);
  if (whole != good) Broken("the whole-trace decoder disagrees with the line decoder");
  if (!whole && error.rfind("line ", 0) != 0) Broken("a refused trace without its line number");
  if (whole) {
    const std::string summary = std::to_string(decoder.frames()) + " frames, " +
                                std::to_string(decoder.failures()) + " failed, " +
                                std::to_string(decoder.retries()) + " retries\n";
    if (out.size() < summary.size() ||
        out.compare(out.size() - summary.size(), summary.size(), summary) != 0) {
      Broken("the summary disagrees with the counts");
    }
  }
  return 0;
}
