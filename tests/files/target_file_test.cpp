#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "diagnostic_log.h"
#include "job/paths.h"
#include "protocol/packet.h"
#include "receive/target_file.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;
using test::DiagnosticLog;
using test::RecordingUi;
using test::TempDir;
using Frame = std::array<uint8_t, kPacketSize>;

bool onWindows() { return isPathSeparator('\\'); }

Frame sizePacket(uint32_t size) {
  Frame f{};
  f[4] = static_cast<uint8_t>(size >> 24);
  f[5] = static_cast<uint8_t>(size >> 16);
  f[6] = static_cast<uint8_t>(size >> 8);
  f[7] = static_cast<uint8_t>(size);
  return f;
}

// A name packet as a hostile sender may make it: any length byte, any bytes.
Frame namePacket(const std::string& name, int length = -1, uint8_t byte2 = 0) {
  Frame f{};
  f[2] = byte2;
  f[3] = static_cast<uint8_t>(length < 0 ? name.size() : static_cast<size_t>(length));
  std::memcpy(f.data() + 4, name.data(), std::min(name.size(), size_t{1024}));
  return f;
}

Frame dataPacket(const std::string& bytes) {
  Frame f{};
  std::memcpy(f.data() + 4, bytes.data(), bytes.size());
  return f;
}

std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    names.insert(fs::relative(e.path(), folder).string());
  }
  return names;
}

// A receive folder "in" inside a temporary root, so that anything landing
// beside the folder (a name escaping it) shows in the root's listing.
struct ReceiveFolder {
  TempDir root;
  fs::path in = root / "in";
  ReceiveFolder() { fs::create_directory(in); }
  std::string str() const { return in.string(); }
};

// FS, FN and openForWrite, as the receiver drives them.
int openNamed(TargetFile& t, const std::string& folder, const std::string& name, uint32_t size) {
  RecordingUi ui;
  t.setFolder(folder.c_str());
  t.storeSize(sizePacket(size).data());
  if (!t.takeName(namePacket(name).data(), ui)) return 0;
  return t.openForWrite();
}

TEST(TargetFile, StoreSizeReadsBigEndianBytes4To7) {
  const struct {
    uint32_t size;
    std::array<uint8_t, 4> bytes;
  } cases[] = {{0, {0, 0, 0, 0}}, {1025, {0, 0, 4, 1}}, {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}},
               {0x01020304u, {1, 2, 3, 4}}};
  for (const auto& c : cases) {
    Frame f{};
    std::memcpy(f.data() + 4, c.bytes.data(), 4);
    TargetFile t;
    EXPECT_EQ(t.storeSize(f.data()), c.size);
    EXPECT_EQ(t.size(), c.size);
  }
}

TEST(TargetFile, TakeNameIgnoresByte2AndShowsTheName) {
  TargetFile t;
  RecordingUi ui;
  // Bytes 2 and 3 are 01 05: five characters, not 261.
  ASSERT_EQ(t.takeName(namePacket("a.txtJUNK", 5, 0x01).data(), ui), 1);
  EXPECT_STREQ(t.name(), "a.txt");
  EXPECT_EQ(ui.statusTexts(), std::vector<std::string>{"a.txt"});
  EXPECT_TRUE(t.refusal().empty());
}

TEST(TargetFile, TakeNameFailsWhenTheTextCannotBeShown) {
  TargetFile t;
  RecordingUi ui;
  ui.failStatusText(true);
  EXPECT_EQ(t.takeName(namePacket("a.txt").data(), ui), 0);
  EXPECT_FALSE(t.refusal().empty());
}

