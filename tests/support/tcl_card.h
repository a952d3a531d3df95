// A card behind the reader, played on top of FakeDriver: T=CL transfers (0x94)
// are reassembled into whole card commands and answered in link-correct
// response frames; raw timed exchanges (0x90) are decoded to bit strings and
// answered with the bit count the handler gives. Everything is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "fake_driver.h"

namespace ostrel::test {

struct RawRequest {
  std::uint8_t options = 0;
  std::uint8_t timerExponent = 0;
  Bytes bytes;             // the payload bytes
  std::uint16_t bits = 0;  // the bit count they carry
};

struct RawReply {
  Bytes bytes;
  std::uint16_t bits = 0;   // 0 means 8 x bytes.size()
  std::uint8_t status = 0;  // the reader's status byte
  std::uint8_t timer = 0;   // the reader's timer count

  // A 4-bit acknowledgement (0xA accepts).
  static RawReply Nibble(std::uint8_t nibble) { return {{nibble}, 4}; }
};

class TclCard {
 public:
  // Answer to one whole card command (status byte first).
  using CommandHandler = std::function<Bytes(const Bytes& command)>;
  using RawHandler = std::function<RawReply(const RawRequest& request)>;

  // Installs itself as the driver's responder.
  explicit TclCard(FakeDriver& driver);

  void OnCommand(CommandHandler handler) { onCommand_ = std::move(handler); }
  void OnRaw(RawHandler handler) { onRaw_ = std::move(handler); }
  // Scripted answers, used before the handlers.
  void QueueAnswer(const Bytes& answer) { answers_.push_back(answer); }
  void QueueRaw(const RawReply& reply) { raws_.push_back(reply); }

  const std::vector<Bytes>& commands() const { return commands_; }
  const std::vector<RawRequest>& rawRequests() const { return rawRequests_; }
  // Frames of any other reader command (answered with status 0, no data).
  const std::vector<Bytes>& otherFrames() const { return otherFrames_; }
  void ClearLog() {
    commands_.clear();
    rawRequests_.clear();
    otherFrames_.clear();
  }

 private:
  std::optional<Bytes> Respond(const Bytes& request);
  Bytes HandleTcl(std::uint8_t control, const Bytes& data);
  Bytes HandleRaw(const Bytes& data);
  Bytes NextAnswerFrame(std::uint8_t control);

  CommandHandler onCommand_;
  RawHandler onRaw_;
  std::deque<Bytes> answers_;
  std::deque<RawReply> raws_;
  std::vector<Bytes> commands_;
  std::vector<RawRequest> rawRequests_;
  std::vector<Bytes> otherFrames_;
  Bytes pending_;     // command chunks received so far
  Bytes answerLeft_;  // answer bytes not yet sent
};

}  // namespace ostrel::test
