// A receive folder on a file system too small for the announced size. Without a
// reservation the file would be created sparse, and the first chunk copied into
// an unbacked page would kill the receiver with SIGBUS.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "diagnostic_log.h"
#include "protocol/packet.h"
#include "receive/target_file.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (mount("tmpfs", dir_.str().c_str(), "tmpfs", 0, "size=256k") != 0) {
      GTEST_SKIP() << "cannot mount a 256 KiB tmpfs (needs root): " << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(dir_.str().c_str(), MNT_DETACH);
  }

  // FS, FN and openForWrite into the small file system.
  int receive(TargetFile& t, const char* name, uint32_t size) {
    std::array<uint8_t, kPacketSize> p{};
    p[4] = static_cast<uint8_t>(size >> 24);
    p[5] = static_cast<uint8_t>(size >> 16);
    p[6] = static_cast<uint8_t>(size >> 8);
    p[7] = static_cast<uint8_t>(size);
    t.setFolder(dir_.str().c_str());
    t.storeSize(p.data());
    p[3] = static_cast<uint8_t>(std::strlen(name));
    std::memcpy(p.data() + 4, name, std::strlen(name));
    if (!t.takeName(p.data(), ui_)) return 0;
    return t.openForWrite();
  }

  test::TempDir dir_;
  test::RecordingUi ui_;
  test::DiagnosticLog log_;
  bool mounted_ = false;
};

TEST_F(FullDisk, SizeBeyondTheDiskFailsTheNameStepAndLeavesAnEmptyFile) {
  TargetFile t;
  EXPECT_EQ(receive(t, "big.bin", 1024 * 1024), 0);
  EXPECT_FALSE(t.isMapped());
  EXPECT_NE(t.refusal().find("no room"), std::string::npos) << t.refusal();
  EXPECT_EQ(log_.codes(), std::vector<unsigned long>{ENOSPC});
  std::array<uint8_t, kPacketSize> chunk{};
  chunk.fill('x');
  EXPECT_EQ(t.writeChunk(chunk.data(), kMaxChunk, 0), 0);
  t.close();
  // The file stays created and empty, as after any failed mapping.
  EXPECT_EQ(fs::file_size(dir_ / "big.bin"), 0u);
}

TEST_F(FullDisk, SpaceIsReservedWhenTheFileIsCreated) {
  TargetFile first;
  ASSERT_EQ(receive(first, "first.bin", 200 * 1024), 1) << first.refusal();
  // Nothing of the first file is written yet, but its blocks are taken.
  TargetFile second;
  EXPECT_EQ(receive(second, "second.bin", 100 * 1024), 0);
  // Every byte of the first file can be written without a fault.
  std::array<uint8_t, kPacketSize> chunk{};
  chunk.fill('y');
  for (int64_t at = 0; at < 200 * 1024; at += kMaxChunk) {
    ASSERT_EQ(first.writeChunk(chunk.data(), kMaxChunk, at), 1) << at;
  }
  first.close();
  EXPECT_EQ(fs::file_size(dir_ / "first.bin"), 200u * 1024);
}

}  // namespace
}  // namespace zarvek
