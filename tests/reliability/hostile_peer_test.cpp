// Senders that break the rules, their frames built byte by byte to lie in any field.
// The receiver must stay inside its folder, stay alive, answer each packet as its
// dispatch table says, and still take the next file from an honest sender. Then our
// ends when a receiver is killed mid-file or the cable is pulled: neither crashes nor
// hangs past a stop, each says what became of the file, and the next batch goes through.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "engines/line_fixture.h"
#include "harness/cable_end.h"
#include "harness/process.h"
#include "protocol/file_info.h"
#include "protocol/packet.h"
#include "protocol/streamed.h"
#include "protocol/verified.h"
#include "send/send_job.h"
#include "support/hostile_paths.h"

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
std::string reply(harness::CableEnd& port, const std::string& bytes) {
  EXPECT_TRUE(port.write(bytes));
  if (!bytes.starts_with("EF") && !bytes.starts_with("AF")) return port.read(1);
  std::this_thread::sleep_for(150ms);
  return "";
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
  s.push_back({"oversize chunks",
               {sizeFrame(10), nameFrame("over.bin"), dataFrame(std::string(1024, 'o')),
                dataFrame(std::string(11, 'o')), dataFrame("0123456789"), dataFrame("x"), ef},
               "AAAAAA", {"over.bin"}});
  s.push_back({"data before a name", {sizeFrame(4), dataFrame("abcd"), ef}, "AA", {"over.bin"}});
  s.push_back({"after end of transfer",
               {sizeFrame(3), nameFrame("before-et.bin"), dataFrame("abc"), bareFrame("ET"), sizeFrame(3),
                nameFrame("after-et.bin"), dataFrame("xyz"), af},
               "AAAAAAA", {"over.bin", "before-et.bin"}});
  s.push_back({"kinds that name nothing: exact upper-case letters only",
               {bareFrame("XY"), bareFrame("FZ"), bareFrame("EX"), bareFrame("AZ"), bareFrame("fs"), bareFrame("Fd"),
                bareFrame("eF"), bareFrame("SF"), af},
               "AAAAAAAA", {"over.bin", "before-et.bin"}});
  // Bytes short of a packet are refused once the line is quiet, whatever their letters.
  s.push_back({"bytes short of a packet between packets",
               {sizeFrame(3000), "\x13\x99zq!", std::string("FD\x00\x10", 4), "FS", "\r\n", nameFrame("half.bin"),
                dataFrame(std::string(1024, 'h')), af},
               "ANNNNAA", {"over.bin", "before-et.bin"}});
  // A name after the file is made is a failed step, answered "A": it neither moves
  // nor reopens the file, which is judged by what reached it (see the reports below).
  s.push_back({"a second and third name in one cycle",
               {sizeFrame(10), nameFrame("first.bin"), dataFrame("01234"), nameFrame("first.bin"),
                nameFrame("second.bin"), dataFrame("56789"), ef, sizeFrame(4), nameFrame("partial.bin"),
                nameFrame("other.bin"), dataFrame("ab"), ef},
               "AAAAAAAAAA", {"over.bin", "before-et.bin", "first.bin", "partial.bin"}});
  return s;
}

TEST(HostilePeer, ReceiverStaysInItsFolderAnswersByItsTableAndStillTakesAFile) {
  Cable cable;  // unpaced
  ReceiveFolder box;  // a name escaping "in" shows in its root's listing
  TempDir outbox;
  const fs::path inbox = box.in;
  RecordingUi ui, senderUi;
  harness::ReceiverThread receiver(cable.endB(), 115200, inbox.string(), ui);
  {
    harness::CableEnd hostile(cable.endA());
    for (const auto& script : scripts()) {
      SCOPED_TRACE(script.what);
      std::string replies;
      for (const auto& f : script.frames) replies += reply(hostile, f);
      replies += hostile.read(8, 200ms);  // nothing more may come
      EXPECT_EQ(replies, script.replies);
      std::set<std::string> files = {"in"};
      for (const auto& name : script.files) files.insert("in/" + name);
      EXPECT_EQ(box.listing(), files) << "written outside the folder, or not as the table says";
    }
  }
  EXPECT_EQ(readFile(inbox / "over.bin"), "0123456789");
  EXPECT_EQ(readFile(inbox / "before-et.bin"), "abc");
  EXPECT_EQ(readFile(inbox / "first.bin"), "0123456789");
  EXPECT_EQ(readFile(inbox / "partial.bin"), std::string("ab\0\0", 4));
  std::map<std::string, std::vector<FileOutcome>> outcomes;  // each file reported once, the later names never
  for (const auto& r : ui.reports()) outcomes[r.name].push_back(r.outcome);
  EXPECT_EQ(outcomes["first.bin"], std::vector{FileOutcome::Complete});
  EXPECT_EQ(outcomes["partial.bin"], std::vector{FileOutcome::Incomplete});
  EXPECT_FALSE(outcomes.count("second.bin") || outcomes.count("other.bin")) << "a later name was taken";
  EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "abs.bin"));

  writeFile(outbox / "honest.bin", randomBytes(5000, 9));
  const auto sent = harness::sendFiles(cable.endA(), 115200, {(outbox / "honest.bin").string()}, senderUi);
  ASSERT_TRUE(sent.has_value()) << "the sender could not open " << cable.endA();
  EXPECT_TRUE(sent->clean());
  EXPECT_EQ(readFile(inbox / "honest.bin"), readFile(outbox / "honest.bin"));
}

