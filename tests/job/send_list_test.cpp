// A chosen file or folder as the job's send list: the files in order, the path each
// takes at the receiver, and what is left out for the user to hear of.
#include "job/send_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/wire_text.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;

struct Listed {
  std::vector<std::string> files, wirePaths;
  std::vector<LeftOut> leftOut;
};

Listed add(const std::vector<fs::path>& chosen) {
  TransferJob job;
  Listed out;
  for (const fs::path& path : chosen) EXPECT_TRUE(addToSendList(job, path.string(), out.leftOut)) << path;
  out.files = job.files;
  out.wirePaths = job.wirePaths;
  return out;
}

// Files alone keep the list of paths empty: each goes under its base name, as before
// folders. A folder after them gives every earlier file an empty path, so that both
// lists stay parallel; its files come before its folders, the chosen one last.
TEST(SendList, FilesThenAFolderUnderItsOwnName) {
  test::TempDir dir;
  test::writeFile(dir / "loose.txt", "x");
  fs::create_directories(dir / "tree" / "sub" / "empty");
  test::writeFile(dir / "tree" / "a.txt", "a");
  test::writeFile(dir / "tree" / "sub" / "b.txt", "b");

  const Listed single = add({dir / "loose.txt"});
  EXPECT_EQ(single.files, std::vector<std::string>{(dir / "loose.txt").string()});
  EXPECT_TRUE(single.wirePaths.empty());

  const Listed mixed = add({dir / "loose.txt", dir / "tree", dir / "loose.txt"});
  const std::vector<std::string> files = {
      (dir / "loose.txt").string(),          (dir / "tree" / "a.txt").string(),
      (dir / "tree" / "sub" / "b.txt").string(), (dir / "tree" / "sub" / "empty").string(),
      (dir / "tree" / "sub").string(),       (dir / "tree").string(),
      (dir / "loose.txt").string()};
  EXPECT_EQ(mixed.files, files);
  EXPECT_EQ(mixed.wirePaths, (std::vector<std::string>{"", "tree/a.txt", "tree/sub/b.txt", "tree/sub/empty/",
                                                       "tree/sub/", "tree/", ""}));
  EXPECT_TRUE(mixed.leftOut.empty());

  // A trailing separator names the same folder, not one without a name.
  const Listed slashed = add({(dir / "tree").string() + static_cast<char>(fs::path::preferred_separator)});
  ASSERT_FALSE(slashed.wirePaths.empty());
  EXPECT_EQ(slashed.wirePaths.back(), "tree/");
  EXPECT_EQ(slashed.wirePaths.front(), "tree/a.txt");
}

// Whatever is not a file or folder is told, not sent; names go as UTF-8, and a name
// that cannot be written so is told too, with everything below it.
TEST(SendList, LinksAndNamesThatAreNotTextAreLeftOut) {
  test::TempDir dir;
  fs::create_directories(dir / "tree");
  test::writeFile(dir / "tree" / "kept.txt", "k");
  std::error_code noLink;
  fs::create_symlink(dir / "tree" / "kept.txt", dir / "tree" / "link", noLink);
  const std::string odd = "\xe9t\xe9";  // Latin-1: UTF-8 on Windows (its code page), no text on Linux
  std::error_code noOdd;
  fs::create_directory(dir / "tree" / odd, noOdd);
  if (!noOdd) test::writeFile(dir / "tree" / odd / "in.txt", "i");

  const Listed listed = add({dir / "tree"});
  std::vector<std::string> leftOut;
  for (const LeftOut& l : listed.leftOut) leftOut.push_back(l.path + ": " + l.why);
  ASSERT_EQ(listed.files.size(), listed.wirePaths.size());
  const auto has = [&](const std::string& wire) {
    return std::find(listed.wirePaths.begin(), listed.wirePaths.end(), wire) != listed.wirePaths.end();
  };
  EXPECT_TRUE(has("tree/kept.txt"));
  if (!noLink) {
    EXPECT_FALSE(has("tree/link"));
    EXPECT_NE(std::find(leftOut.begin(), leftOut.end(),
                        (dir / "tree" / "link").string() + ": a link, a device or a folder that cannot be read"),
              leftOut.end());
  }
  if (!noOdd) {
    if (const std::optional<std::string> wire = toWireText(odd)) {
      EXPECT_NE(*wire, odd);
      EXPECT_TRUE(has("tree/" + *wire + "/in.txt") && has("tree/" + *wire + "/"));
    } else {
      EXPECT_EQ(listed.files.size(), 2u) << "only kept.txt and the folder itself";
      EXPECT_EQ(leftOut.size(), 2u + (noLink ? 0 : 1)) << ::testing::PrintToString(leftOut);
    }
  }
}

// A folder that cannot be read adds nothing; a path that is neither goes as a file,
// for the sender to say it cannot open it.
TEST(SendList, UnreadableFolderAddsNothingAndAMissingPathGoesAsAFile) {
  test::TempDir dir;
  TransferJob job;
  std::vector<LeftOut> leftOut;
  EXPECT_TRUE(addToSendList(job, (dir / "gone").string(), leftOut));
  EXPECT_EQ(job.files, std::vector<std::string>{(dir / "gone").string()});
  fs::create_directory(dir / "shut");
  fs::permissions(dir / "shut", fs::perms::none);
  std::error_code canList;
  fs::directory_iterator probe(dir / "shut", canList);
  if (canList) {  // root, or Windows, reads it anyway
    EXPECT_FALSE(addToSendList(job, (dir / "shut").string(), leftOut));
    EXPECT_EQ(job.files.size(), 1u);
    EXPECT_TRUE(job.wirePaths.empty());
  }
  fs::permissions(dir / "shut", fs::perms::owner_all);
}

}  // namespace
}  // namespace zarvek
