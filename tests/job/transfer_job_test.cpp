#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <type_traits>

#include "job/paths.h"
#include "job/transfer_job.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

TEST(TransferJob, InitialValues) {
  static TransferJob job;  // static, as the program keeps it
  setInitialValues(job);
  EXPECT_STREQ(job.portName, "COM2");
  EXPECT_EQ(job.speed, 115200);
  EXPECT_EQ(job.crcRetryLimit, 4);
  EXPECT_EQ(std::filesystem::path(job.receiveFolder), std::filesystem::current_path());
  EXPECT_EQ(job.running.load(), 0);
  EXPECT_EQ(job.nextName, 0);
  EXPECT_EQ(job.selection[0], '\0');
  EXPECT_EQ(job.mode, 0);
}

TEST(TransferJob, FieldsAndFlag) {
  EXPECT_EQ(sizeof(TransferJob::selection), 25600u);
  EXPECT_EQ(sizeof(TransferJob::portName), 8u);
  EXPECT_EQ(sizeof(TransferJob::receiveFolder), 256u);
  EXPECT_EQ(sizeof(TransferJob::running), 1u);
  EXPECT_TRUE(std::atomic<uint8_t>::is_always_lock_free);
  EXPECT_LT(offsetof(TransferJob, selection), offsetof(TransferJob, nextName));
  EXPECT_LT(offsetof(TransferJob, nextName), offsetof(TransferJob, mainWindow));
  EXPECT_LT(offsetof(TransferJob, statusField), offsetof(TransferJob, speed));
  EXPECT_LT(offsetof(TransferJob, speed), offsetof(TransferJob, portName));
  EXPECT_LT(offsetof(TransferJob, receiveFolder), offsetof(TransferJob, running));
  EXPECT_LT(offsetof(TransferJob, running), offsetof(TransferJob, mode));
  EXPECT_EQ(Idle, 1);
  EXPECT_EQ(Sending, 2);
  EXPECT_EQ(Receiving, 3);
}

TEST(TransferJob, CurrentDirectoryTooLongLeavesFolderEmpty) {
  test::TempDir dir;
  std::filesystem::path deep = dir.path();
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  std::filesystem::create_directories(deep);
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(deep);
  char folder[kFolderSize] = {};
  const bool fetched = fetchCurrentDirectory(folder, kFolderSize);
  std::filesystem::current_path(before);
  EXPECT_FALSE(fetched);
  EXPECT_EQ(folder[0], '\0');
}

TEST(Paths, BaseName) {
  const std::string sep(1, kPathSeparator);
  EXPECT_EQ(baseName("a" + sep + "b" + sep + "name.txt"), "name.txt");
  EXPECT_EQ(baseName("plain"), "plain");
  EXPECT_EQ(baseName("dir" + sep), "");
}

}  // namespace
}  // namespace zarvek
