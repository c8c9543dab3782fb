// What a receive folder keeps of files cut off: a record vouches only for the
// very file it names, a damaged one for nothing, and the folder never holds
// more than its bounds, whatever earlier jobs or crashes left there.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "base/file_times.h"
#include "receive/held_files.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace zarvek::test {
namespace {

int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(HeldFiles, ARecordVouchesOnlyForItsOwnFileWhileWhole) {
  TempDir folder;
  const HeldFiles held(folder.str());
  const HeldFile file{"docs/a.txt", 5000, 1'600'000'000};
  writeFile(held.partPath(file), std::string(5000, 'x'));
  ASSERT_TRUE(held.record(file, 2048));
  EXPECT_EQ(held.held(file), 2048u);
  const struct {
    const char* what;
    HeldFile other;
  } others[] = {
      {"another path", {"docs/b.txt", 5000, 1'600'000'000}},
      {"another size", {"docs/a.txt", 5001, 1'600'000'000}},
      {"another time", {"docs/a.txt", 5000, 1'600'000'001}},
  };
  for (const auto& o : others) EXPECT_EQ(held.held(o.other), 0u) << o.what;
  // Every byte of the record flipped in turn: none leaves it vouching.
  const fs::path record = fs::path(held.partPath(file)).replace_extension(".resume");
  const std::string whole = readFile(record);
  for (size_t i = 0; i < whole.size(); ++i) {
    std::string damaged = whole;
    damaged[i] ^= 0x01;
    writeFile(record, damaged);
    EXPECT_EQ(held.held(file), 0u) << "byte " << i;
  }
  writeFile(record, whole);
  held.forget(file);
  EXPECT_EQ(held.held(file), 0u);
  EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST(HeldFiles, TheSweepKeepsTheNewestFourWithinAWeekAndNothingOrphaned) {
  TempDir folder;
  const HeldFiles held(folder.str());
  std::vector<HeldFile> files;
  for (int i = 0; i < 7; ++i) {
    files.push_back({"f" + std::to_string(i), 100, 0});
    writeFile(held.partPath(files.back()), std::string(100, 'x'));
    ASSERT_TRUE(held.record(files.back(), 100));
    // Records made one hour apart, f0 the oldest; f6 eight days ago.
    const int64_t age = i == 6 ? 8 * 24 * 3600 : (6 - i) * 3600;
    ASSERT_TRUE(setModifiedTime(fs::path(held.partPath(files.back())).replace_extension(".resume").string(), now() - age));
  }
  writeFile(folder / ".zarvek-0badf00d.part", "no record");
  writeFile(folder / ".zarvek-00000001.resume.tmp", "a crash mid-write");
  writeFile(folder / "user.txt", "not ours");
  held.sweep(held.partPath(files[0]));
  for (int i = 0; i < 7; ++i) {
    const bool kept = i >= 2 && i <= 5;  // the four newest within a week
    EXPECT_EQ(held.held(files[i]) == 100u, kept) << files[i].path;
    EXPECT_EQ(fs::exists(held.partPath(files[i])), kept || i == 0) << files[i].path << ": the open part stays";
  }
  EXPECT_FALSE(fs::exists(folder / ".zarvek-0badf00d.part"));
  EXPECT_FALSE(fs::exists(folder / ".zarvek-00000001.resume.tmp"));
  EXPECT_TRUE(fs::exists(folder / "user.txt"));
}

}  // namespace
}  // namespace zarvek::test
