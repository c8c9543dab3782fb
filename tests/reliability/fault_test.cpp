// Our ends when a receiver is killed mid-file or the cable is pulled: neither
// crashes nor hangs past a stop, each says what became of the file, and the
// next batch goes through.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "engines/line_fixture.h"
#include "harness/process.h"
#include "harness/cable_end.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

class Faults : public LineTest {
 protected:
  Faults() : LineTest(CableConfig{115200, {}, {}, true}) {}

  // Starts sending a 60000-byte file; true once ten packets have crossed.
  bool sendingBigFile() {
    writeFile(source / "big.bin", randomBytes(60000, 3));
    startSend({"big.bin"});
    return eventually([&] { return cable_.bytesIn(Direction::AtoB) > 10 * kPacketSize; });
  }

  // With no time-out anywhere, the sender waits for its reply until its user stops it.
  void expectSenderWaitsUntilStopped() {
    const uint64_t before = cable_.bytesIn(Direction::AtoB);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(cable_.bytesIn(Direction::AtoB), before) << "the sender went on without replies";
    EXPECT_TRUE(senderUi.reports().empty());
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
  // A fresh batch of two files goes through whole. End A's queue is drained first: bytes
  // of the broken conversation wait there (the cable keeps its ends open, a port opened
  // afresh would not), and the sender, which never discards input, takes them as answers.
  harness::CableEnd(cable_.endA()).read(1 << 16, 300ms);
  writeFile(source / "next-1.bin", randomBytes(3000, 1));
  writeFile(source / "next-2.bin", randomBytes(1024, 2));
  EXPECT_EQ(send({"next-1.bin", "next-2.bin"}).crcFailures, 0);
  for (const char* name : {"next-1.bin", "next-2.bin"}) {
    const auto whole = [&] { return fs::exists(target / name) && readFile(target / name) == readFile(source / name); };
    EXPECT_TRUE(eventually(whole)) << name << " did not arrive whole";
  }
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