TEST(TargetFile, JoinPath) {
  const std::string sep(1, kPathSeparator);
  struct Case {
    std::string folder, name, expected;
  };
  std::vector<Case> cases = {
      {"in", "a.txt", "in" + sep + "a.txt"},
      {"in" + sep, "a.txt", "in" + sep + "a.txt"},
      {"/in", "a.txt", "/in" + sep + "a.txt"},
      {"/", "a.txt", "/a.txt"},
      {"", "a.txt", "a.txt"},  // the current directory
      {std::string(250, 'f'), "abcd", std::string(250, 'f') + sep + "abcd"},  // 255: fits
      {std::string(250, 'f'), "abcde", ""},                                    // 256: refused
  };
  if (isPathSeparator('\\')) {
    cases.push_back({"C:\\in", "a.txt", "C:\\in\\a.txt"});
    cases.push_back({"C:\\", "a.txt", "C:\\a.txt"});
    cases.push_back({"C:/in/", "a.txt", "C:/in/a.txt"});
  }
  for (const auto& c : cases) {
    EXPECT_EQ(TargetFile::joinPath(c.folder.c_str(), c.name.c_str()), c.expected)
        << "folder '" << c.folder << "' name '" << c.name << "'";
  }
}

TEST(TargetFile, HostileNamesAreRefusedAndNothingIsWritten) {
  const struct {
    const char* label;
    std::string name;
    int length;  // the length byte; -1 for the name's own length
  } cases[] = {
      {"empty", "", -1},
      {"dot", ".", -1},
      {"dot dot", "..", -1},
      {"three dots", "...", -1},
      {"dot dot space", ".. ", -1},
      {"parent with slash", "../escaped.txt", -1},
      {"parent with backslash", "..\\escaped.txt", -1},
      {"slash inside", "sub/a.txt", -1},
      {"backslash inside", "sub\\a.txt", -1},
      {"absolute", "/tmp/escaped.txt", -1},
      {"drive relative", "C:escaped.txt", -1},
      {"drive absolute", "C:\\escaped.txt", -1},
      {"stream colon", "a.txt:stream", -1},
      {"control character", "a\x01.txt", -1},
      {"tab", "a\t.txt", -1},
      {"delete character", "a\x7F.txt", -1},
      {"newline", "a.txt\n", -1},
      {"NUL inside the length", std::string("a.txt\0/../x", 11), -1},
      {"length byte 100", std::string(100, 'n'), -1},
      {"length byte 255", std::string(255, 'n'), -1},
  };
  for (const auto& c : cases) {
    ReceiveFolder folder;
    const auto before = listing(folder.root.path());
    TargetFile t;
    RecordingUi ui;
    t.setFolder(folder.str().c_str());
    t.storeSize(sizePacket(16).data());
    EXPECT_EQ(t.takeName(namePacket(c.name, c.length).data(), ui), 0) << c.label;
    EXPECT_FALSE(t.refusal().empty()) << c.label;
    EXPECT_TRUE(ui.statusTexts().empty()) << c.label;
    // A receiver that called openForWrite all the same still writes nothing.
    EXPECT_EQ(t.openForWrite(), 0) << c.label;
    EXPECT_FALSE(t.hasFile()) << c.label;
    EXPECT_EQ(t.writeChunk(dataPacket("0123456789abcdef").data(), 16, 0), 0) << c.label;
    EXPECT_EQ(t.discard(), 0) << c.label;
    EXPECT_EQ(listing(folder.root.path()), before) << c.label;
  }
}

TEST(TargetFile, DeviceNamesAreRefusedOnWindowsOnly) {
  const char* devices[] = {"CON",     "con",      "NUL.txt",  "aux.tar.gz", "PRN ",
                           "COM1",    "com9.log", "LPT1",     "lpt9",       "CONOUT$",
                           "CONIN$",  "NUL .log", "COM\xB9"};
  for (const char* name : devices) {
    EXPECT_EQ(refuseReceivedName(name) != nullptr, onWindows()) << name;
  }
  // Look-alikes are ordinary names everywhere.
  for (const char* name : {"CONSOLE.txt", "COM10", "LPT", "con-notes.txt", "a..b", ".hidden"}) {
    EXPECT_EQ(refuseReceivedName(name), nullptr) << name;
  }
}

