// A receive folder on a file system too small for the announced size. Without
// a reservation the file would be created sparse, and the first chunk copied
// into an unbacked page would kill the receiver with SIGBUS.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    mounted_ = mount("tmpfs", dir_.str().c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!mounted_) GTEST_SKIP() << "cannot mount a 256 KiB tmpfs (needs root): " << std::strerror(errno);
  }
  void TearDown() override { if (mounted_) umount2(dir_.str().c_str(), MNT_DETACH); }

  // FS, then FN, as the receiver gets them; the name step's result.
  PacketResult announce(FileReceiver& receiver, const char* name, uint32_t size) {
    receiver.beginFile(dir_.str().c_str());
    buildSize(receiver.packet(), size);
    EXPECT_EQ(receiver.dispatch(), PacketResult::Accepted);
    buildName(receiver.packet(), name, static_cast<uint8_t>(std::strlen(name)));
    return receiver.dispatch();
  }

  test::TempDir dir_;
  test::RecordingUi ui_;
  bool mounted_ = false;
};

// No room for the announced size fails the name step; a file made takes its
// blocks at once, so that a second one finds no room before a chunk is written.
TEST_F(FullDisk, NoRoomFailsTheNameStepAndSpaceIsReservedWhenTheFileIsCreated) {
  FileReceiver big(ui_), first(ui_), second(ui_);
  EXPECT_EQ(announce(big, "big.bin", 1024 * 1024), PacketResult::Failed);
  EXPECT_EQ(ui_.errorCodes(), std::vector<unsigned long>{ENOSPC});
  ASSERT_EQ(ui_.reports().size(), 1u);
  EXPECT_EQ(ui_.reports()[0].outcome, FileOutcome::Refused);
  EXPECT_NE(ui_.reports()[0].reason.find("no room"), std::string::npos) << ui_.reports()[0].reason;
  const std::string chunk(kMaxChunk, 'x');
  buildData(big.packet(), reinterpret_cast<const uint8_t*>(chunk.data()), kMaxChunk);
  EXPECT_EQ(big.dispatch(), PacketResult::Failed) << "a chunk went into a file with no room";
  EXPECT_EQ(std::filesystem::file_size(dir_ / "big.bin"), 0u) << "what was reserved stays taken";

  ASSERT_EQ(announce(first, "first.bin", 200 * 1024), PacketResult::Accepted);
  EXPECT_EQ(announce(second, "second.bin", 100 * 1024), PacketResult::Failed);
  buildData(first.packet(), reinterpret_cast<const uint8_t*>(chunk.data()), kMaxChunk);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(first.dispatch(), PacketResult::Accepted) << "chunk " << i;
  EXPECT_EQ(test::readFile(dir_ / "first.bin"), std::string(200 * 1024, 'x'));
}

}  // namespace
}  // namespace zarvek
