#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mfplus/crypto.h"

namespace pelkin::test {

namespace crypto = ostrel::crypto;

namespace {
std::uint8_t U8(int v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}

Block Rotl(const Block& in) {
  Block out;
  for (std::size_t i = 0; i < 16; ++i) out[i] = in[(i + 1) % 16];
  return out;
}

Block Derive(const Block& key, const Block& a, const Block& b, std::size_t start, std::size_t x,
             std::uint8_t last) {
  Block sv;
  for (std::size_t i = 0; i < 5; ++i) {
    sv[i] = a[start + i];
    sv[5 + i] = b[start + i];
    sv[10 + i] = U8(a[x + i] ^ b[x + i]);
  }
  sv[15] = last;
  Block out;
  crypto::AesEncryptBlock(key.data(), sv.data(), out.data());
  return out;
}
}  // namespace

Block Filled(std::uint8_t value) {
  Block b;
  b.fill(value);
  return b;
}

Bench::Bench(const Variant& variant, std::uint64_t seed)
    : reader_(
          [&] {
            Rng rng(seed);
            return CardImage::Fresh(variant, rng);
          }(),
          Eeprom{}, seed, nullptr) {}

Bench::Bench(CardImage image, std::uint64_t seed)
    : reader_(std::move(image), Eeprom{}, seed, nullptr) {}

Bench::Bench(std::unique_ptr<CardInterface> card) : reader_(std::move(card), Eeprom{}) {}

Answer Bench::Send(std::uint8_t command, const Bytes& data, std::uint8_t control) {
  Bytes frame{control, command, U8(static_cast<int>(data.size()))};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(CheckByte(frame.data(), frame.size()));
  Reply reply = reader_.Handle(frame.data(), frame.size());
  Answer answer;
  const Bytes& r = reply.frame;
  EXPECT_GE(r.size(), 4u);
  if (r.size() < 4) return answer;
  EXPECT_EQ(r.size(), r[2] + 4u);
  EXPECT_EQ(CheckByte(r.data(), r.size() - 1), r.back());
  answer.control = r[0];
  answer.status = r[1];
  answer.data.assign(r.begin() + 3, r.end() - 1);
  return answer;
}

std::uint8_t Bench::Activate(Bytes* uid) {
  Send(0x45);  // halt whatever is active, then wake every card
  EXPECT_EQ(Send(0x41, {1}).status, 0);
  Bytes collected;
  std::uint8_t sak = 0;
  for (std::uint8_t code = 0x93; code <= 0x97; code = U8(code + 2)) {
    Answer part = Send(0x74, {code, 0});
    EXPECT_EQ(part.status, 0);
    Bytes select{code};
    select.insert(select.end(), part.data.begin(), part.data.end());
    Answer chosen = Send(0x75, select);
    EXPECT_EQ(chosen.status, 0);
    sak = chosen.data.at(0);
    if (sak & 0x04) {
      collected.insert(collected.end(), part.data.begin() + 1, part.data.end());
      continue;
    }
    collected.insert(collected.end(), part.data.begin(), part.data.end());
    break;
  }
  if (uid) *uid = collected;
  return sak;
}

void Bench::ActivateLayer4() {
  Activate();
  Answer ats = Send(0x91, {10});
  ASSERT_EQ(ats.status, 0);
}

Bytes Bench::Tcl(const Bytes& command) {
  std::size_t offset = 0;
  std::uint8_t sequence = 0;
  Answer answer;
  do {
    const std::size_t take = std::min<std::size_t>(60, command.size() - offset);
    const bool more = command.size() - offset > 60;
    answer = Send(0x94,
                  Bytes(command.begin() + static_cast<std::ptrdiff_t>(offset),
                        command.begin() + static_cast<std::ptrdiff_t>(offset + take)),
                  U8(sequence | (more ? 0x40 : 0)));
    offset += take;
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.control & 0x3F, sequence);
    if (answer.status != 0) return {};
    if (more) {
      EXPECT_EQ(answer.control, U8(0x40 | sequence));
      sequence = U8((sequence + 1) & 0x3F);
    }
  } while (offset < command.size());
  Bytes whole = answer.data;
  while (answer.control & 0x40) {
    sequence = U8((sequence + 1) & 0x3F);
    answer = Send(0x94, {}, U8(0x80 | sequence));
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.control & 0xBF, U8(0x80 | sequence));
    whole.insert(whole.end(), answer.data.begin(), answer.data.end());
  }
  return whole;
}

Bytes Bench::RawBytes(const Bytes& payload, int* bits, int sendBits) {
  if (sendBits < 0) sendBits = static_cast<int>(payload.size()) * 8;
  Bytes data{U8((sendBits % 8) | 0xC0), 7};
  data.insert(data.end(), payload.begin(), payload.end());
  Answer answer = Send(0x90, data);
  if (answer.data.size() < 2) {
    *bits = -1;
    return {};
  }
  const int count = static_cast<int>(answer.data.size()) - 2;
  const int valid = answer.data[0] & 7;
  *bits = count == 0 ? 0 : (valid ? (count - 1) * 8 + valid : count * 8);
  if (answer.status != 0) *bits = -1;
  return Bytes(answer.data.begin() + 2, answer.data.end());
}

CardImage CardAtLevel(const Variant& variant, int level, std::uint64_t seed) {
  Rng rng(seed);
  CardImage image = CardImage::Fresh(variant, rng);
  image.level = level;
  return image;
}

Block HostSession::IvCommand() const {
  Block iv;
  const std::uint8_t c[4] = {U8(readCounter), U8(readCounter >> 8), U8(writeCounter),
                             U8(writeCounter >> 8)};
  std::memcpy(iv.data(), ti, 4);
  for (int i = 0; i < 3; ++i) std::memcpy(iv.data() + 4 + 4 * i, c, 4);
  return iv;
}

