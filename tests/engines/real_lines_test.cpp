// What real lines and machines do that a clean virtual cable does not: a far
// end's noise when it opens its port, a stray byte waiting at the sender, a
// window slow to show a finished file, a port that fails under the sender.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "line_fixture.h"
#include "tests/cable/test_port.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RealLines : public LineTest {
 protected:
  RealLines() : LineTest(115200) {}

  void expectArrived(const std::string& name) {
    ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() >= 1; }));
    EXPECT_EQ(readFile(target / name), readFile(source / name)) << name;
    for (const auto& r : receiverUi.reports()) EXPECT_EQ(r.outcome, FileOutcome::Complete) << r.name;
  }
};

TEST_F(RealLines, NoiseFromAFarEndOpeningItsPortNeitherEatsNorAnswersTheFirstPacket) {
  writeFile(source / "after-noise.bin", randomBytes(5000, 1));
  startReceiver();
  TestPort(cable_.endA()).write("\xF0");  // the sender's end, as it powers up
  std::this_thread::sleep_for(80ms);
  send({"after-noise.bin"});
  expectArrived("after-noise.bin");
  EXPECT_EQ(kinds(1), "FS FN FD FD FD FD FD EF");
  EXPECT_EQ(replies(), std::vector<uint8_t>(7, 'A')) << "one answer per packet, none to the noise";
}

TEST_F(RealLines, StrayByteWaitingAtTheSenderIsNotTakenForAnAnswer) {
  writeFile(source / "stray.bin", randomBytes(3000, 2));
  TestPort(cable_.endB()).write("N");  // a late answer from an earlier conversation
  std::this_thread::sleep_for(20ms);
  startReceiver();
  send({"stray.bin"});
  expectArrived("stray.bin");
  EXPECT_EQ(kinds(), "FS FN FD FD FD EF");
}

TEST_F(RealLines, WindowSlowToShowAFinishedFileCostsNotTheNextOne) {
  writeFile(source / "first.bin", randomBytes(2000, 3));
  writeFile(source / "second.bin", randomBytes(2000, 4));
  receiverUi.slowDown(150ms);  // longer than the sender's pause after "EF"
  startReceiver();
  send({"first.bin", "second.bin"});
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 2; }));
  for (const char* name : {"first.bin", "second.bin"}) EXPECT_EQ(readFile(target / name), readFile(source / name));
}

// A port whose far side goes away mid-file: the sender's reply read fails.
TEST(SenderPort, ReplyThatCannotBeReadEndsTheFileUnsentAndTheBatch) {
  TempDir source;
  writeFile(source / "cut.bin", randomBytes(5000, 5));
  writeFile(source / "later.bin", "never sent");
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string end = ::ttyname(slave);
  FileSender sender;
  ASSERT_TRUE(sender.openPort(end.c_str()));
  sender.configurePort(115200);
  ::close(slave);

  auto job = std::make_unique<TransferJob>();
  const std::string selection = source.str() + '\0' + "cut.bin" + '\0' + "later.bin" + '\0' + '\0';
  std::memcpy(job->selection, selection.data(), selection.size());
  job->nextName = static_cast<int32_t>(source.str().size() + 1);
  job->crcRetryLimit = 4;
  job->running = 1;
  RecordingUi ui;
  std::atomic<bool> done{false};
  SendBatchResult result;
  std::thread batch([&] {
    result = runSendBatch(*job, sender, ui);
    done = true;
  });
  // The far end answers FS, FN and the first chunk, takes the second, and is gone.
  const auto takePacket = [&] {
    size_t got = 0;
    char buffer[kPacketSize];
    while (got < static_cast<size_t>(kPacketSize)) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 10'000) <= 0) return false;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) got += static_cast<size_t>(n);
    }
    return true;
  };
  for (int packet = 0; packet < 4; ++packet) {
    if (!takePacket()) {
      ADD_FAILURE() << "packet " << packet << " never came";
      break;
    }
    if (packet < 3) {
      EXPECT_EQ(::write(master, "A", 1), 1);
    }
  }
  ::close(master);
  const auto guard = std::chrono::steady_clock::now() + 10s;
  while (!done && std::chrono::steady_clock::now() < guard) std::this_thread::sleep_for(10ms);
  job->running = done ? job->running.load() : 0;  // a hung sender is stopped, and fails below
  batch.join();
  ASSERT_EQ(ui.reports().size(), 1u) << "the batch ends with the file whose reply could not be read";
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::LineFailed);
  EXPECT_EQ(ui.reports()[0].written, 1024u);
  EXPECT_EQ(result.filesFailed, 1);
  playCompletionSound(*job, result, ui);
  EXPECT_EQ(ui.sounds(), 0);
}

}  // namespace
}  // namespace zarvek::test
