// The wire format: the checksum, what each builder leaves alone, the receiver's check.
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

namespace zarvek {
namespace {

using Frame = std::array<uint8_t, kPacketSize>;

// Bitwise CRC-16/ARC (reflected 0xA001, init 0), written apart from the nibble table.
uint16_t crc16Arc(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
  }
  return crc;
}

// Low nibbles only, each fed twice: standard ARC over bytes whose high nibble repeats the low.
TEST(PacketCrc, EqualsArcOverLowNibblesDoubled) {
  ASSERT_EQ(crc16Arc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xBB3D) << "the reference itself is off";
  std::mt19937 gen(20261206);
  for (int round = 0; round < 200; ++round) {
    const size_t n = gen() % (kMaxChunk + 1);
    Frame f{};
    std::array<uint8_t, kMaxChunk> doubled{};
    for (size_t i = 0; i < n; ++i) {
      f[offset::payload + i] = static_cast<uint8_t>(gen());
      doubled[i] = static_cast<uint8_t>((f[offset::payload + i] & 0x0F) * 0x11);
    }
    ASSERT_EQ(PacketCrc(f.data(), static_cast<int32_t>(n)), crc16Arc(doubled.data(), n)) << "length " << n;
  }
  Frame f;
  f.fill(0x37);
  EXPECT_EQ(PacketCrc(f.data(), -5), 0);
  EXPECT_EQ(PacketCrc(f.data(), 40000), PacketCrc(f.data(), kMaxChunk)) << "read past the 1024 payload bytes";
}

// The bytes each builder writes are the protocol page's vectors (vectors_test.cpp);
// the rest of the frame keeps what an earlier packet left there.
TEST(BuildPacket, EachKindWritesOnlyItsBytes) {
  Frame f;
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 13 + 1);
  Frame was = f;
  const auto untouched = [&](int from, int to) { return std::equal(f.data() + from, f.data() + to, was.data() + from); };
  buildSize(f.data(), 1500);
  EXPECT_TRUE(untouched(8, offset::crcHigh)) << "FS wrote past its four payload bytes";
  was = f;
  buildName(f.data(), "abc", 3);
  EXPECT_TRUE(untouched(7, offset::crcHigh)) << "FN wrote past its name";
  was = f;
  buildEndOfFile(f.data());
  EXPECT_TRUE(untouched(2, kPacketSize)) << "EF touched offsets 2-1029";
  buildAbort(f.data());
  EXPECT_TRUE(untouched(2, kPacketSize)) << "AF touched offsets 2-1029";
}

// Data packets as built pass the receiver's check (their bytes are the transfer
// tables'); a count no payload has fails it even when the stored value equals
// what a read cut at 1024 bytes gives.
TEST(CheckCrc, BuiltDataPassesAndImpossibleCountsFail) {
  const std::string chunk = std::string(512, '\x5A') + std::string(512, '\xC3');
  Frame f{};
  for (int32_t n : {1, 952, 1024}) {
    buildData(f.data(), reinterpret_cast<const uint8_t*>(chunk.data()), n);
    EXPECT_TRUE(checkCrc(f.data(), n)) << n;
  }
  for (int32_t n : {kMaxChunk + 1, 32767, -1, -32768}) EXPECT_FALSE(checkCrc(f.data(), n)) << n;
  f[offset::crcLow] ^= 1;  // a changed checksum
  EXPECT_FALSE(checkCrc(f.data(), kMaxChunk));
  f[offset::crcHigh] = f[offset::crcLow] = 0;
  EXPECT_TRUE(checkCrc(f.data(), 0));
}

}  // namespace
}  // namespace zarvek
