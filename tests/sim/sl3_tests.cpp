#include <gtest/gtest.h>

#include <cstring>

#include "access.h"
#include "mfplus/crypto.h"
#include "sim_test_support.h"

namespace pelkin::test {
namespace {

const Block kFF = Filled(0xFF);

class Level3 : public ::testing::Test {
 protected:
  Level3() : bench(CardAtLevel({false, true, false}, 3)) { bench.ActivateLayer4(); }
  Bench bench;
  HostSession host;
};

TEST_F(Level3, WrongKeyFailsTheSecondStep) {
  EXPECT_EQ(host.FirstAuth(bench, 0x4002, Filled(0x01), Filled(0x21)), kCardAuthError);
  EXPECT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
}

TEST_F(Level3, KeyAddressesAreCheckedPerLevel) {
  EXPECT_EQ(host.FirstAuth(bench, 0x9002, kFF, Filled(1)),
            kCardNotAllowed);  // switch key at Level 3
  EXPECT_EQ(host.FirstAuth(bench, 0x9003, kFF, Filled(1)), kCardNotAllowed);
  EXPECT_EQ(host.FirstAuth(bench, 0xA080, kFF, Filled(1)), kCardNotAllowed);
  EXPECT_EQ(host.FirstAuth(bench, 0x4050, kFF, Filled(1)), kCardBadBlock);  // no card has it
  EXPECT_EQ(host.FirstAuth(bench, 0x1234, kFF, Filled(1)), kCardBadBlock);
  EXPECT_EQ(bench.Tcl({0x76, 0x00, 0x40}), Bytes{kCardAuthError});  // Following needs a session
}

TEST_F(Level3, EveryReadCodeMirrorsTheHost) {
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  Bytes written(48);
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(3 * i);
  ASSERT_EQ(host.Write(bench, 0xA0, 4, written), kCardOk);
  for (std::uint8_t code = 0x30; code <= 0x37; ++code) {
    for (int count = 1; count <= 3; ++count) {
      Bytes data;
      ASSERT_EQ(host.Read(bench, code, 4, count, &data), kCardOk) << int(code) << " " << count;
      EXPECT_EQ(data, Bytes(written.begin(), written.begin() + 16 * count));
    }
  }
  // Reads without an answer MAC are folded into the next MACed one (checked by the host).
  Bytes data;
  ASSERT_EQ(host.Read(bench, 0x32, 4, 1, &data), kCardOk);
  ASSERT_EQ(host.Read(bench, 0x36, 5, 2, &data), kCardOk);
  ASSERT_EQ(host.Read(bench, 0x33, 6, 1, &data), kCardOk);
}

TEST_F(Level3, BadMacsAndForbiddenBlocksKeepTheCounters) {
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  Bytes command = host.WithMac({0x33, 4, 0, 1}, host.readCounter);
  command.back() ^= 1;
  EXPECT_EQ(bench.Tcl(command), Bytes{kCardMacError});
  Bytes data;
  EXPECT_EQ(host.Read(bench, 0x33, 8, 1, &data), kCardNotAllowed);  // sector 2, not ours
  EXPECT_EQ(host.Read(bench, 0x33, 4, 0, &data), kCardLengthError);
  EXPECT_EQ(host.Write(bench, 0xA1, 0x9000, Bytes(16, 1)),
            kCardNotAllowed);  // needs the master key
  EXPECT_EQ(host.Write(bench, 0xA1, 0, Bytes(16, 1)), kCardNotAllowed);
  EXPECT_EQ(host.Write(bench, 0xA1, 4, Bytes(64, 1)), kCardLengthError);
  // Counters unchanged: MACed commands still verify.
  EXPECT_EQ(host.Read(bench, 0x31, 4, 1, &data), kCardOk);
  EXPECT_EQ(host.Write(bench, 0xA1, 4, Bytes(16, 9)), kCardOk);
}

TEST_F(Level3, TrailerGovernsPlainReadsAndKeyRights) {
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  // Plain reads only for group 0; group 1 becomes writable with key B only (100).
  std::uint8_t conditions[4] = {0, 4, 0, 1};
  Bytes trailer(16, 0xFF);
  trailer[5] = 0xE1;
  EncodeAccessBits(conditions, trailer.data() + 6);
  trailer[9] = 0x69;
  ASSERT_EQ(host.Write(bench, 0xA1, 7, trailer), kCardOk);
  Bytes data;
  EXPECT_EQ(host.Read(bench, 0x33, 4, 1, &data), kCardOk);
  EXPECT_EQ(host.Read(bench, 0x33, 5, 1, &data), kCardNotAllowed);
  EXPECT_EQ(host.Read(bench, 0x31, 5, 1, &data), kCardOk);
  EXPECT_EQ(host.Write(bench, 0xA1, 5, Bytes(16, 2)), kCardNotAllowed);
  Bytes locking = trailer;
  locking[7] ^= 0x10;
  EXPECT_EQ(host.Write(bench, 0xA1, 7, locking), kCardGeneralError);

  HostSession b;
  ASSERT_EQ(b.FirstAuth(bench, 0x4003, kFF, Filled(0x22)), kCardOk);
  EXPECT_EQ(b.Write(bench, 0xA1, 5, Bytes(16, 2)), kCardOk);
}

TEST_F(Level3, KeysChangeUnderTheRightKeyOnly) {
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  EXPECT_EQ(host.Write(bench, 0xA3, 0x4002, Bytes(16, 0x77)), kCardNotAllowed);  // plain key
  EXPECT_EQ(host.Write(bench, 0xA1, 0x4004, Bytes(16, 0x77)), kCardNotAllowed);  // another sector
  ASSERT_EQ(host.Write(bench, 0xA1, 0x4002, Bytes(16, 0x77)), kCardOk);
  EXPECT_EQ(bench.card().image().keys.at(0x4002), Filled(0x77));
  HostSession again;
  EXPECT_EQ(again.FirstAuth(bench, 0x4002, kFF, Filled(1)), kCardAuthError);
  EXPECT_EQ(again.FirstAuth(bench, 0x4002, Filled(0x77), Filled(1)), kCardOk);

  HostSession config;
  ASSERT_EQ(config.FirstAuth(bench, 0x9001, kFF, Filled(5)), kCardOk);
  EXPECT_EQ(config.Write(bench, 0xA1, 0xB000, Bytes(16, 1)), kCardNotAllowed);
  EXPECT_EQ(config.Write(bench, 0xA1, 0xB003, Bytes(16, 0)), kCardOk);
  EXPECT_EQ(config.Write(bench, 0xA1, 0xA081, Bytes(16, 0x3A)), kCardOk);
  HostSession master;
  ASSERT_EQ(master.FirstAuth(bench, 0x9000, kFF, Filled(6)), kCardOk);
  EXPECT_EQ(master.Write(bench, 0xA1, 0xB001, Bytes(16, 0xA0)), kCardOk);
  EXPECT_EQ(master.Write(bench, 0xA1, 0xA081, Bytes(16, 1)), kCardNotAllowed);
  Bytes data;
  EXPECT_EQ(master.Read(bench, 0x31, 4, 1, &data), kCardNotAllowed);  // card keys open no sector
}

TEST_F(Level3, ResetAuthenticateEndsTheSession) {
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  EXPECT_EQ(bench.Tcl({0x78}), Bytes{kCardOk});
  Bytes data;
  EXPECT_EQ(host.Read(bench, 0x31, 4, 1, &data), kCardAuthError);
}

TEST(LevelSwitch, FirstAuthenticateWithASwitchKeyRaisesTheLevelAtTheNextActivation) {
  Bench bench(CardAtLevel({false, false, false}, 1));
  bench.ActivateLayer4();
  HostSession host;
  EXPECT_EQ(host.FirstAuth(bench, 0x4000, kFF, Filled(1)), kCardNotAllowed);
  EXPECT_EQ(host.FirstAuth(bench, 0x9003, Filled(2), Filled(1)), kCardAuthError);
  EXPECT_EQ(host.FirstAuth(bench, 0x9003, kFF, Filled(1)), kCardOk);
  EXPECT_EQ(bench.card().image().level, 3);
  EXPECT_EQ(bench.card().activeLevel(), 1);
  EXPECT_EQ(bench.Activate(), 0x20);
  EXPECT_EQ(bench.card().activeLevel(), 3);
}

TEST(LevelSwitch, SCardsHaveNoLevel2) {
  Bench bench(CardAtLevel({true, false, false}, 1));
  bench.ActivateLayer4();
  HostSession host;
  EXPECT_EQ(host.FirstAuth(bench, 0x9002, kFF, Filled(1)), kCardNotAllowed);
  Bench x(CardAtLevel({false, false, false}, 1));
  x.ActivateLayer4();
  EXPECT_EQ(host.FirstAuth(x, 0x9002, kFF, Filled(1)), kCardOk);
  EXPECT_EQ(x.card().image().level, 2);
}

TEST_F(Level3, ValueCommandsUseTheTransferBuffer) {
  namespace crypto = ostrel::crypto;
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, kFF, Filled(0x21)), kCardOk);
  Bytes value{0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
  ASSERT_EQ(host.Write(bench, 0xA3, 5, value), kCardOk);
  auto operand = [&](std::int32_t v) {
    std::uint8_t plain[16] = {};
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) plain[i] = static_cast<std::uint8_t>(u >> (8 * i));
    plain[4] = 0x80;
    Bytes out(16);
    const Block iv = host.IvCommand();
    crypto::CbcEncrypt(out.data(), plain, 16, host.kEnc.data(), iv.data());
    return out;
  };
  auto send = [&](Bytes command) {
    Bytes answer = bench.Tcl(host.WithMac(command, host.writeCounter));
    if (!answer.empty() && answer[0] == kCardOk) ++host.writeCounter;
    return answer.empty() ? std::uint8_t{0xFF} : answer[0];
  };
  Bytes increment{0xB0, 5, 0};
  Bytes e = operand(20);
  increment.insert(increment.end(), e.begin(), e.end());
  EXPECT_EQ(send(increment), kCardOk);
  EXPECT_EQ(send({0xB4, 6, 0}), kCardOk);  // transfer the 120 into block 6
  Bytes decTransfer{0xB8, 6, 0, 4, 0};
  e = operand(30);
  decTransfer.insert(decTransfer.end(), e.begin(), e.end());
  EXPECT_EQ(send(decTransfer), kCardOk);
  EXPECT_EQ(send({0xC2, 5, 0}), kCardOk);          // restore 100
  EXPECT_EQ(send({0xB5, 7, 0}), kCardNotAllowed);  // the trailer holds no value
  Bytes data;
  ASSERT_EQ(host.Read(bench, 0x33, 4, 3, &data), kCardOk);
  auto valueAt = [&](int block) {
    std::int32_t v = 0;
    std::memcpy(&v, data.data() + 16 * block, 4);
    return v;
  };
  EXPECT_EQ(valueAt(0), 90);  // block 4 = 120 - 30
  EXPECT_EQ(valueAt(1), 100);
  EXPECT_EQ(valueAt(2), 120);
  EXPECT_EQ(data[16 * 2 + 12], 0x05);  // address byte kept from the source
  Bytes notValue{0xB0, 7, 0};
  e = operand(1);
  notValue.insert(notValue.end(), e.begin(), e.end());
  EXPECT_EQ(send(notValue), kCardNotAllowed);
}

}  // namespace
}  // namespace pelkin::test

