// Senders that break the rules, their frames built byte by byte to lie in any field.
// The receiver must stay inside its folder, stay alive, answer each packet as its
// dispatch table says, and still take the next file from an honest sender.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "engines/line_fixture.h"
#include "protocol/packet.h"
#include "tests/cable/test_port.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

// A 1030-byte frame: kind letters, the length field as given, the payload from
// offset 4, and PacketCrc over `crcCount` payload bytes (cut to 0..1024).
std::string frame(const char kind[2], uint16_t lengthField, const std::string& payload, int32_t crcCount) {
  std::string f = std::string(kind, 2) + char(lengthField >> 8) + char(lengthField) + payload.substr(0, kMaxChunk);
  f.resize(kPacketSize - 2);
  const uint16_t crc = PacketCrc(reinterpret_cast<const uint8_t*>(f.data()), std::clamp(crcCount, 0, kMaxChunk));
  return f + char(crc >> 8) + char(crc);
}
std::string sizeFrame(uint32_t n) { return frame("FS", 4, {char(n >> 24), char(n >> 16), char(n >> 8), char(n)}, 4); }
std::string nameFrame(const std::string& name) { return frame("FN", name.size(), name, name.size()); }
std::string dataFrame(const std::string& chunk) { return frame("FD", chunk.size(), chunk, chunk.size()); }
std::string bareFrame(const char kind[2]) { return frame(kind, 0, "", 0); }  // "EF", "AF", "ET" or any letters

// The one reply byte that bytes written on the port get; none for a frame that ends the
// file ("EF", "AF"), after which the receiver's next wait must begin before more is written.
std::string reply(TestPort& port, const std::string& bytes) {
  EXPECT_TRUE(port.write(bytes));
  if (!bytes.starts_with("EF") && !bytes.starts_with("AF")) return port.read(1);
  std::this_thread::sleep_for(150ms);
  return "";
}

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

std::vector<Script> scripts() {
  const std::string ef = bareFrame("EF"), af = bareFrame("AF");
  std::vector<Script> s;
  s.push_back({"length fields out of range",
               {frame("FS", 0xFFFF, "\0\0\0\x0a", 4),  // the size's checksum covers 4 bytes whatever the field says
                frame("FN", 0xFFFF, "x.bin", 5), frame("FN", 1025, "x.bin", 5), frame("FN", 0x8000, "x.bin", 5),
                frame("FD", 0xFFFF, std::string(10, 'd'), 10), frame("FD", 1025, std::string(10, 'd'), 10), af},
               "ANNNNN", {}});
  for (const char* name : {"..", ".", "../up.bin", "a/b.bin", "a\\b.bin", "/tmp/abs.bin", "", " . ", "c:d.bin",
                           "tab\there", "ok.bin\x01"}) {
    s.push_back({name, {sizeFrame(5), nameFrame(name), dataFrame("12345"), ef}, "AAA", {}});
  }
  s.push_back({"a name of 100 characters", {sizeFrame(5), nameFrame(std::string(100, 'n')), dataFrame("12345"), ef},
               "AAA", {}});
  s.push_back({"oversize chunks",
               {sizeFrame(10), nameFrame("over.bin"), dataFrame(std::string(1024, 'o')),
                dataFrame(std::string(11, 'o')), dataFrame("0123456789"), dataFrame("x"), ef},
               "AAAAAA", {"over.bin"}});
  s.push_back({"data before a name", {sizeFrame(4), dataFrame("abcd"), ef}, "AA", {"over.bin"}});
  s.push_back({"after end of transfer",
               {sizeFrame(3), nameFrame("before-et.bin"), dataFrame("abc"), bareFrame("ET"), sizeFrame(3),
                nameFrame("after-et.bin"), dataFrame("xyz"), af},
               "AAAAAAA", {"over.bin", "before-et.bin"}});
  s.push_back({"kinds that name nothing",
               {bareFrame("XY"), bareFrame("FZ"), bareFrame("EX"), bareFrame("AZ"), bareFrame("fs"), af},
               "AAAAA", {"over.bin", "before-et.bin"}});
  return s;
}

TEST(HostilePeer, ReceiverStaysInItsFolderAnswersByItsTableAndStillTakesAFile) {
  Cable cable;  // unpaced
  TempDir box, outbox;
  const fs::path inbox = box / "in";
  fs::create_directories(inbox);
  RecordingUi ui, senderUi;
  harness::ReceiverThread receiver(cable.endB(), 115200, inbox.string(), ui);
  {
    TestPort hostile(cable.endA());
    for (const auto& script : scripts()) {
      SCOPED_TRACE(script.what);
      std::string replies;
      for (const auto& f : script.frames) replies += reply(hostile, f);
      replies += hostile.read(8, 200ms);  // nothing more may come
      EXPECT_EQ(replies, script.replies);
      EXPECT_EQ(listing(box.path()).size(), script.files.size() + 1) << "something was written outside the folder";
      EXPECT_EQ(listing(inbox), script.files);
    }
  }
  EXPECT_EQ(readFile(inbox / "over.bin"), "0123456789");
  EXPECT_EQ(readFile(inbox / "before-et.bin"), "abc");
  EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "abs.bin"));

  writeFile(outbox / "honest.bin", randomBytes(5000, 9));
  const auto sent = harness::sendFiles(cable.endA(), 115200, {(outbox / "honest.bin").string()}, senderUi);
  ASSERT_TRUE(sent.has_value()) << "the sender could not open " << cable.endA();
  EXPECT_TRUE(sent->clean());
  EXPECT_EQ(readFile(inbox / "honest.bin"), readFile(outbox / "honest.bin"));
}

// Bytes short of a packet are never acted on, whatever their letters: once the
// line stays quiet they are refused, as a packet cut short is. When the sender
// then falls silent the receiver waits, and keeps what it has when stopped.
class BrokenSender : public LineTest {};

TEST_F(BrokenSender, GarbageBetweenPacketsThenSilenceWithoutEndOfFile) {
  startReceiver();
  {
    TestPort sender(cable_.endA());
    EXPECT_EQ(reply(sender, sizeFrame(3000)), "A");
    const std::pair<const char*, std::string> garbage[] = {{"noise", "\x13\x99zq!"},
        {"a stray FD header", std::string("FD\x00\x10", 4)}, {"a stray FS", "FS"}, {"line break", "\r\n"}};
    for (const auto& [what, bytes] : garbage) EXPECT_EQ(reply(sender, bytes), "N") << what;
    EXPECT_EQ(reply(sender, nameFrame("half.bin")), "A");
    EXPECT_EQ(reply(sender, dataFrame(std::string(1024, 'h'))), "A");
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(receiverUi.reports().empty()) << "the receiver gave up on its own";
  stopReceiver();
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Kept);
  EXPECT_EQ(receiverUi.reports()[0].written, 1024u);
  EXPECT_EQ(readFile(target / "half.bin"), std::string(1024, 'h') + std::string(3000 - 1024, '\0'));

  startReceiver();
  writeFile(source / "next-1.bin", randomBytes(3000, 1));
  writeFile(source / "next-2.bin", randomBytes(1024, 2));
  EXPECT_TRUE(send({"next-1.bin", "next-2.bin"}).clean());
  for (const char* name : {"next-1.bin", "next-2.bin"}) {
    EXPECT_TRUE(readFile(target / name) == readFile(source / name)) << name << " did not arrive whole";
  }
}

}  // namespace
}  // namespace zarvek::test
