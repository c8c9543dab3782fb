// A hostile sender: every kind with lengths out of range, names that try to
// leave the receive folder, oversize chunks, data before a name and after
// "ET". The receiver must stay inside its folder, stay alive, and answer each
// packet exactly as its dispatch table says.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "engines/line_fixture.h"
#include "raw_peer.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(folder)) names.insert(fs::relative(e.path(), folder).string());
  return names;
}

struct Script {
  const char* what;
  std::vector<std::string> frames;  // each answered by one reply byte, unless it ends the file
  std::string replies;              // every reply byte expected, in order
  std::set<std::string> files;      // what the receive folder holds afterwards
};

std::string chunk(size_t n, char c) { return std::string(n, c); }

std::vector<Script> scripts() {
  const std::string ef = bareFrame("EF"), af = bareFrame("AF");
  std::vector<Script> s;
  s.push_back({"length fields out of range",
               {frame("FS", 0xFFFF, "\0\0\0\x0a", 4),  // the size's checksum covers 4 bytes whatever the field says
                frame("FN", 0xFFFF, "x.bin", 5), frame("FN", 1025, "x.bin", 5), frame("FN", 0x8000, "x.bin", 5),
                frame("FD", 0xFFFF, chunk(10, 'd'), 10), frame("FD", 1025, chunk(10, 'd'), 10), af},
               "ANNNNN",
               {}});
  for (const char* name : {"..", ".", "../up.bin", "a/b.bin", "a\\b.bin", "/tmp/abs.bin", "", " . ", "c:d.bin",
                           "tab\there", "ok.bin\x01"}) {
    s.push_back({name, {sizeFrame(5), nameFrame(name), dataFrame("12345"), ef}, "AAA", {}});
  }
  s.push_back({"a name of 100 characters", {sizeFrame(5), nameFrame(std::string(100, 'n')), dataFrame("12345"), ef},
               "AAA", {}});
  s.push_back({"oversize chunks",
               {sizeFrame(10), nameFrame("over.bin"), dataFrame(chunk(1024, 'o')), dataFrame(chunk(11, 'o')),
                dataFrame("0123456789"), dataFrame("x"), ef},
               "AAAAAA",
               {"over.bin"}});
  s.push_back({"data before a name", {sizeFrame(4), dataFrame("abcd"), ef}, "AA", {"over.bin"}});
  s.push_back({"after end of transfer",
               {sizeFrame(3), nameFrame("before-et.bin"), dataFrame("abc"), bareFrame("ET"), sizeFrame(3),
                nameFrame("after-et.bin"), dataFrame("xyz"), af},
               "AAAAAAA",
               {"over.bin", "before-et.bin"}});
  s.push_back({"kinds that name nothing",
               {bareFrame("XY"), bareFrame("FZ"), bareFrame("EX"), bareFrame("AZ"), bareFrame("fs"), af},
               "AAAAA",
               {"over.bin", "before-et.bin"}});
  return s;
}

TEST(HostilePeer, ReceiverStaysInItsFolderAndAnswersByItsTable) {
  Cable cable;  // unpaced
  TempDir box;
  const fs::path inbox = box / "in";
  fs::create_directories(inbox);
  ReceiverOnThread receiver(cable.endB(), inbox);
  RawSender hostile(cable.endA());

  for (const auto& script : scripts()) {
    SCOPED_TRACE(script.what);
    std::string replies;
    for (const auto& f : script.frames) {
      const bool ends = f.compare(0, 2, "EF") == 0 || f.compare(0, 2, "AF") == 0;
      if (ends) {
        hostile.writeEnding(f);
        continue;
      }
      ASSERT_TRUE(hostile.write(f));
      replies += hostile.replies(1);
    }
    replies += hostile.replies(8, 200ms);  // nothing more may come
    EXPECT_EQ(replies, script.replies);
    ASSERT_TRUE(receiver.running());
    EXPECT_EQ(listing(box.path()).count("in"), 1u);
    EXPECT_EQ(listing(box.path()).size(), script.files.size() + 1) << "something was written outside the folder";
    EXPECT_EQ(listing(inbox), script.files);
  }
  EXPECT_EQ(readFile(inbox / "over.bin"), "0123456789");
  EXPECT_EQ(readFile(inbox / "before-et.bin"), "abc");
  EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "abs.bin"));
}

// After all that, the same receiver still takes a file from the real sender.
class HostileThenHonest : public LineTest {};

TEST_F(HostileThenHonest, ReceiverStillTakesAFile) {
  startReceiver();
  {
    RawSender hostile(cable_.endA());
    hostile.write(frame("FD", 0xFFFF, chunk(1024, 'z'), 1024));
    EXPECT_EQ(hostile.replies(1), "N");
    hostile.write(nameFrame("../escape.bin"));
    EXPECT_EQ(hostile.replies(1), "A");
    hostile.writeEnding(bareFrame("AF"));
  }
  writeFile(source / "honest.bin", randomBytes(5000, 9));
  const SendBatchResult result = send({"honest.bin"});
  EXPECT_EQ(result.crcFailures, 0);
  EXPECT_EQ(readFile(target / "honest.bin"), readFile(source / "honest.bin"));
  EXPECT_FALSE(fs::exists(target.path().parent_path() / "escape.bin"));
}

}  // namespace
}  // namespace zarvek::test