// A Zarvek sender's "FS", offering the verified mode, and its "FN" asking for it
// under `tag` with a file block carrying `path` as given; its verified "EF".
std::string offeredSize(uint32_t size) {
  std::array<uint8_t, kPacketSize> f{};
  buildSize(f.data(), size);
  putOffer(f.data(), size);
  return {f.begin(), f.end()};
}
std::string verifiedName(const std::string& path, uint32_t size, uint32_t tag) {
  std::array<uint8_t, kPacketSize> f{};
  buildName(f.data(), "x.bin", 5);
  putRequest(f.data(), size, tag);
  EXPECT_TRUE(putFileInfo(f.data(), {path, 1300000000, false, false}, tag)) << "no room for the path";
  return {f.begin(), f.end()};
}
std::string verifiedEnd(uint32_t fileCrc, uint32_t tag) {
  std::array<uint8_t, kPacketSize> f{};
  buildVerifiedEnd(f.data(), fileCrc, tag);
  return {f.begin(), f.end()};
}

// Verified names whose path leaves the receive folder, goes through a link or a
// file planted there, names a device or is no name this system holds as given:
// each answered Differs before any data comes, with nothing held said after it,
// reported Refused for its reason, and nothing made in the folder or outside it.
// What Linux holds as given ("CON", "trail.") is taken as any empty file. After
// each, an honest file with a folder of its own still goes through.
TEST(HostilePeer, VerifiedPathsAreRefusedOrStayInside) {
  Cable cable;  // unpaced
  ReceiveFolder box;
  TempDir outbox;
  fs::create_directory(box.root / "outside");
  fs::create_directory_symlink(box.root / "outside", box.in / "out");
  writeFile(box.in / "blocker", "planted");
  std::set<std::string> expected = {"in", "in/out", "in/blocker", "outside"};
  RecordingUi ui, senderUi;
  harness::ReceiverThread receiver(cable.endB(), 115200, box.str(), ui);
  uint32_t tag = 0x5EED0000;
  for (const HostilePath& c : hostilePaths(box.str().size())) {
    SCOPED_TRACE(::testing::PrintToString(c.path));
    const bool refused = c.expected() != FileProblem::None;
    const size_t reported = ui.reports().size();
    ++tag;
    {
      harness::CableEnd hostile(cable.endA());
      ASSERT_TRUE(hostile.write(offeredSize(0)));
      EXPECT_EQ(hostile.read(1), std::string(1, char(kReplyVerify)));
      ASSERT_TRUE(hostile.write(verifiedName(c.path, 0, tag)));
      if (refused) {
        EXPECT_EQ(hostile.read(1 + kStreamFrameSize, 300ms), std::string(1, char(encodeAnswer(Answer::Differs, tag))));
      } else {
        EXPECT_EQ(hostile.read(1 + 2 * kStreamFrameSize).substr(0, 1), std::string(1, char(kReplyVerify)));
        ASSERT_TRUE(hostile.write(verifiedEnd(0, tag)));
        EXPECT_EQ(hostile.read(1), std::string(1, char(encodeAnswer(Answer::Matches, tag))));
        for (size_t slash = c.path.find('/'); slash != std::string::npos; slash = c.path.find('/', slash + 1)) {
          expected.insert("in/" + c.path.substr(0, slash));
        }
        expected.insert("in/" + c.path);
      }
    }
    ASSERT_TRUE(eventually([&] { return ui.reports().size() > reported; }));
    const FileReport r = ui.reports().back();
    EXPECT_EQ(r.name, c.path.c_str()) << "named as it came, up to a NUL";
    EXPECT_EQ(r.outcome, refused ? FileOutcome::Refused : FileOutcome::Complete);
    EXPECT_EQ(r.problem, c.expected()) << problemText(r);
    if (refused) {
      EXPECT_FALSE(problemText(r).empty());
    }

    const std::string honest = "honest/" + std::to_string(tag & 0xFF) + ".bin";
    writeFile(outbox / "honest.bin", randomBytes(3000, tag));
    TransferJob job;
    job.portName = cable.endA();
    job.speed = 115200;
    job.crcRetryLimit = kDefaultRetryLimit;
    job.files = {(outbox / "honest.bin").string()};
    job.wirePaths = {honest};
    job.running = 1;
    const auto sent = runSendJob(job, senderUi);
    ASSERT_TRUE(sent.has_value());
    EXPECT_TRUE(sent->clean()) << "the honest file after it did not go";
    EXPECT_EQ(readFile(box.in / honest), readFile(outbox / "honest.bin"));
    expected.insert({"in/honest", "in/" + honest});
    EXPECT_EQ(box.listing(), expected) << "made outside the folder, or not as the table says";
  }
  EXPECT_FALSE(fs::exists("/etc/x"));
}