namespace pelkin::test {
namespace {

TEST(Level3Limits, ReadCounterRefusesToWrapAndSmallCardsLackHighSectors) {
  Bench bench(CardAtLevel({false, false, false}, 3));  // X2K4
  bench.ActivateLayer4();
  HostSession host;
  EXPECT_EQ(host.FirstAuth(bench, 0x4040, Filled(0xFF), Filled(1)), kCardNoBlock);  // sector 32
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, Filled(0xFF), Filled(1)), kCardOk);
  // 0x36: plain, no MAC either way, so only the counter moves.
  for (int i = 0; i < 0xFFFF; ++i) {
    Bytes answer = bench.Tcl({0x36, 4, 0, 1});
    ASSERT_EQ(answer.size(), 17u) << i;
  }
  EXPECT_EQ(bench.Tcl({0x36, 4, 0, 1}), Bytes{kCardCommandOverflow});
  EXPECT_EQ(host.Write(bench, 0xA1, 4, Bytes(16, 1)), kCardOk);  // the write counter is apart
}

}  // namespace
}  // namespace pelkin::test

namespace pelkin::test {
namespace {

TEST(SCard, NoVirtualCardsNoProximityCheckAndPlainReadsAlways) {
  Bench bench(CardAtLevel({true, true, false}, 3));
  bench.ActivateLayer4();
  Bytes support(17, 0xA0);
  support[0] = 0x42;
  EXPECT_EQ(bench.Tcl(support), Bytes{kCardVcUnsupported});
  EXPECT_EQ(bench.Tcl({0x48}), Bytes{kCardVcUnsupported});
  int bits = 0;
  EXPECT_EQ(bench.RawBytes({0x0A, 10, 0xF0}, &bits), (Bytes{0x0A, 10, kCardNotAllowed}));
  HostSession host;
  ASSERT_EQ(host.FirstAuth(bench, 0x4002, Filled(0xFF), Filled(1)), kCardOk);
  Bytes trailer(16, 0xFF);
  trailer[5] = 0xF0;  // no group may be read in plain: an S card ignores it
  trailer[6] = 0xFF, trailer[7] = 0x07, trailer[8] = 0x80, trailer[9] = 0x69;
  ASSERT_EQ(host.Write(bench, 0xA1, 7, trailer), kCardOk);
  Bytes data;
  EXPECT_EQ(host.Read(bench, 0x33, 4, 1, &data), kCardOk);
}

}  // namespace
}  // namespace pelkin::test
