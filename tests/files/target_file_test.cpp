// The file being received, as a hostile sender may drive it: nothing is ever
// written outside the receive folder, the view or the announced size. Then the
// receiver's dispatch packet by packet, where the loop tests cannot reach.
#include "receive/target_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mount.h>
#endif

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "base/paths.h"
#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "support/hostile_paths.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;
using Frame = std::array<uint8_t, kPacketSize>;
using Names = std::set<std::string>;
using test::ReceiveFolder;

bool onWindows() { return isPathSeparator('\\'); }

// Bytes from offset 4; the length field as given, or the payload's size.
Frame packet(const std::string& payload, int length = -1, uint8_t byte2 = 0) {
  Frame f{};
  f[offset::lengthHigh] = byte2;
  f[offset::lengthLow] = static_cast<uint8_t>(length < 0 ? payload.size() : static_cast<size_t>(length));
  std::memcpy(f.data() + offset::payload, payload.data(), std::min<size_t>(payload.size(), kMaxChunk));
  return f;
}

// FS, FN and the file made (staged under `tag`, if any), as the receiver drives them.
bool openNamed(TargetFile& t, const std::string& folder, const Frame& name, uint32_t size, uint32_t tag = 0) {
  Frame sizePacket{};
  buildSize(sizePacket.data(), size);
  t.setFolder(folder.c_str());
  EXPECT_EQ(t.storeSize(sizePacket.data()), size);
  return t.takeName(name.data()) && (tag ? t.openStaged(tag) : t.openForWrite());
}

