// How `zarvek send` turns files of many folders into the engine's selections.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/send_command.h"
#include "job/transfer_job.h"

namespace fs = std::filesystem;

namespace zarvek::cli {
namespace {

// The selection's items, NUL-separated, the empty last one included.
std::vector<std::string> items(const std::string& selection) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < selection.size()) {
    const size_t end = selection.find('\0', at);
    out.push_back(selection.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

const fs::path kRoot = fs::current_path().root_path();

TEST(SendPlan, FilesOfManyFoldersShareTheirRootsBatch) {
  const std::vector<fs::path> files = {kRoot / "a" / "one.txt", kRoot / "b" / "c" / "two.bin", kRoot / "three"};
  const auto batches = planSendBatches(files);
  ASSERT_EQ(batches.size(), 1u);
  const auto& batch = batches[0];
  const std::string sep(1, fs::path::preferred_separator);
  EXPECT_EQ(items(batch.selection),
            (std::vector<std::string>{kRoot.string(), "a" + sep + "one.txt", "b" + sep + "c" + sep + "two.bin",
                                      "three", ""}));
  EXPECT_EQ(batch.nextName, static_cast<int32_t>(kRoot.string().size() + 1));
  ASSERT_EQ(batch.paths.size(), 3u);
  for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(batch.paths[i], files[i].string());
}

TEST(SendPlan, ASelectionThatWouldOverflowStartsANewBatch) {
  // 200 names of 200 characters: more than one selection holds.
  std::vector<fs::path> files;
  for (int i = 0; i < 200; ++i) files.push_back(kRoot / (std::to_string(1000 + i) + std::string(196, 'n')));
  const auto batches = planSendBatches(files);
  ASSERT_GE(batches.size(), 2u);
  size_t total = 0;
  for (const auto& batch : batches) {
    EXPECT_LE(batch.selection.size(), static_cast<size_t>(kSelectionSize));
    EXPECT_EQ(batch.selection.substr(batch.selection.size() - 2), std::string(2, '\0'));
    for (const auto& path : batch.paths) EXPECT_EQ(path, files[total++].string());
  }
  EXPECT_EQ(total, files.size());
}

TEST(SendPlan, EachDriveGetsItsOwnBatchInOrder) {
  if (!fs::path("C:\\x").has_root_name()) GTEST_SKIP() << "drive letters exist on Windows only";
  const std::vector<fs::path> files = {"C:\\a\\1", "C:\\b\\2", "D:\\3", "C:\\4"};
  const auto batches = planSendBatches(files);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(items(batches[0].selection), (std::vector<std::string>{"C:\\", "a\\1", "b\\2", ""}));
  EXPECT_EQ(items(batches[1].selection), (std::vector<std::string>{"D:\\", "3", ""}));
  EXPECT_EQ(batches[2].paths, std::vector<std::string>{"C:\\4"});
}

}  // namespace
}  // namespace zarvek::cli