class Faults : public ::testing::Test, public Line {
 protected:
  Faults() : Line(CableConfig{115200, {}, {}, true}) {}

  // Starts sending a 60000-byte file; true once ten packets have crossed.
  bool sendingBigFile() {
    writeFile(source / "big.bin", randomBytes(60000, 3));
    startSend({"big.bin"});
    return eventually([&] { return cable_.bytesIn(Direction::AtoB) > 10 * kPacketSize; });
  }

  // With no time-out anywhere, the sender waits for its reply until its user stops it.
  void expectSenderWaitsUntilStopped() {
    std::this_thread::sleep_for(500ms);  // a packet written as the line went still arrives whole
    const uint64_t before = cable_.bytesIn(Direction::AtoB);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(cable_.bytesIn(Direction::AtoB), before) << "the sender went on without replies";
    stopSend();
    finishSend();
    ASSERT_EQ(senderUi.reports().size(), 1u);
    EXPECT_EQ(senderUi.reports()[0].outcome, FileOutcome::Stopped);
  }
};

TEST_F(Faults, ReceiverKilledMidFileThenRestarted) {
  const std::vector<std::string> receive = {harness::zarvekPath(), "receive", "--port", cable_.endB(), "--speed", "115200",
                                            "--dir", target.str()};
  {
    harness::Process receiver(receive);
    ASSERT_TRUE(receiver.waitForOutput("receiving into", 30s)) << receiver.err();
    ASSERT_TRUE(sendingBigFile());
    receiver.signal(SIGKILL);
    EXPECT_EQ(receiver.wait(10s), 128 + SIGKILL);
  }
  ASSERT_NO_FATAL_FAILURE(expectSenderWaitsUntilStopped());
  // Killed, the receiver could not tidy up: the file stays at its announced size.
  EXPECT_EQ(fs::file_size(target / "big.bin"), 60000u);

  harness::Process again(receive);
  ASSERT_TRUE(again.waitForOutput("receiving into", 30s)) << again.err();
  std::this_thread::sleep_for(200ms);
  // A fresh batch goes through whole. End A's queue is drained first: bytes of the
  // broken conversation wait there (the cable keeps its ends open, a port opened
  // afresh would not).
  harness::CableEnd(cable_.endA()).read(1 << 16, 300ms);
  writeFile(source / "next.bin", randomBytes(3000, 1));
  EXPECT_EQ(send({"next.bin"}).crcFailures, 0);
  const auto whole = [&] { return fs::exists(target / "next.bin") && readFile(target / "next.bin") == readFile(source / "next.bin"); };
  EXPECT_TRUE(eventually(whole)) << "next.bin did not arrive whole";
  again.signal(SIGINT);
  EXPECT_EQ(again.wait(10s), 0) << again.out() << again.err();
}

TEST_F(Faults, CableUnpluggedMidFile) {
  startReceiver();
  ASSERT_TRUE(sendingBigFile());
  cable_.unplug();
  ASSERT_NO_FATAL_FAILURE(expectSenderWaitsUntilStopped());
  EXPECT_TRUE(receiverUi.reports().empty()) << "the receiver gave up on its own";
  stopReceiver();  // the fixture's guard: a hang fails the test
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Kept);
  const size_t written = receiverUi.reports()[0].written;  // the rest stays zero, at the announced size
  EXPECT_TRUE(readFile(target / "big.bin") == readFile(source / "big.bin").substr(0, written) + std::string(60000 - written, '\0'));
}

}  // namespace
}  // namespace zarvek::test
