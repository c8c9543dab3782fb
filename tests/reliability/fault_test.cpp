// Faults on the line and at the ends: a receiver killed mid-file, the cable
// pulled, a sender that falls silent without "EF", packets cut by a gap, and
// garbage between packets. In each the ends must neither crash nor hang past a
// stop, say what became of the file, and the next batch must go through.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/process.h"
#include "engines/line_fixture.h"
#include "raw_peer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

class Faults : public LineTest {
 protected:
  Faults() : LineTest(115200) {}

  // True when nothing more crosses from the sender within `quiet`.
  bool senderSilent(std::chrono::milliseconds quiet) {
    const uint64_t before = cable_.bytesIn(Direction::AtoB);
    std::this_thread::sleep_for(quiet);
    return cable_.bytesIn(Direction::AtoB) == before;
  }

  // A fresh batch of two files goes through whole. End A's queue is drained
  // first: the cable keeps its ends open, so bytes from the broken conversation
  // could wait there as they would not at a port opened afresh, and the sender,
  // which never discards input, would take them as answers.
  void expectNextBatchArrives() {
    TestPort(cable_.endA()).read(1 << 16, std::chrono::milliseconds(300));
    writeFile(source / "next-1.bin", randomBytes(3000, 1));
    writeFile(source / "next-2.bin", randomBytes(1024, 2));
    EXPECT_EQ(send({"next-1.bin", "next-2.bin"}).crcFailures, 0);
    for (const char* name : {"next-1.bin", "next-2.bin"}) {
      EXPECT_TRUE(eventually([&] { return fs::exists(target / name) && readFile(target / name) == readFile(source / name); }))
          << name << " did not arrive whole";
    }
  }
};

TEST_F(Faults, ReceiverKilledMidFileThenRestarted) {
  writeFile(source / "big.bin", randomBytes(60000, 3));
  const std::vector<std::string> receive = {zarvekPath(), "receive", "--port", cable_.endB(), "--speed", "115200",
                                            "--dir", target.str()};
  {
    Process receiver(receive);
    ASSERT_TRUE(receiver.waitForErr("receiving into", 30s)) << receiver.err();
    startSend({"big.bin"});
    ASSERT_TRUE(eventually([&] { return cable_.bytesIn(Direction::AtoB) > 10 * kPacketSize; }));
    receiver.signal(SIGKILL);
    EXPECT_EQ(receiver.wait(10s), 128 + SIGKILL);
  }
  // No time-out anywhere: the sender waits for its reply until it is stopped.
  EXPECT_TRUE(senderSilent(1s));
  EXPECT_TRUE(senderUi.reports().empty());
  sendJob->running = 0;
  finishSend();
  ASSERT_EQ(senderUi.reports().size(), 1u);
  EXPECT_EQ(senderUi.reports()[0].outcome, FileOutcome::Stopped);
  // Killed, the receiver could not tidy up: the file stays at its announced size.
  EXPECT_EQ(fs::file_size(target / "big.bin"), 60000u);

  Process again(receive);
  ASSERT_TRUE(again.waitForErr("receiving into", 30s)) << again.err();
  std::this_thread::sleep_for(200ms);
  expectNextBatchArrives();
  again.signal(SIGINT);
  EXPECT_EQ(again.wait(10s), 0) << again.out() << again.err();
}

TEST_F(Faults, CableUnpluggedMidFile) {
  writeFile(source / "big.bin", randomBytes(60000, 4));
  startReceiver();
  startSend({"big.bin"});
  ASSERT_TRUE(eventually([&] { return cable_.bytesIn(Direction::AtoB) > 10 * kPacketSize; }));
  cable_.unplug();
  EXPECT_TRUE(senderSilent(1s)) << "the sender went on without replies";
  EXPECT_TRUE(senderUi.reports().empty());
  EXPECT_TRUE(receiverUi.reports().empty());
  sendJob->running = 0;
  finishSend();
  stopReceiver();  // the fixture's guard: a hang fails the test
  ASSERT_EQ(senderUi.reports().size(), 1u);
  EXPECT_EQ(senderUi.reports()[0].outcome, FileOutcome::Stopped);
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Kept);
  EXPECT_EQ(fs::file_size(target / "big.bin"), 60000u);
}

TEST_F(Faults, SenderFallsSilentWithoutEndOfFile) {
  startReceiver();
  {
    RawSender sender(cable_.endA());
    for (const auto& f : {sizeFrame(3000), nameFrame("half.bin"), dataFrame(std::string(1024, 'h'))}) {
      sender.write(f);
      EXPECT_EQ(sender.replies(1), "A");
    }
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(receiverUi.reports().empty()) << "the receiver gave up on its own";
  stopReceiver();
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Kept);
  EXPECT_EQ(receiverUi.reports()[0].written, 1024u);
  EXPECT_EQ(readFile(target / "half.bin"), std::string(1024, 'h') + std::string(3000 - 1024, '\0'));

  startReceiver();
  expectNextBatchArrives();
}

TEST_F(Faults, GarbageBetweenPacketsIsAnsweredAndIgnored) {
  startReceiver();
  const std::string content = randomBytes(2000, 5);
  RawSender sender(cable_.endA());
  struct Garbage {
    const char* what;
    std::string bytes;
  };
  // Bytes short of a packet are never acted on, whatever their letters: once
  // the line stays quiet they are refused, as a packet cut short is.
  const Garbage table[] = {{"noise", "\x13\x99zq!"}, {"a stray FD header", std::string("FD\x00\x10", 4)},
                           {"a stray FS", "FS"}, {"line break", "\r\n"}};
  sender.write(sizeFrame(2000));
  EXPECT_EQ(sender.replies(1), "A");
  for (const auto& g : table) {
    SCOPED_TRACE(g.what);
    sender.write(g.bytes);
    EXPECT_EQ(sender.replies(1), "N");
  }
  for (const auto& f : {nameFrame("g.bin"), dataFrame(content.substr(0, 1024)), dataFrame(content.substr(1024))}) {
    sender.write(f);
    EXPECT_EQ(sender.replies(1), "A");
  }
  sender.writeEnding(bareFrame("EF"));
  EXPECT_EQ(readFile(target / "g.bin"), content);
}

TEST_F(Faults, PacketCutShortByAGap) {
  writeFile(source / "gap.bin", randomBytes(8000, 6));
  // 100 ms of silence inside the third data packet (packets: FS, FN, FD, FD, FD...).
  FaultPlan gap;
  gap.pauses.push_back({4 * kPacketSize + 500, 100});
  cable_.setFaults(Direction::AtoB, gap);
  startReceiver();
  // The cut packet is refused and sent again once its rest has come and gone:
  // one answer per packet, so the file arrives whole and the sender ends by itself.
  const SendBatchResult result = send({"gap.bin"});
  EXPECT_EQ(result.crcFailures, 0);
  stopReceiver();
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Complete);
  EXPECT_TRUE(readFile(target / "gap.bin") == readFile(source / "gap.bin")) << "the copy differs";
  const auto answered = replies();
  EXPECT_GE(std::count(answered.begin(), answered.end(), 'N'), 1) << "the gap never cut a packet";

  startReceiver();
  cable_.setFaults(Direction::AtoB, {});
  expectNextBatchArrives();
}

}  // namespace
}  // namespace zarvek::test
