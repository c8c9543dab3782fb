// The file being sent: why one is refused before anything of it goes out. What
// is mapped and sent is the transfer tables' (tests/engines, tests/cli under Wine).
#include "send/source_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/paths.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

TEST(SourceFile, WhyNotSendable) {
  test::TempDir dir;
  const bool onWindows = isPathSeparator('\\');
  for (const auto& name : {std::string(99, 'n'), std::string(100, 'n'), std::string("busy.txt"), std::string("huge")}) {
    test::writeFile(dir / name, "some bytes");
  }
  // Windows keeps writers out of a file being sent; Linux sends it as it stands at open.
  std::ofstream writer(dir / "busy.txt", std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  std::error_code noSparseFile;
  std::filesystem::resize_file(dir / "huge", (uint64_t{1} << 32) + 5, noSparseFile);
  const struct { std::string name; const char* reason; } cases[] = {
      {"gone.txt", "cannot open the file"},  // removed since it was chosen
      {"", onWindows ? "cannot open the file" : "not a regular file"},  // the folder itself
      {std::string(100, 'n'), "longer than 99 bytes"},
      {std::string(99, 'n'), ""},
      {"busy.txt", onWindows ? "cannot open the file" : ""},
      {"huge", noSparseFile ? "" : "4 GiB or larger"},  // never cut to its low half, 5 bytes
  };
  for (const auto& c : cases) {
    const std::string why = whyNotSendable((dir / c.name).string());
    EXPECT_TRUE(*c.reason ? why.find(c.reason) != std::string::npos : why.empty()) << c.name << ": \"" << why << '"';
  }
  if (noSparseFile) ADD_FAILURE() << "no 4 GiB file here: " << noSparseFile.message();
}

}  // namespace
}  // namespace zarvek
