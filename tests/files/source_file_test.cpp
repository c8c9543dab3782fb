#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "diagnostic_log.h"
#include "job/paths.h"
#include "send/source_file.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

using test::DiagnosticLog;
using test::TempDir;

bool onWindows() { return isPathSeparator('\\'); }

TEST(SourceFile, FileOf1024BytesIsMappedWhole) {
  TempDir dir;
  const std::string bytes = test::randomBytes(1024, 7);
  test::writeFile(dir / "a.bin", bytes);
  SourceFile f;
  ASSERT_EQ(f.open((dir / "a.bin").string().c_str()), 1);
  EXPECT_EQ(f.size(), 1024u);
  ASSERT_NE(f.view(), nullptr);
  EXPECT_EQ(0, std::memcmp(f.view(), bytes.data(), bytes.size()));
  EXPECT_EQ(f.failedStep(), SourceFile::Step::None);
  f.close();
  EXPECT_EQ(f.view(), nullptr);
}

TEST(SourceFile, EmptyFileFailsAtMappingWithSizeZero) {
  TempDir dir;
  test::writeFile(dir / "empty", "");
  DiagnosticLog log;
  SourceFile f;
  EXPECT_EQ(f.open((dir / "empty").string().c_str()), 0);
  EXPECT_EQ(f.failedStep(), SourceFile::Step::Mapping);
  EXPECT_EQ(f.size(), 0u);
  EXPECT_EQ(f.view(), nullptr);
  ASSERT_EQ(log.codes().size(), 1u);
  EXPECT_EQ(log.codes()[0], f.errorCode());
  EXPECT_NE(f.errorCode(), 0u);
}

TEST(SourceFile, FailedOpenKeepsPathAndSizeZero) {
  TempDir dir;
  // A file removed since it was chosen, and a folder chosen as if it were a file.
  for (const std::string& path : {(dir / "gone.txt").string(), dir.str()}) {
    DiagnosticLog log;
    SourceFile f;
    EXPECT_EQ(f.open(path.c_str()), 0) << path;
    EXPECT_EQ(f.failedStep(), SourceFile::Step::File) << path;
    EXPECT_EQ(f.size(), 0u) << path;
    EXPECT_STREQ(f.path(), path.c_str());
    EXPECT_EQ(log.codes().size(), 1u) << path;
  }
}

TEST(SourceFile, FileHeldOpenForWritingElsewhere) {
  TempDir dir;
  const auto path = (dir / "busy.txt").string();
  test::writeFile(path, "some bytes");
  std::ofstream writer(path, std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  DiagnosticLog log;
  SourceFile f;
  if (onWindows()) {
    // The share mode keeps writers out: the open fails before the size is taken.
    EXPECT_EQ(f.open(path.c_str()), 0);
    EXPECT_EQ(f.failedStep(), SourceFile::Step::File);
    EXPECT_EQ(f.size(), 0u);
  } else {
    // Linux has no share modes: the file is sent as it stands at open.
    EXPECT_EQ(f.open(path.c_str()), 1);
    EXPECT_EQ(f.size(), 10u);
  }
}

TEST(SourceFile, LongPathsAreKeptWhole) {
  TempDir dir;
  const size_t prefix = dir.str().size() + 1;  // folder and separator
  for (size_t total : {size_t{99}, size_t{100}, size_t{200}}) {
    ASSERT_LT(prefix, total);
    const std::string name(total - prefix, 'n');
    const auto path = (dir / name).string();
    ASSERT_EQ(path.size(), total);
    test::writeFile(path, "x");
    SourceFile f;
    EXPECT_EQ(f.open(path.c_str()), 1) << total;
    EXPECT_EQ(std::string(f.path()), path) << total;
    EXPECT_EQ(baseName(f.path()), name) << total;
  }
}

TEST(SourceFile, FileOf4GiBOrMoreIsRefusedNotCutToItsLowHalf) {
  TempDir dir;
  const auto path = dir / "huge.bin";
  test::writeFile(path, "");
  std::error_code ec;
  std::filesystem::resize_file(path, (uint64_t{1} << 32) + 5, ec);  // sparse where possible
  if (ec) GTEST_SKIP() << "cannot make a 4 GiB file here: " << ec.message();
  DiagnosticLog log;
  SourceFile f;
  EXPECT_EQ(f.open(path.string().c_str()), 0);
  EXPECT_EQ(f.failedStep(), SourceFile::Step::TooLarge);
  EXPECT_EQ(f.size(), 0u) << "the low half (5) must never be announced";
  EXPECT_EQ(f.view(), nullptr);
  EXPECT_EQ(log.codes().size(), 1u);
}

}  // namespace
}  // namespace zarvek
