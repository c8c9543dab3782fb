// The file calls beneath sending and receiving folders: times that never come
// back clamped, the order a tree is sent in, folders made without leaving the
// receive folder, durable small files, names on the wire, a partial file taken
// up again.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>

#include "base/file_times.h"
#include "base/folders.h"
#include "base/mapped_file.h"
#include "base/paths.h"
#include "base/wire_text.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

bool onWindows() { return isPathSeparator('\\'); }

// A link to a file or folder; Wine may not make one, Linux always does.
bool makeLink(const fs::path& target, const fs::path& link) {
  std::error_code ec;
  if (fs::is_directory(target)) {
    fs::create_directory_symlink(target, link, ec);
  } else {
    fs::create_symlink(target, link, ec);
  }
  if (ec && !onWindows()) ADD_FAILURE() << "no link made: " << ec.message();
  return !ec;
}

Names namesIn(const fs::path& folder) {
  Names names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

TEST(FileTimes, SetTimesComeBackWholeOrAreRefusedLeavingTheOldOne) {
  enum Expect { Kept, OnWindowsRefused };  // the second: Linux may keep or refuse it, never clamp it
  const struct { int64_t seconds; Expect expect; } cases[] = {
      {0, Kept}, {-1, Kept}, {-1577923200, Kept} /* 1920 */, {2147483648, Kept} /* 2038 */,
      {4102444800, Kept} /* 2100 */, {-11644473601, OnWindowsRefused} /* 1600 */,
      {910670515200, OnWindowsRefused} /* 30828 */, {INT64_MAX, OnWindowsRefused}, {INT64_MIN, OnWindowsRefused},
  };
  test::TempDir dir;
  test::writeFile(dir / "f", "x");
  for (const std::string& path : {(dir / "f").string(), dir.str()}) {
    const int64_t before = 1000000000;
    ASSERT_TRUE(setModifiedTime(path, before)) << path;
    for (const auto& c : cases) {
      const Result set = setModifiedTime(path, c.seconds);
      const std::string label = path + " at " + std::to_string(c.seconds) + ": " + set.step();
      if (c.expect == Kept || (c.expect == OnWindowsRefused && !onWindows())) {
        EXPECT_EQ(modifiedTime(path), set ? c.seconds : before) << label;
        EXPECT_TRUE(set || (c.expect != Kept && set.isRefusal())) << label;
      } else {
        EXPECT_TRUE(!set && set.isRefusal()) << label;
        EXPECT_EQ(modifiedTime(path), before) << label;
      }
      if (set) {
        ASSERT_TRUE(setModifiedTime(path, before));
      }
    }
  }
  EXPECT_EQ(modifiedTime((dir / "gone").string()), std::nullopt);
  const Result gone = setModifiedTime((dir / "gone").string(), 0);
  EXPECT_TRUE(!gone && !gone.isRefusal());
}

// Files pre-order, a folder's own (in byte order) before its subfolders';
// folders post-order, the root last; a link is skipped, never entered.
TEST(Folders, TreeOrder) {
  test::TempDir dir;
  const fs::path root = dir / "tree";
  for (const char* folder : {"tree/sub1/deep", "tree/sub0", "outside"}) fs::create_directories(dir / folder);
  for (const char* file : {"tree/b.txt", "tree/Y.txt", "tree/z.txt", "tree/sub1/c.txt", "tree/sub1/deep/d.txt",
                           "outside/secret.txt"}) {
    test::writeFile(dir / file, "bytes");
  }
  test::writeFile(dir / "tree/a.txt", "");
  const bool linked = makeLink(dir / "outside", root / "link");
  std::vector<std::string> expected = {"F tree/Y.txt", "F tree/a.txt", "F tree/b.txt"};
  if (linked) expected.push_back("S tree/link");
  for (const char* e : {"F tree/z.txt", "F tree/sub1/c.txt", "F tree/sub1/deep/d.txt", "D tree/sub0",
                        "D tree/sub1/deep", "D tree/sub1", "D tree"}) {
    expected.push_back(e);
  }

  for (const std::string& given : {root.string(), root.string() + kPathSeparator}) {
    std::vector<TreeEntry> entries;
    ASSERT_TRUE(listTree(given, entries)) << given;
    std::vector<std::string> listed;
    for (const TreeEntry& e : entries) {
      std::string shown = e.kind == TreeEntry::Kind::File ? "F " : e.kind == TreeEntry::Kind::Folder ? "D " : "S ";
      std::string path = root.string();
      for (size_t i = 0; i < e.components.size(); ++i) {
        shown += (i ? "/" : "") + e.components[i];
        if (i) path += kPathSeparator + e.components[i];
      }
      listed.push_back(shown);
      EXPECT_EQ(e.path, path) << shown;
    }
    EXPECT_EQ(listed, expected) << given;
  }
  std::vector<TreeEntry> none;
  EXPECT_FALSE(listTree((dir / "gone").string(), none));
  EXPECT_FALSE(listTree((root / "a.txt").string(), none));
}

TEST(Folders, MadeOnlyInsideTheRoot) {
  test::TempDir dir;
  const fs::path root = dir / "in";
  fs::create_directories(root);
  fs::create_directories(dir / "outside");
  test::writeFile(root / "file", "");
  const bool linked = makeLink(dir / "outside", root / "link");
  const char* const inTheWay = "a link or a file is in the way";
  const char* const badName = "not a folder name";
  const struct { std::vector<std::string> components; const char* refusal = nullptr; } cases[] = {
      {{"a", "b", "c"}}, {{"a", "b", "c"}}, {{"a", "b2"}}, {{}},
      {{"file", "x"}, inTheWay}, {{"a", "file2", "..", "x"}, badName}, {{".."}, badName}, {{"a", ""}, badName},
      {{"link"}, inTheWay}, {{"link", "x"}, inTheWay},
  };
  for (const auto& c : cases) {
    std::string label, path = root.string();
    for (const auto& name : c.components) label += name + "/", path += kPathSeparator + name;
    if (!linked && label.rfind("link", 0) == 0) continue;
    const Result made = makeFolders(root.string(), c.components);
    if (c.refusal) {
      EXPECT_TRUE(made.isRefusal() && made.step().find(c.refusal) == 0) << label << ": " << made.step();
    } else {
      EXPECT_TRUE(made && isRealFolder(path)) << label << ": " << made.step();
    }
  }
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
  EXPECT_EQ(namesIn(root), (linked ? Names{"a", "file", "link"} : Names{"a", "file"}));
  EXPECT_EQ(namesIn(root / "a"), (Names{"b", "b2"}));
  EXPECT_FALSE(makeFolders((dir / "gone").string(), {"a"}));
}

TEST(Folders, DurableAndSmallFiles) {
  test::TempDir dir;
  const std::string state = (dir / "state").string();
  for (const std::string content : {"the first state", "", "a second, longer state"}) {
    ASSERT_TRUE(writeFileDurably(state, bytesOf(content)));
    EXPECT_EQ(test::readFile(state), content);
    EXPECT_EQ(namesIn(dir.path()), Names{"state"}) << "a temporary file was left";
  }
  fs::create_directories(dir / "sub");
  const bool linked = makeLink(dir / "sub", dir / "link");
  if (linked) makeLink(dir / "state", dir / "file-link");
  const struct { std::string name; size_t limit; bool read; } cases[] = {
      {"state", 22, true}, {"state", 21, false}, {"state", 0, false}, {"file-link", 100, false},
      {"link", 100, false}, {"sub", 100, false}, {"gone", 100, false},
  };
  for (const auto& c : cases) {
    if (!linked && c.name.find("link") != std::string::npos) continue;
    std::vector<uint8_t> out;
    EXPECT_EQ(static_cast<bool>(readSmallFile((dir / c.name).string(), c.limit, out)), c.read) << c.name << c.limit;
    EXPECT_EQ(out, c.read ? bytesOf("a second, longer state") : std::vector<uint8_t>{}) << c.name << c.limit;
  }
  for (const char* name : {".part-1", ".part-2", "x.part-3", ".par"}) test::writeFile(dir / "sub" / name, "");
  fs::create_directories(dir / "sub" / ".part-dir");
  if (linked) makeLink(dir / "state", dir / "sub" / ".part-link");
  const auto found = filesStartingWith((dir / "sub").string(), ".part");
  EXPECT_EQ(Names(found.begin(), found.end()), (Names{".part-1", ".part-2"}));
  EXPECT_TRUE(filesStartingWith((dir / "gone").string(), "").empty());
}

// Valid names come back as they went, or (Windows) are refused where the code
// page lacks a character, never made into another name; malformed ones never pass.
TEST(WireText, RoundTripsOrRefuses) {
  for (const std::string wire : {"", "plain.txt", "caf\xC3\xA9", "\xE2\x82\xAC", "\xC4\x80", "\xE6\x97\xA5.txt",
                                 "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"}) {
    const std::optional<std::string> local = fromWireText(wire);
    if (local) {
      EXPECT_EQ(toWireText(*local), wire);
    } else {
      EXPECT_TRUE(onWindows()) << wire << " refused on Linux";
    }
  }
  EXPECT_TRUE(fromWireText("plain.txt")) << "ASCII is in every code page";
  for (const std::string bad : {"\xC0\x80", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                                "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                                "a\x80", "\xC3", "\xE6\x97", "\xF0\x9F\x98", "\xC3\x28", "\xE6\x28\xA5"}) {
    EXPECT_EQ(fromWireText(bad), std::nullopt) << testing::PrintToString(bad);
    if (!onWindows()) {
      EXPECT_EQ(toWireText(bad), std::nullopt) << testing::PrintToString(bad);
    }
  }
}

TEST(MappedFile, TakenUpAgainAndFlushed) {
  test::TempDir dir;
  const std::string part = (dir / "a.part").string();
  const uint32_t size = (3u << 20) + 5;  // past the first released megabyte, not a whole page
  const std::string content = test::randomBytes(size, 7);
  {
    MappedFile file;
    ASSERT_TRUE(file.create(part, size));
    std::copy(content.begin(), content.begin() + size / 2, file.data());
    file.releaseBefore(size / 2);
    EXPECT_TRUE(file.flush(size / 2));
  }
  const struct { uint32_t size; bool opened; } cases[] = {{size - 1, false}, {size + 1, false}, {0, false}, {size, true}};
  for (const auto& c : cases) {
    MappedFile file;
    const Result opened = file.openExisting(part, c.size);
    ASSERT_EQ(static_cast<bool>(opened), c.opened) << c.size << ": " << opened.step();
    EXPECT_EQ(fs::file_size(part), size) << "opening at " << c.size << " changed the file";
    EXPECT_EQ(file.failedStep(), opened ? MappedFile::Step::None : MappedFile::Step::Open);
  }
  MappedFile file, second;
  ASSERT_TRUE(file.openExisting(part, size));
  EXPECT_FALSE(second.openExisting(part, size)) << "a file held was opened again";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), size / 2), content.substr(0, size / 2));
  std::copy(content.begin() + size / 2, content.end(), file.data() + size / 2);
  EXPECT_TRUE(file.flush(UINT64_MAX));
  file.close();
  EXPECT_FALSE(file.flush(size)) << "flushed a closed file";
  EXPECT_EQ(test::readFile(part), content);

  const std::string empty = (dir / "empty.part").string();
  ASSERT_TRUE(file.create(empty, 0));
  EXPECT_TRUE(file.flush(10));
  file.close();
  EXPECT_TRUE(file.openExisting(empty, 0) && file.flush(0));
  file.close();
  EXPECT_FALSE(file.openExisting((dir / "gone").string(), 0));
  if (makeLink(part, dir / "link.part")) {
    EXPECT_FALSE(file.openExisting((dir / "link.part").string(), size)) << "a link was followed";
  }
}

}  // namespace
}  // namespace zarvek
