#include "tcl_card.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ostrel::test {
namespace {

constexpr std::uint8_t kTcl = 0x94;
constexpr std::uint8_t kRaw = 0x90;
constexpr std::size_t kChunk = 60;

// A scripted reply if one is queued, else the handler's, else a test failure.
template <typename Reply, typename Handler, typename Request>
Reply Next(std::deque<Reply>& queue, const Handler& handler, const Request& request,
           const char* what, std::size_t number) {
  if (!queue.empty()) {
    Reply reply = queue.front();
    queue.pop_front();
    return reply;
  }
  if (handler) return handler(request);
  ADD_FAILURE() << "no answer prepared for " << what << " " << number;
  return Reply{};
}

}  // namespace

TclCard::TclCard(FakeDriver& driver) {
  driver.SetResponder([this](const Bytes& request) { return Respond(request); });
}

std::optional<Bytes> TclCard::Respond(const Bytes& request) {
  if (request.size() < 4 || request.size() != 4u + request[2]) {
    ADD_FAILURE() << "malformed request frame of " << request.size() << " bytes";
    return std::nullopt;
  }
  const Bytes data(request.begin() + 3, request.end() - 1);
  switch (request[1]) {
    case kTcl:
      return HandleTcl(request[0], data);
    case kRaw:
      return HandleRaw(data);
    default:
      otherFrames_.push_back(request);
      return FakeDriver::Frame(0, 0);
  }
}

Bytes TclCard::NextAnswerFrame(std::uint8_t control) {
  std::size_t take = std::min(kChunk, answerLeft_.size());
  Bytes chunk(answerLeft_.begin(), answerLeft_.begin() + static_cast<std::ptrdiff_t>(take));
  answerLeft_.erase(answerLeft_.begin(), answerLeft_.begin() + static_cast<std::ptrdiff_t>(take));
  auto more = static_cast<std::uint8_t>(answerLeft_.empty() ? 0x00 : 0x40);
  return FakeDriver::Frame(static_cast<std::uint8_t>(control | more), 0, chunk);
}

Bytes TclCard::HandleTcl(std::uint8_t control, const Bytes& data) {
  const auto sequence = static_cast<std::uint8_t>(control & 0x3F);
  if (control & 0x80) {
    // The host asks for the next part of the answer.
    if (answerLeft_.empty()) ADD_FAILURE() << "answer part requested but none is left";
    return NextAnswerFrame(static_cast<std::uint8_t>(0x80 | sequence));
  }
  pending_.insert(pending_.end(), data.begin(), data.end());
  if (control & 0x40) {
    // Accept the next part of the command.
    return FakeDriver::Frame(static_cast<std::uint8_t>(0x40 | sequence), 0);
  }
  Bytes command;
  command.swap(pending_);
  commands_.push_back(command);
  answerLeft_ = Next(answers_, onCommand_, command, "card command", commands_.size());
  return NextAnswerFrame(static_cast<std::uint8_t>(0x80 | sequence));
}

Bytes TclCard::HandleRaw(const Bytes& data) {
  RawRequest request;
  if (data.size() >= 2) {
    request.options = static_cast<std::uint8_t>(data[0] >> 6);
    request.timerExponent = data[1];
    request.bytes.assign(data.begin() + 2, data.end());
    const unsigned lastBits = data[0] & 0x07u;
    std::size_t n = request.bytes.size();
    request.bits =
        static_cast<std::uint16_t>(lastBits == 0 || n == 0 ? n * 8 : (n - 1) * 8 + lastBits);
  } else {
    ADD_FAILURE() << "raw exchange request without its two header bytes";
  }
  rawRequests_.push_back(request);

  const RawReply reply = Next(raws_, onRaw_, request, "raw exchange", rawRequests_.size());
  const std::size_t bits = reply.bits != 0 ? reply.bits : reply.bytes.size() * 8;
  const std::size_t bytes = std::min((bits + 7) / 8, reply.bytes.size());
  Bytes out(2 + bytes);
  out[0] = static_cast<std::uint8_t>(bits % 8);
  out[1] = reply.timer;
  std::copy_n(reply.bytes.begin(), bytes, out.begin() + 2);
  return FakeDriver::Frame(0, reply.status, out);
}

}  // namespace ostrel::test
