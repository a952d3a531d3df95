#include "air_clock.h"

namespace pelkin {

namespace {

class ClockedSimulator : public Simulator {
 public:
  explicit ClockedSimulator(std::unique_ptr<Simulator> inner) : inner_(std::move(inner)) {}
  Reply Handle(const std::uint8_t* frame, std::size_t length) override {
    Reply reply = inner_->Handle(frame, length);
    ProcessAirClock().Count(frame, length, reply.frame);
    return reply;
  }
  bool Save(std::string* error) override { return inner_->Save(error); }

 private:
  std::unique_ptr<Simulator> inner_;
};

}  // namespace

AirClock& ProcessAirClock() {
  static AirClock clock;
  return clock;
}

std::unique_ptr<Simulator> WithAirClock(std::unique_ptr<Simulator> inner) {
  return std::make_unique<ClockedSimulator>(std::move(inner));
}

void AirClock::Reset() {
  totals_ = {};
  tclCommand_ = tclAnswer_ = 0;
}

void AirClock::Air(double bits, std::size_t bytes) {
  totals_.airBytes += bytes;
  totals_.airMicros += bits * kBitMicros + kFrameDelayMicros;
}

void AirClock::Standard(std::size_t bytes, bool crc) {
  const std::size_t total = bytes + (crc ? 2 : 0);
  Air(1.0 + 9.0 * static_cast<double>(total), total);
}

void AirClock::TclBlocks(std::size_t payload) {
  const std::size_t blocks = payload == 0 ? 1 : (payload + 59) / 60;
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::size_t part = i + 1 < blocks ? 60 : payload - 60 * (blocks - 1);
    Standard(part + 2);               // PCB, CID, payload, CRC
    if (i + 1 < blocks) Standard(2);  // R(ACK) from the other side
  }
}

void AirClock::Count(const std::uint8_t* request, std::size_t length,
                     const std::vector<std::uint8_t>& response) {
  ++totals_.readerFrames;
  totals_.linkMicros += kUsbRoundTripMicros;
  if (length < 4 || response.size() < 4) return;
  const std::uint8_t control = request[0], command = request[1];
  const std::size_t data = request[2];
  const std::uint8_t status = response[1];
  const std::size_t answer = response[2];
  if (status != 0 && command != 0x41) {
    // Refused by the reader or silence from the card: one command went out at most.
    if (command == 0x94 || command == 0x90) Standard(data);
    return;
  }
  switch (command) {
    case 0x41:  // REQA/WUPA and the ATQA
      Air(8, 1);
      if (status == 0) Air(1 + 18, 2);
      break;
    case 0x42:
    case 0x71:
    case 0x74:  // anticollision: SEL, NVB; UID part and BCC
      Standard(2, false);
      Standard(5, false);
      break;
    case 0x43:
    case 0x75:  // select: SEL, NVB, UID part, BCC; SAK
      Standard(7);
      Standard(1);
      break;
    case 0x45:  // halt: no answer
      Standard(2);
      break;
    case 0x44:
    case 0x72:
    case 0x73:  // CRYPTO1: auth command, nT, nR aR, aT
      Standard(2);
      Standard(4, false);
      Standard(8, false);
      Standard(4, false);
      break;
    case 0x46:  // read: command; 16 bytes
      Standard(2);
      Standard(16);
      break;
    case 0x47:  // write: command, ACK, data, ACK
      Standard(2);
      Air(5, 1);
      Standard(16);
      Air(5, 1);
      break;
    case 0x70:
    case 0x77:  // value: command, ACK, operand, (transfer, ACK)
      Standard(2);
      Air(5, 1);
      Standard(4);
      Standard(2);
      Air(5, 1);
      break;
    case 0x91:  // RATS; ATS
      Standard(2);
      Standard(answer);
      break;
    case 0x92:  // PPS; its answer
      Standard(3);
      Standard(1);
      break;
    case 0x93:  // S(DESELECT) with CID, and its answer
      Standard(2);
      Standard(2);
      break;
    case 0x90: {  // raw: payload bits out, answer bits back
      if (data < 2 || answer < 2) break;
      const int lastBits = request[3] & 0x07;
      const double out = 8.0 * static_cast<double>(data - 2) - (lastBits ? 8 - lastBits : 0);
      if (out >= 8) {
        Standard(data - 2);
      } else if (out > 0) {
        Air(out + 1, 1);
      }
      const int backLast = response[3] & 0x07;
      const double back = 8.0 * static_cast<double>(answer - 2) - (backLast ? 8 - backLast : 0);
      if (back >= 8) {
        Standard(answer - 2);
      } else if (back > 0) {
        Air(back + 1, 1);
      }
      break;
    }
    case 0x94: {  // T=CL: the card command goes out once the last part has arrived
      const bool nextPart = (control & 0x80) != 0, more = (control & 0x40) != 0;
      if (!nextPart) {
        if ((control & 0x3F) == 0) tclCommand_ = 0;
        tclCommand_ += data;
        if (more) break;
        TclBlocks(tclCommand_);
        tclAnswer_ = 0;
      }
      if ((response[0] & 0x80) != 0) {
        tclAnswer_ += answer;
        if ((response[0] & 0x40) == 0) TclBlocks(tclAnswer_);
      }
      break;
    }
    default:
      break;  // reader management: no air traffic
  }
}

}  // namespace pelkin

extern "C" void PelkinAirClockRead(PelkinAirTotals* totals) {
  *totals = pelkin::ProcessAirClock().totals();
}

extern "C" void PelkinAirClockReset(void) {
  pelkin::ProcessAirClock().Reset();
}