TEST(TargetFile, FreshFileHasItsFullSizeZeroFilled) {
  ReceiveFolder folder;
  TargetFile t;
  ASSERT_EQ(openNamed(t, folder.str(), "a.bin", 3000), 1) << t.refusal();
  EXPECT_TRUE(t.isMapped());
  EXPECT_EQ(std::string(t.path()), (folder.in / "a.bin").string());
  EXPECT_EQ(fs::file_size(folder.in / "a.bin"), 3000u);
  t.close();
  EXPECT_EQ(test::readFile(folder.in / "a.bin"), std::string(3000, '\0'));
}

TEST(TargetFile, ExistingFileIsReplaced) {
  ReceiveFolder folder;
  test::writeFile(folder.in / "a.txt", "an older and longer content");
  TargetFile t;
  ASSERT_EQ(openNamed(t, folder.str(), "a.txt", 5), 1) << t.refusal();
  EXPECT_EQ(t.writeChunk(dataPacket("hello").data(), 5, 0), 1);
  t.close();
  EXPECT_EQ(test::readFile(folder.in / "a.txt"), "hello");
}

TEST(TargetFile, SizeZeroLeavesAnEmptyFileAndFailsAtTheMapping) {
  ReceiveFolder folder;
  DiagnosticLog log;
  TargetFile t;
  EXPECT_EQ(openNamed(t, folder.str(), "empty.txt", 0), 0);
  EXPECT_TRUE(t.hasFile());
  EXPECT_FALSE(t.isMapped());
  EXPECT_EQ(log.codes().size(), 1u);
  t.close();
  ASSERT_TRUE(fs::exists(folder.in / "empty.txt"));
  EXPECT_EQ(fs::file_size(folder.in / "empty.txt"), 0u);
}

TEST(TargetFile, AbortAfterDataLeavesNothing) {
  ReceiveFolder folder;
  TargetFile t;
  ASSERT_EQ(openNamed(t, folder.str(), "partial.bin", 4096), 1) << t.refusal();
  ASSERT_EQ(t.writeChunk(dataPacket(std::string(1024, 'x')).data(), 1024, 0), 1);
  EXPECT_EQ(t.discard(), 1);
  EXPECT_FALSE(t.hasFile());
  EXPECT_TRUE(listing(folder.in).empty());
}

TEST(TargetFile, DiscardBeforeANameDeletesNothing) {
  ReceiveFolder folder;
  TargetFile t;
  t.setFolder(folder.str().c_str());
  EXPECT_EQ(t.discard(), 0);
  EXPECT_TRUE(fs::is_directory(folder.in));
}

TEST(TargetFile, FileBeingReceivedIsHeldExclusively) {
  ReceiveFolder folder;
  TargetFile first;
  ASSERT_EQ(openNamed(first, folder.str(), "a.bin", 8), 1) << first.refusal();
  ASSERT_EQ(first.writeChunk(dataPacket("12345678").data(), 8, 0), 1);
  DiagnosticLog log;
  TargetFile second;
  EXPECT_EQ(openNamed(second, folder.str(), "a.bin", 4), 0);
  EXPECT_FALSE(second.refusal().empty());
  EXPECT_EQ(log.codes().size(), 1u);
  // Not ours to delete: the failed open neither truncated nor removes it.
  EXPECT_EQ(second.discard(), 0);
  first.close();
  EXPECT_EQ(test::readFile(folder.in / "a.bin"), "12345678");
}

