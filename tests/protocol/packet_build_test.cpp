#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "protocol/packet.h"

namespace zarvek {
namespace {

using Frame = std::array<uint8_t, kPacketSize>;

TEST(BuildPacket, SizeOf1500ByteFile) {
  Frame f{};
  buildSize(f.data(), 1500);
  const uint8_t head[] = {'F', 'S', 0x00, 0x00, 0x00, 0x00, 0x05, 0xDC};
  EXPECT_EQ(0, std::memcmp(f.data(), head, sizeof head));
  EXPECT_EQ(f[1028], 0x05);
  EXPECT_EQ(f[1029], 0x3F);
}

TEST(BuildPacket, SizeZeroCarriesZeroChecksum) {
  Frame f;
  f.fill(0xEE);
  buildSize(f.data(), 0);
  EXPECT_EQ(f[1028], 0x00);
  EXPECT_EQ(f[1029], 0x00);
  EXPECT_EQ(f[8], 0xEE) << "offsets 8-1027 of FS are not written";
}

TEST(BuildPacket, NameAbc) {
  Frame f{};
  buildName(f.data(), "abc", 3);
  const uint8_t head[] = {'F', 'N', 0x00, 0x03, 'a', 'b', 'c'};
  EXPECT_EQ(0, std::memcmp(f.data(), head, sizeof head));
  EXPECT_EQ(f[1028], 0xB0);
  EXPECT_EQ(f[1029], 0x08);
  EXPECT_EQ(payloadLength(f.data()), 3);
  EXPECT_TRUE(checkCrc(f.data(), payloadLength(f.data())));
}

TEST(BuildPacket, DataLengthsAndChecksum) {
  std::vector<uint8_t> chunk(1024);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7);
  for (int32_t n : {1, 952, 1024}) {
    Frame f{};
    buildData(f.data(), chunk.data(), n);
    EXPECT_EQ(f[0], 'F');
    EXPECT_EQ(f[1], 'D');
    EXPECT_EQ(payloadLength(f.data()), n);
    EXPECT_EQ(0, std::memcmp(f.data() + 4, chunk.data(), static_cast<size_t>(n)));
    EXPECT_TRUE(checkCrc(f.data(), n)) << n;
  }
  Frame f{};
  buildData(f.data(), chunk.data(), 1024);
  EXPECT_EQ(f[2], 0x04);
  EXPECT_EQ(f[3], 0x00);
}

TEST(BuildPacket, EndAndAbortRepeatThePreviousPacket) {
  std::vector<uint8_t> chunk(952, 0x5A);
  Frame f{};
  buildData(f.data(), chunk.data(), 952);
  const Frame previous = f;
  buildEndOfFile(f.data());
  EXPECT_TRUE(isKind(f.data(), kEndOfFile));
  EXPECT_TRUE(std::equal(f.begin() + 2, f.end(), previous.begin() + 2)) << "EF keeps offsets 2-1029, checksum included";

  buildAbort(f.data());
  EXPECT_TRUE(isKind(f.data(), kAbortFile));
  EXPECT_TRUE(std::equal(f.begin() + 2, f.end(), previous.begin() + 2));
}

TEST(BuildPacket, OnlyTheKindsBytesAreWritten) {
  Frame f;
  f.fill(0xC3);
  buildName(f.data(), "ab", 2);
  for (int i = 6; i < 1028; ++i) ASSERT_EQ(f[i], 0xC3) << "offset " << i;
}

TEST(PacketCodes, FixedValues) {
  EXPECT_EQ(static_cast<int>(PacketResult::Failed), 0);
  EXPECT_EQ(static_cast<int>(PacketResult::FileEnded), 4);
  EXPECT_EQ(static_cast<int>(PacketResult::TransferEnded), 5);
  EXPECT_EQ(static_cast<int>(PacketResult::Accepted), 7);
  EXPECT_EQ(static_cast<int>(PacketResult::CrcFailed), 8);
  EXPECT_EQ(kReplyAccept, 0x41);
  EXPECT_EQ(kReplyRefuse, 0x4E);
}

}  // namespace
}  // namespace zarvek