// A new cycle, FS, then FN, as the receiver's loop gets them; the name step's result.
PacketResult announce(FileReceiver& receiver, const std::string& folder, const std::string& name, uint32_t size) {
  receiver.beginFile(folder.c_str());
  buildSize(receiver.packet(), size);
  EXPECT_EQ(receiver.dispatch().result, PacketResult::Accepted);
  buildName(receiver.packet(), name.data(), static_cast<uint8_t>(name.size()));
  return receiver.dispatch().result;
}
PacketResult data(FileReceiver& receiver, const std::string& bytes) {
  buildData(receiver.packet(), reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
  return receiver.dispatch().result;
}

TEST(TargetFile, ReceivedNames) {
  enum Expect { Refused, Accepted, Device };  // Device: refused where it opens a device (Windows)
  const struct { std::string name; Expect expect = Refused; int length = -1; uint8_t byte2 = 0; } cases[] = {
      {""}, {"."}, {".."}, {".. "}, {"../escaped.txt"}, {"..\\escaped.txt"}, {"sub/a.txt"}, {"/tmp/escaped.txt"},
      {"C:escaped.txt"}, {"a.txt:stream"}, {"a\x01.txt"}, {"a\t.txt"}, {"a\x7F.txt"}, {"a.txt\n"},
      {std::string("a.txt\0/../x", 11)}, {std::string(100, 'n')}, {std::string(255, 'n')},
      {std::string(99, 'n'), Accepted}, {"a.txtJUNK", Accepted, 5, 0x01},  // byte 2 is not part of the length
      {"CONSOLE.txt", Accepted}, {"COM10", Accepted}, {"LPT", Accepted}, {"a..b", Accepted}, {".hidden", Accepted},
      {"CON", Device}, {"con", Device}, {"NUL.txt", Device}, {"aux.tar.gz", Device}, {"PRN ", Device},
      {"COM1", Device}, {"com9.log", Device}, {"lpt9", Device}, {"CONOUT$", Device}, {"CONIN$", Device},
      {"NUL .log", Device}, {"COM\xB9", Device},
  };
  for (const auto& c : cases) {
    const std::string label = '"' + c.name + "\" (" + std::to_string(c.name.size()) + " bytes): ";
    const bool refused = c.expect == Refused || (c.expect == Device && onWindows());
    ReceiveFolder folder;
    TargetFile t;
    EXPECT_EQ(openNamed(t, folder.str(), packet(c.name, c.length, c.byte2), 16), !refused) << label << problemText(t.refusal());
    EXPECT_EQ(t.refusal() == FileProblem::None, !refused) << label;
    EXPECT_EQ(t.writeChunk(packet("0123456789abcdef").data(), 16, 0), !refused) << label;
    const std::string name = c.name.substr(0, c.length < 0 ? c.name.size() : static_cast<size_t>(c.length));
    EXPECT_EQ(folder.listing(), (refused ? Names{"in"} : Names{"in", "in/" + name})) << label;
    // Deleted while still mapped, so closed first (Windows requires it); never the folder.
    EXPECT_EQ(t.discard(), !refused) << label;
    EXPECT_EQ(folder.listing(), Names{"in"}) << label;
  }
}

TEST(TargetFile, PathLengths) {
  const std::string sep(1, kPathSeparator);
  std::vector<std::array<std::string, 3>> cases = {  // folder, name, joined
      {"in", "a.txt", "in" + sep + "a.txt"}, {"in" + sep, "a.txt", "in" + sep + "a.txt"}, {"", "a.txt", "a.txt"},
      {std::string(250, 'f'), "abcd", std::string(250, 'f') + sep + "abcd"},  // 255 characters fit
      {std::string(250, 'f'), "abcde", ""},                                    // 256 do not
  };
  if (onWindows()) cases.push_back({"C:/in/", "a.txt", "C:/in/a.txt"});
  for (const auto& [folder, name, joined] : cases)
    EXPECT_EQ(TargetFile::joinPath(folder.c_str(), name.c_str()), joined) << '"' << folder << "\" + " << name;
  ReceiveFolder folder;
  TargetFile t;
  const std::string deep = (folder.in / std::string(250 - folder.str().size(), 'd')).string();
  EXPECT_FALSE(openNamed(t, deep, packet("name.txt"), 10)) << "a path of 260 characters was used";
  EXPECT_FALSE(t.setFolder(std::string(256, 'f').c_str()));
  t.takeName(packet("a.txt").data());
  const Result tooLong = t.openForWrite();
  EXPECT_TRUE(!tooLong && tooLong.isRefusal()) << "a folder of 256 characters was used";
  EXPECT_FALSE(openNamed(t, (folder.in / "gone").string(), packet("a.txt"), 10)) << "into a folder that has gone";
  const Result gone = t.openForWrite();  // a system error, with its code
  EXPECT_TRUE(!gone && !gone.isRefusal() && gone.code() != 0) << gone.step();
  EXPECT_FALSE(t.discard());
  EXPECT_EQ(folder.listing(), Names{"in"});
}

TEST(TargetFile, ChunksOnlyInsideTheMappedView) {
  ReceiveFolder folder;
  TargetFile t;
  const Frame data = packet(std::string(1024, 'd'));
  EXPECT_FALSE(t.writeChunk(data.data(), 10, 0)) << "no view yet";
  ASSERT_TRUE(openNamed(t, folder.str(), packet("a.bin"), 2000)) << problemText(t.refusal());
  const struct { int32_t length; int64_t offset; bool accepted; } cases[] = {
      {1024, 0, 1}, {976, 1024, 1}, {0, 2000, 1}, {1, 2000, 0}, {1024, 977, 0},
      {-1, 0, 0},   {1025, 0, 0},   {10, -1, 0},  {1, INT64_MAX, 0}, {1024, INT64_MAX - 100, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(t.writeChunk(data.data(), c.length, c.offset), c.accepted) << c.length << " bytes at " << c.offset;
  EXPECT_EQ(t.storeSize(packet(std::string("\xFF\xFF\xFF\xFF", 4)).data()), 0xFFFFFFFFu) << "not unsigned";
  EXPECT_FALSE(t.writeChunk(data.data(), 1024, 2000)) << "a second size packet widened the view";
  t.close();
  EXPECT_FALSE(t.writeChunk(data.data(), 10, 0)) << "after close";
  EXPECT_EQ(test::readFile(folder.in / "a.bin"), std::string(2000, 'd'));
}

// A file is made at its full size, zero-filled, over an older one of its name;
// only a file this object created is deleted: not one another receiver holds or
// a link points at.
TEST(TargetFile, MadeAtFullSizeOverAnOlderFileAndDeletedOnlyByItsMaker) {
  ReceiveFolder folder;
  test::writeFile(folder.in / "a.bin", "an older file, longer than the new one");
  TargetFile first;
  ASSERT_TRUE(openNamed(first, folder.str(), packet("a.bin"), 0x00010203)) << problemText(first.refusal());  // 66051
  EXPECT_EQ(fs::file_size(folder.in / "a.bin"), 0x00010203u) << "not at its full size before any chunk";
  ASSERT_TRUE(first.writeChunk(packet("hello").data(), 5, 0x00010203 - 5));
  TargetFile second;
  EXPECT_FALSE(openNamed(second, folder.str(), packet("a.bin"), 4)) << "a file being received was opened again";
  EXPECT_FALSE(second.discard());
  first.close();
  EXPECT_EQ(test::readFile(folder.in / "a.bin"), std::string(0x00010203 - 5, '\0') + "hello")
      << "not zero-filled over the older file, or the failed opener emptied it";
  // A second name in one cycle: the first file stays, the second is the one deleted.
  ASSERT_TRUE(openNamed(second, folder.str(), packet("b.bin"), 3) && second.takeName(packet("c.bin").data()) &&
              second.openForWrite()) << problemText(second.refusal());
  EXPECT_TRUE(second.discard());
  EXPECT_EQ(folder.listing(), (Names{"in", "in/a.bin", "in/b.bin"})) << "c.bin not deleted, or b.bin";

  if (onWindows()) return;
  test::writeFile(folder.root / "outside.txt", "keep me");
  fs::create_symlink(folder.root / "outside.txt", folder.in / "link.txt");
  TargetFile linked;
  EXPECT_FALSE(openNamed(linked, folder.str(), packet("link.txt"), 3)) << "a link was followed";
  EXPECT_FALSE(linked.discard());
  EXPECT_EQ(test::readFile(folder.root / "outside.txt"), "keep me");
}

// A verified file is written under its staging name: the file under its own
// name stays as it was until publish puts the new copy there in one step, and a
// discard before then deletes the staged copy only.
TEST(TargetFile, StagedFileReplacesTheNamedOneOnlyWhenPublished) {
  ReceiveFolder folder;
  test::writeFile(folder.in / "a.bin", "verified earlier");
  for (const bool publish : {false, true}) {
    TargetFile t;
    ASSERT_TRUE(openNamed(t, folder.str(), packet("a.bin"), 5, 0xAB12)) << problemText(t.refusal());
    ASSERT_TRUE(t.writeChunk(packet("fresh").data(), 5, 0));
    EXPECT_EQ(folder.listing(), (Names{"in", "in/a.bin", "in/.zarvek-0000ab12.part"}));
    EXPECT_EQ(test::readFile(folder.in / "a.bin"), "verified earlier") << "touched before it was published";
    if (publish) {
      ASSERT_TRUE(t.publish());
      EXPECT_FALSE(t.discard()) << "a published file was deleted";
    } else {
      EXPECT_TRUE(t.discard());
    }
    EXPECT_EQ(folder.listing(), (Names{"in", "in/a.bin"}));
    EXPECT_EQ(test::readFile(folder.in / "a.bin"), publish ? "fresh" : "verified earlier");
  }
}

// A verified file's relative path from a hostile sender, as the receiver takes
// it (takePath, then the staged file): refused for its reason with nothing made
// anywhere, not even through a link or past a file planted in the folder; or,
// where this system holds the name as given, made under the folder and nowhere else.
TEST(TargetFile, HostilePathsAreRefusedOrStayInside) {
  using Plant = test::HostilePath::Plant;
  ReceiveFolder folder;
  fs::create_directory(folder.root / "outside");
  for (const test::HostilePath& c : test::hostilePaths(folder.str().size())) {
    const std::string label = ::testing::PrintToString(c.path);
    for (const auto& e : fs::directory_iterator(folder.in)) fs::remove_all(e.path());  // a link goes, not its target
    Names planted = {"in", "outside"};
    if (c.plant == Plant::LinkOut) {
      std::error_code ec;
      fs::create_directory_symlink(folder.root / "outside", folder.in / "out", ec);
      if (ec && onWindows()) continue;  // Wine may make no link
      ASSERT_FALSE(ec) << ec.message();
      planted.insert("in/out");
    }
    if (c.plant == Plant::FileBlocker) {
      test::writeFile(folder.in / "blocker", "planted");
      planted.insert("in/blocker");
    }
    Frame sizePacket{};
    buildSize(sizePacket.data(), 5);
    TargetFile t;
    ASSERT_TRUE(t.setFolder(folder.str().c_str()));
    t.storeSize(sizePacket.data());
    const bool taken = t.takePath(c.path) && t.openStaged(0x7A7A0001);
    EXPECT_EQ(t.refusal(), c.expected()) << label << ": " << problemText(t.refusal(), t.failure());
    if (c.expected() != FileProblem::None) {
      EXPECT_FALSE(taken) << label;
      EXPECT_FALSE(problemText(t.refusal(), t.failure()).empty()) << label;
      EXPECT_STREQ(t.name(), c.path.c_str()) << "reported as it came";
      EXPECT_EQ(folder.listing(), planted) << label;
      continue;
    }
    ASSERT_TRUE(taken) << label;
    ASSERT_TRUE(t.writeChunk(packet("12345").data(), 5, 0)) << label;
    ASSERT_TRUE(t.publish()) << label;
    Names made = planted;
    for (size_t slash = c.path.find('/'); slash != std::string::npos; slash = c.path.find('/', slash + 1)) {
      made.insert("in/" + c.path.substr(0, slash));
    }
    made.insert("in/" + c.path);
    EXPECT_EQ(folder.listing(), made) << label;
    EXPECT_EQ(test::readFile(folder.in / c.path), "12345") << label;
  }
}

// A name the window cannot show is refused, no file made. After a failed read the loop begins
// a new cycle: the old file is kept, the count starts at zero for the next.
TEST(Dispatch, RefusedNameAndANewCycleAfterAFailedRead) {
  ReceiveFolder folder;
  test::RecordingUi ui;
  FileReceiver receiver{ui};
  ui.refuseNames(true);
  EXPECT_EQ(announce(receiver, folder.str(), "k.txt", 3), PacketResult::Failed);
  EXPECT_EQ(ui.reports().at(0).outcome, FileOutcome::Refused);
  ui.refuseNames(false);
  ASSERT_EQ(announce(receiver, folder.str(), "i.bin", 2048), PacketResult::Accepted);
  data(receiver, std::string(1024, 'i'));
  receiver.beginFile(folder.str().c_str());  // what the loop does after "Invalid Packet"
  EXPECT_EQ(ui.reports().back().outcome, FileOutcome::Kept);
  EXPECT_EQ(receiver.writeCount(), 0);
  announce(receiver, folder.str(), "j.bin", 3);
  data(receiver, "jjj");
  buildEndOfFile(receiver.packet());
  receiver.dispatch();
  EXPECT_EQ(folder.listing(), (Names{"in", "in/i.bin", "in/j.bin"}));
  EXPECT_EQ(test::readFile(folder.in / "j.bin"), "jjj");
  EXPECT_EQ(test::readFile(folder.in / "i.bin"), std::string(1024, 'i') + std::string(1024, '\0'));
}

#ifndef _WIN32
// A receive folder on a file system too small for the announced size (Linux, as root). Without
// a reservation the file would be created sparse, and the first chunk copied into an unbacked
// page would kill the receiver with SIGBUS.
class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    mounted_ = mount("tmpfs", dir_.str().c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!mounted_) GTEST_SKIP() << "cannot mount a 256 KiB tmpfs (needs root): " << std::strerror(errno);
  }
  void TearDown() override { if (mounted_) umount2(dir_.str().c_str(), MNT_DETACH); }

  test::TempDir dir_;
  test::RecordingUi ui_;
  bool mounted_ = false;
};

// No room for the announced size fails the name step; a file made takes its
// blocks at once, so that a second one finds no room before a chunk is written.
TEST_F(FullDisk, NoRoomFailsTheNameStepAndSpaceIsReservedWhenTheFileIsCreated) {
  FileReceiver big(ui_), first(ui_), second(ui_);
  EXPECT_EQ(announce(big, dir_.str(), "big.bin", 1024 * 1024), PacketResult::Failed);
  ASSERT_EQ(ui_.reports().size(), 1u);
  EXPECT_EQ(ui_.reports()[0].outcome, FileOutcome::Refused);
  EXPECT_EQ(ui_.reports()[0].problem, FileProblem::NotCreated);
  EXPECT_EQ(ui_.reports()[0].failure.code(), static_cast<unsigned long>(ENOSPC));
  EXPECT_EQ(ui_.troubles(), "") << "told again besides the file's report";
  EXPECT_NE(ui_.reports()[0].failure.step().find("no room"), std::string::npos) << problemText(ui_.reports()[0]);
  const std::string chunk(kMaxChunk, 'x');
  EXPECT_EQ(data(big, chunk), PacketResult::Failed) << "a chunk went into a file with no room";
  EXPECT_EQ(fs::file_size(dir_ / "big.bin"), 0u) << "the failed reservation was not given back";

  ASSERT_EQ(announce(first, dir_.str(), "first.bin", 200 * 1024), PacketResult::Accepted);
  EXPECT_EQ(announce(second, dir_.str(), "second.bin", 100 * 1024), PacketResult::Failed);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(data(first, chunk), PacketResult::Accepted) << "chunk " << i;
  EXPECT_EQ(test::readFile(dir_ / "first.bin"), std::string(200 * 1024, 'x'));
}
#endif

}  // namespace
}  // namespace zarvek