TEST(TargetFile, ChunksOutsideTheViewAreRefused) {
  ReceiveFolder folder;
  TargetFile t;
  const Frame data = dataPacket(std::string(1024, 'd'));
  EXPECT_EQ(t.writeChunk(data.data(), 10, 0), 0) << "no view yet";
  ASSERT_EQ(openNamed(t, folder.str(), "a.bin", 2000), 1) << t.refusal();
  const struct {
    int32_t length;
    int64_t offset;
    int accepted;
  } cases[] = {
      {1024, 0, 1},    {976, 1024, 1},   {0, 2000, 1},   {1, 2000, 0},  {1024, 977, 0},
      {-1, 0, 0},      {1025, 0, 0},     {10, -1, 0},    {1, INT64_MAX, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(t.writeChunk(data.data(), c.length, c.offset), c.accepted)
        << "length " << c.length << " at " << c.offset;
  }
  // A second size packet does not widen the view.
  t.storeSize(sizePacket(1u << 30).data());
  EXPECT_EQ(t.writeChunk(data.data(), 1024, 2000), 0) << "past the mapped 2000 bytes";
  t.close();
  EXPECT_EQ(t.writeChunk(data.data(), 10, 0), 0) << "after close";
  EXPECT_EQ(test::readFile(folder.in / "a.bin"), std::string(2000, 'd'));
  EXPECT_EQ(listing(folder.in), std::set<std::string>{"a.bin"});
}

TEST(TargetFile, PathsThatDoNotFitAreRefused) {
  ReceiveFolder folder;
  RecordingUi ui;
  {
    // Folder and name together over 255 characters: nothing is created.
    const std::string deep = (folder.in / std::string(250 - folder.str().size(), 'd')).string();
    TargetFile t;
    EXPECT_EQ(openNamed(t, deep, "name.txt", 10), 0);
    EXPECT_NE(t.refusal().find("255"), std::string::npos) << t.refusal();
  }
  {
    TargetFile t;
    EXPECT_EQ(t.setFolder(std::string(256, 'f').c_str()), 0);
    t.storeSize(sizePacket(10).data());
    ASSERT_EQ(t.takeName(namePacket("a.txt").data(), ui), 1);
    EXPECT_EQ(t.openForWrite(), 0);
    EXPECT_FALSE(t.hasFile());
  }
  EXPECT_TRUE(listing(folder.root.path()) == std::set<std::string>{"in"});
}

TEST(TargetFile, MissingReceiveFolderCreatesNothing) {
  ReceiveFolder folder;
  DiagnosticLog log;
  TargetFile t;
  EXPECT_EQ(openNamed(t, (folder.in / "gone").string(), "a.txt", 10), 0);
  EXPECT_FALSE(t.hasFile());
  EXPECT_EQ(log.codes().size(), 1u);
  EXPECT_EQ(t.discard(), 0);
  EXPECT_TRUE(listing(folder.in).empty());
}

TEST(TargetFile, SecondNameClosesTheFirstFile) {
  ReceiveFolder folder;
  TargetFile t;
  RecordingUi ui;
  ASSERT_EQ(openNamed(t, folder.str(), "a.txt", 3), 1);
  ASSERT_EQ(t.writeChunk(dataPacket("abc").data(), 3, 0), 1);
  ASSERT_EQ(t.takeName(namePacket("b.txt").data(), ui), 1);
  ASSERT_EQ(t.openForWrite(), 1) << t.refusal();
  EXPECT_EQ(std::string(t.path()), (folder.in / "b.txt").string());
  EXPECT_EQ(test::readFile(folder.in / "a.txt"), "abc");
}

TEST(TargetFile, LinkInTheFolderIsNotFollowed) {
  if (onWindows()) GTEST_SKIP() << "links are a Linux concern here";
  ReceiveFolder folder;
  test::writeFile(folder.root / "outside.txt", "keep me");
  fs::create_symlink(folder.root / "outside.txt", folder.in / "a.txt");
  DiagnosticLog log;
  TargetFile t;
  EXPECT_EQ(openNamed(t, folder.str(), "a.txt", 3), 0);
  EXPECT_EQ(log.codes().size(), 1u);
  EXPECT_EQ(t.discard(), 0);
  EXPECT_EQ(test::readFile(folder.root / "outside.txt"), "keep me");
}

}  // namespace
}  // namespace zarvek
