#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

#include "protocol/packet.h"

namespace zarvek {
namespace {

// A frame whose payload holds `bytes`.
std::array<uint8_t, kPacketSize> frameWith(const std::string& bytes) {
  std::array<uint8_t, kPacketSize> f{};
  std::memcpy(f.data() + offset::payload, bytes.data(), bytes.size());
  return f;
}

uint16_t crcOf(const std::string& bytes) {
  auto f = frameWith(bytes);
  return PacketCrc(f.data(), static_cast<int32_t>(bytes.size()));
}

// Plain bitwise CRC-16/ARC (reflected 0xA001, init 0, no final xor), written
// independently of the nibble table.
uint16_t crc16Arc(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

TEST(PacketCrc, CheckValues) {
  EXPECT_EQ(crcOf(""), 0x0000);
  EXPECT_EQ(crcOf("abc"), 0xB008);
  EXPECT_EQ(crcOf("123456789"), 0x224B);
  EXPECT_EQ(crcOf(std::string("\x01\x02\x03", 3)), 0xB008);
  EXPECT_EQ(crcOf("\xA1"), 0x0CC0);
  EXPECT_EQ(crcOf("\x01"), 0x0CC0);
}

TEST(PacketCrc, IsNotStandardArc) {
  const std::string s = "123456789";
  EXPECT_EQ(crc16Arc(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 0xBB3D);
  EXPECT_NE(crcOf(s), 0xBB3D);
}

TEST(PacketCrc, EqualsArcOverLowNibblesRepeated) {
  std::mt19937 gen(20261206);
  for (int round = 0; round < 200; ++round) {
    const size_t n = gen() % (kMaxChunk + 1);
    auto f = frameWith("");
    std::array<uint8_t, kMaxChunk> lowOnly{};
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = static_cast<uint8_t>(gen());
      f[offset::payload + i] = b;
      lowOnly[i] = static_cast<uint8_t>((b & 0x0F) * 0x11);
    }
    ASSERT_EQ(PacketCrc(f.data(), static_cast<int32_t>(n)), crc16Arc(lowOnly.data(), n)) << "length " << n;
  }
}

TEST(PacketCrc, NonPositiveCountIsZeroAndLargeCountStaysInFrame) {
  auto f = frameWith("abc");
  EXPECT_EQ(PacketCrc(f.data(), 0), 0);
  EXPECT_EQ(PacketCrc(f.data(), -5), 0);
  // A count beyond the payload reads only the 1024 payload bytes.
  EXPECT_EQ(PacketCrc(f.data(), 40000), PacketCrc(f.data(), kMaxChunk));
}

TEST(PayloadLength, ReadsTheLengthField) {
  struct Case { uint8_t high, low; int32_t expected; };
  const Case cases[] = {
      {0x00, 0xC8, 200}, {0x04, 0x00, 1024}, {0x00, 0x00, 0}, {0x00, 0xFF, 255},
      {0x01, 0x05, 261}, {0x7F, 0xFF, 32767}, {0x80, 0x00, -32768}, {0xFF, 0xFF, -1},
  };
  for (const auto& c : cases) {
    auto f = frameWith("");
    f[offset::lengthHigh] = c.high;
    f[offset::lengthLow] = c.low;
    EXPECT_EQ(payloadLength(f.data()), c.expected) << std::hex << int(c.high) << " " << int(c.low);
  }
}

TEST(CheckCrc, MatchesStoredChecksum) {
  auto f = frameWith("abc");
  f[offset::crcHigh] = 0xB0;
  f[offset::crcLow] = 0x08;
  EXPECT_TRUE(checkCrc(f.data(), 3));
  f[offset::crcLow] = 0x09;
  EXPECT_FALSE(checkCrc(f.data(), 3));
}

TEST(CheckCrc, LengthsOutsideThePayloadFailTheCheck) {
  // Even when the stored checksum equals what a bounded read would give, a
  // count that no real payload has is refused.
  auto f = frameWith(std::string(kMaxChunk, '\x11'));
  const uint16_t full = PacketCrc(f.data(), kMaxChunk);
  f[offset::crcHigh] = static_cast<uint8_t>(full >> 8);
  f[offset::crcLow] = static_cast<uint8_t>(full);
  EXPECT_TRUE(checkCrc(f.data(), kMaxChunk));
  for (int32_t n : {kMaxChunk + 1, 1026, 32767, -1, -32768}) EXPECT_FALSE(checkCrc(f.data(), n)) << n;
  // Zero bytes: checksum 0.
  f[offset::crcHigh] = 0;
  f[offset::crcLow] = 0;
  EXPECT_TRUE(checkCrc(f.data(), 0));
}

}  // namespace
}  // namespace zarvek