Block HostSession::IvResponse() const {
  Block iv;
  const std::uint8_t c[4] = {U8(readCounter), U8(readCounter >> 8), U8(writeCounter),
                             U8(writeCounter >> 8)};
  for (int i = 0; i < 3; ++i) std::memcpy(iv.data() + 4 * i, c, 4);
  std::memcpy(iv.data() + 12, ti, 4);
  return iv;
}

std::uint8_t HostSession::FirstAuth(Bench& bench, std::uint16_t address, const Block& key,
                                    const Block& rndA) {
  Bytes first = bench.Tcl({0x70, U8(address), U8(address >> 8), 0x06, 0, 0, 0, 0, 0, 0});
  if (first.empty() || first[0] != 0x90) return first.empty() ? 0xFF : first[0];
  EXPECT_EQ(first.size(), 17u);
  const Block zero{};
  Block rndB;
  crypto::CbcDecrypt(rndB.data(), first.data() + 1, 16, key.data(), zero.data());
  std::uint8_t plain[32];
  std::memcpy(plain, rndA.data(), 16);
  const Block rndB1 = Rotl(rndB);
  std::memcpy(plain + 16, rndB1.data(), 16);
  Bytes second(33);
  second[0] = 0x72;
  crypto::CbcEncrypt(second.data() + 1, plain, 32, key.data(), zero.data());
  Bytes reply = bench.Tcl(second);
  if (reply.empty() || reply[0] != 0x90) return reply.empty() ? 0xFF : reply[0];
  EXPECT_EQ(reply.size(), 33u);
  std::uint8_t out[32];
  crypto::CbcDecrypt(out, reply.data() + 1, 32, key.data(), zero.data());
  EXPECT_EQ(0, std::memcmp(out + 4, Rotl(rndA).data(), 16)) << "RndA' is RndA rotated left";
  std::memcpy(ti, out, 4);
  kMac = Derive(key, rndA, rndB, 7, 0, 0x22);
  kEnc = Derive(key, rndA, rndB, 11, 4, 0x11);
  readCounter = writeCounter = 0;
  readMac.clear();
  return 0x90;
}

Bytes HostSession::WithMac(const Bytes& command, std::uint16_t counter) const {
  Bytes input{command[0], U8(counter), U8(counter >> 8)};
  input.insert(input.end(), ti, ti + 4);
  input.insert(input.end(), command.begin() + 1, command.end());
  std::uint8_t mac[8];
  crypto::CmacTruncated(mac, input.data(), input.size(), kMac.data());
  Bytes out = command;
  out.insert(out.end(), mac, mac + 8);
  return out;
}

std::uint8_t HostSession::Read(Bench& bench, std::uint8_t code, std::uint16_t block, int count,
                               Bytes* data) {
  Bytes command{code, U8(block), U8(block >> 8), U8(count)};
  if ((code & 4) == 0) command = WithMac(command, readCounter);
  Bytes answer = bench.Tcl(command);
  if (answer.empty() || answer[0] != 0x90) return answer.empty() ? 0xFF : answer[0];
  const std::size_t n = 16u * static_cast<std::size_t>(count);
  EXPECT_EQ(answer.size(), 1 + n + ((code & 1) ? 8u : 0u));
  ++readCounter;
  if (readMac.empty()) {
    readMac.assign(7, 0);
    readMac[0] = 0x90;
    std::memcpy(readMac.data() + 3, ti, 4);
  }
  readMac[1] = U8(readCounter);
  readMac[2] = U8(readCounter >> 8);
  readMac.insert(readMac.end(), command.begin() + 1, command.begin() + 4);
  readMac.insert(readMac.end(), answer.begin() + 1,
                 answer.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  if (code & 1) {
    std::uint8_t mac[8];
    crypto::CmacTruncated(mac, readMac.data(), readMac.size(), kMac.data());
    EXPECT_EQ(0, std::memcmp(mac, answer.data() + 1 + n, 8)) << "read answer MAC";
    readMac.clear();
  }
  data->assign(answer.begin() + 1, answer.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  if ((code & 2) == 0) {
    const Block iv = IvResponse();
    crypto::CbcDecrypt(data->data(), data->data(), data->size(), kEnc.data(), iv.data());
  }
  return 0x90;
}

std::uint8_t HostSession::Write(Bench& bench, std::uint8_t code, std::uint16_t block,
                                const Bytes& data) {
  readMac.clear();
  Bytes payload = data;
  if ((code & 2) == 0 && !payload.empty()) {
    const Block iv = IvCommand();
    crypto::CbcEncrypt(payload.data(), payload.data(), payload.size(), kEnc.data(), iv.data());
  }
  Bytes command{code, U8(block), U8(block >> 8)};
  command.insert(command.end(), payload.begin(), payload.end());
  Bytes answer = bench.Tcl(WithMac(command, writeCounter));
  if (answer.empty() || answer[0] != 0x90) return answer.empty() ? 0xFF : answer[0];
  ++writeCounter;
  if (code & 1) {
    EXPECT_EQ(answer.size(), 9u);
    Bytes input{0x90, U8(writeCounter), U8(writeCounter >> 8)};
    input.insert(input.end(), ti, ti + 4);
    std::uint8_t mac[8];
    crypto::CmacTruncated(mac, input.data(), input.size(), kMac.data());
    EXPECT_EQ(0, std::memcmp(mac, answer.data() + 1, 8)) << "write answer MAC";
  }
  return 0x90;
}

}  // namespace pelkin::test
