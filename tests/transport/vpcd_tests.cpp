// pelkin-sim --vpcd against a stand-in for vsmartcard's vpcd: the card connects
// to it, and every message goes with a 2-byte big-endian length. One-byte control
// codes switch the field and ask for the ATR; everything else is an APDU with
// exactly one answer.
#include <gtest/gtest.h>
#include <signal.h>

#include "loopback.h"
#include "sim_process.h"

namespace transport_test {
namespace {

class FakeVpcd {
 public:
  explicit FakeVpcd(Peer peer) : peer_(std::move(peer)) {}
  void Send(const Bytes& payload) const {
    Bytes message{static_cast<std::uint8_t>(payload.size() >> 8),
                  static_cast<std::uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    peer_.Send(message);
  }
  Bytes Receive() const {
    Bytes header = peer_.Receive(2);
    if (header.size() != 2) return {};
    return peer_.Receive(static_cast<std::size_t>((header[0] << 8) | header[1]));
  }
  Bytes Ask(const Bytes& apdu) const {
    Send(apdu);
    return Receive();
  }
  const Peer& peer() const { return peer_; }

 private:
  Peer peer_;
};

TEST(Vpcd, TheCardAnswersControlCodesAndApdusInLengthPrefixedMessages) {
  Listener vpcd;
  SimProcess sim;
  ASSERT_TRUE(sim.Start(PELKIN_SIM, {"--vpcd", "127.0.0.1:" + std::to_string(vpcd.port()), "--seed",
                                     "5", "--variant", "S2K4"}));
  EXPECT_EQ(sim.address(), "vpcd:127.0.0.1:" + std::to_string(vpcd.port()));
  FakeVpcd reader(vpcd.Accept());
  ASSERT_TRUE(reader.peer().valid());

  reader.Send({0x01});  // power on: no answer
  const Bytes atr = reader.Ask({0x04});
  // A Level 0 S card: ISO 14443-4 form with the ATS historical bytes.
  Bytes expected{0x3B, 0x87, 0x80, 0x01, 0xC1, 0x05, 0x2F, 0x2F, 0x00, 0x35, 0xC7};
  std::uint8_t tck = 0;  // XOR of everything after TS
  for (std::size_t i = 1; i < expected.size(); ++i)
    tck = static_cast<std::uint8_t>(tck ^ expected[i]);
  expected.push_back(tck);
  EXPECT_EQ(atr, expected);
  const Bytes uid = reader.Ask({0xFF, 0xCA, 0x00, 0x00, 0x00});
  ASSERT_EQ(uid.size(), 6u);
  EXPECT_EQ(Bytes(uid.end() - 2, uid.end()), (Bytes{0x90, 0x00}));
  // A one-byte APDU that is no control code reaches the card: commit before the
  // card keys are written is refused with a length error.
  EXPECT_EQ(reader.Ask({0xAA}), Bytes{0x0C});
  Bytes perso{0xA8, 0x00, 0x90};
  perso.insert(perso.end(), 16, 0x11);
  EXPECT_EQ(reader.Ask(perso), Bytes{0x90});
  // A reset ends nothing that is kept: the same UID, a fresh activation.
  reader.Send({0x02});
  EXPECT_EQ(reader.Ask({0x04}), atr);
  EXPECT_EQ(reader.Ask({0xFF, 0xCA, 0x00, 0x00, 0x00}), uid);
  reader.Send({0x00});  // power off: APDUs find no card
  EXPECT_EQ(reader.Ask({0xFF, 0xCA, 0x00, 0x00, 0x00}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);
}

TEST(Vpcd, EachReaderKindAnswersItsOwnCommandsAndRefusesTheOthers) {
  const Bytes session{0xFF, 0xC2, 0x00, 0x00, 0x02, 0x81, 0x00};
  const Bytes firmware{0xFF, 0x00, 0x48, 0x00, 0x00};
  struct Case {
    const char* kind;
    Bytes sessionAnswer;
    Bytes firmwareAnswer;
  };
  const Case cases[] = {
      {"generic", {0x6D, 0x00}, {0x6D, 0x00}},
      {"part3", {0xC0, 0x03, 0x00, 0x90, 0x00, 0x90, 0x00}, {0x6D, 0x00}},
      {"pn532", {0x6D, 0x00}, {'P', 'E', 'L', 'K', 'I', 'N', '-', '5', '3', '2'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Listener vpcd;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(PELKIN_SIM, {"--vpcd", "127.0.0.1:" + std::to_string(vpcd.port()),
                                       "--pcsc-reader", c.kind, "--seed", "5"}));
    FakeVpcd reader(vpcd.Accept());
    ASSERT_TRUE(reader.peer().valid());
    reader.Send({0x01});
    EXPECT_EQ(reader.Ask(session), c.sessionAnswer);
    EXPECT_EQ(reader.Ask(firmware), c.firmwareAnswer);
    EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);
  }
}

TEST(Vpcd, AnUnknownReaderKindOrOneWithoutVpcdIsRefused) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--vpcd", "127.0.0.1:1", "--pcsc-reader", "acr122"},
        std::vector<std::string>{"--pcsc-reader", "part3"}}) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start(PELKIN_SIM, args, 2000));
    EXPECT_EQ(sim.Wait(3000), 2);
  }
}

TEST(Vpcd, TheCardWaitsForVpcdAndAStopEndsTheWaitCleanly) {
  SimProcess sim;
  const int port = UnusedPort();
  // Not announced while nothing listens: it keeps trying until its deadline.
  EXPECT_FALSE(sim.Start(PELKIN_SIM, {"--vpcd", "127.0.0.1:" + std::to_string(port)}, 500));
  EXPECT_EQ(sim.Stop(SIGTERM, 3000), 0);  // a stop while it retries is a clean end
}

}  // namespace
}  // namespace transport_test
