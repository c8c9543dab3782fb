#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "job/paths.h"
#include "job/transfer_job.h"
#include "send/file_sender.h"
#include "support/recording_ui.h"

namespace zarvek {
namespace {

// Lays out a selection as the file-open dialog does; returns the first name's offset.
int32_t lay(char* selection, const std::vector<std::string>& items, int32_t firstName) {
  std::memset(selection, 0, kSelectionSize);
  size_t at = 0;
  for (const auto& item : items) {
    std::memcpy(selection + at, item.data(), item.size());
    at += item.size() + 1;
  }
  return firstName;
}

std::vector<std::string> walk(const char* selection, int32_t nextName, test::RecordingUi& ui) {
  std::vector<std::string> paths;
  std::string buffer;
  while (!nextSelectedPath(ui, selection, kSelectionSize, buffer, nextName)) {
    paths.push_back(buffer);
    if (paths.size() > 10) break;
  }
  return paths;
}

const std::string S(1, kPathSeparator);

TEST(NextSelectedPath, SingleFileThenEnd) {
  static char sel[kSelectionSize];
  const std::string path = S + "data" + S + "report.txt";
  int32_t next = lay(sel, {path}, static_cast<int32_t>(path.size() - std::strlen("report.txt")));
  test::RecordingUi ui;
  EXPECT_EQ(walk(sel, next, ui), std::vector<std::string>{path});
  EXPECT_EQ(ui.statusTexts(), std::vector<std::string>{path});
}

TEST(NextSelectedPath, FolderAndNames) {
  static char sel[kSelectionSize];
  const std::string folder = S + "data";
  int32_t next = lay(sel, {folder, "a.bin", "b.bin", "c.bin"}, static_cast<int32_t>(folder.size() + 1));
  test::RecordingUi ui;
  EXPECT_EQ(walk(sel, next, ui),
            (std::vector<std::string>{folder + S + "a.bin", folder + S + "b.bin", folder + S + "c.bin"}));
}

TEST(NextSelectedPath, RootFolderGetsOneSeparator) {
  static char sel[kSelectionSize];
  test::RecordingUi ui;
  int32_t next = lay(sel, {S, "a.bin", "b.bin"}, 2);
  EXPECT_EQ(walk(sel, next, ui), (std::vector<std::string>{S + "a.bin", S + "b.bin"}));
  // A single file at the root: the offset points after the root separator.
  const std::string single = S + "x.txt";
  next = lay(sel, {single}, 1);
  EXPECT_EQ(walk(sel, next, ui), std::vector<std::string>{single});
}

TEST(NextSelectedPath, NeverReadsPastTheSelection) {
  static char sel[kSelectionSize];
  std::memset(sel, 'n', kSelectionSize);  // no terminator anywhere
  test::RecordingUi ui;
  std::string buffer;
  int32_t next = 10;
  EXPECT_TRUE(nextSelectedPath(ui, sel, kSelectionSize, buffer, next));
  next = kSelectionSize;
  EXPECT_TRUE(nextSelectedPath(ui, sel, kSelectionSize, buffer, next));
  next = -3;
  EXPECT_TRUE(nextSelectedPath(ui, sel, kSelectionSize, buffer, next));
  EXPECT_TRUE(ui.statusTexts().empty());
}

}  // namespace
}  // namespace zarvek
