// Our engines and the classic peer on the simulated line, in virtual time:
// files arrive whole, the line keeps 115200 bit/s time, faults land where they
// are aimed. Each case prints the real time it took beside the virtual.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "send/file_sender.h"
#include "support/classic_peer.h"
#include "support/recording_ui.h"
#include "sim/sim_line.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

using namespace std::chrono_literals;
using sim::SimLine;
using Time = SimLine::Time;

constexpr auto kGuard = 10s;  // real time: a case that hangs fails instead

// Our receiver on end B, on a thread of its own until stop().
class Receiver {
 public:
  Receiver(SimLine& line, RecordingUi& ui, const std::string& folder, bool verify = true)
      : line_(line), engine_(ui, verify) {
    EXPECT_TRUE(engine_.openPort(line.portName(SimLine::B).c_str()));
    thread_ = std::thread([this, folder] { engine_.runReceiveLoop(folder.c_str(), running_); });
  }
  ~Receiver() { stop(); }
  void stop() {
    running_ = 0;
    line_.wake();
    if (thread_.joinable()) thread_.join();
  }

 private:
  SimLine& line_;
  std::atomic<uint8_t> running_{1};
  FileReceiver engine_;
  std::thread thread_;
};

// Our sender on end A: one batch on a thread of its own, timed on the line's clock.
class Sender {
 public:
  Sender(SimLine& line, RecordingUi& ui, bool verify = true) : line_(line), engine_(ui, verify) {
    EXPECT_TRUE(engine_.openPort(line.portName(SimLine::A).c_str()));
  }
  ~Sender() { stop(); }
  void start(const std::vector<std::string>& paths) {
    thread_ = std::thread([this, paths] {
      begun = line_.now();
      result = engine_.runSendBatch(paths, running_, 4);
      ended = line_.now();
      finished = true;
    });
  }
  void stop() {
    running_ = 0;
    line_.wake();
    finish();
  }
  void finish() {
    if (thread_.joinable()) thread_.join();
  }

  SendBatchResult result;
  Time begun{}, ended{};
  std::atomic<bool> finished{false};

 private:
  SimLine& line_;
  std::atomic<uint8_t> running_{1};
  FileSender engine_;
  std::thread thread_;
};

class SimTest : public ::testing::Test {
 protected:
  SimTest() {
    for (const auto& [name, size] : {std::pair{"empty.bin", 0}, {"one.bin", 1000}, {"three.bin", 3000}}) {
      contents.push_back(randomBytes(static_cast<size_t>(size), static_cast<uint32_t>(size + 1)));
      names.push_back(name);
      paths.push_back((source / name).string());
      writeFile(source / name, contents.back());
    }
  }
  ~SimTest() override {
    std::printf("    real %.1f ms for %.1f ms on the line\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count(),
                std::chrono::duration<double, std::milli>(line.now()).count());
  }

  void expectArrived(size_t files = 3) {
    for (size_t i = 0; i < files; ++i) {
      EXPECT_TRUE(std::filesystem::exists(target / names[i]) && readFile(target / names[i]) == contents[i]) << names[i];
    }
  }
  // The bytes of `from`'s n-th write as they arrived (no byte inserted or dropped before it).
  std::string written(SimLine::End from, size_t n) const {
    const SimLine::Write w = line.writes(from).at(n);
    const auto arrived = line.arrivals(from);
    std::string bytes;
    for (int64_t i = w.index; i < w.index + w.length; ++i) bytes += static_cast<char>(arrived.at(static_cast<size_t>(i)).value);
    return bytes;
  }

  void loseAReply(bool verify);

  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  SimLine line;
  TempDir source, target;
  RecordingUi senderUi, receiverUi;
  std::vector<std::string> names, paths, contents;
};

TEST_F(SimTest, OurEnginesCarryFilesInTheLineTimeOf115200) {
  Receiver receiver(line, receiverUi, target.str());
  Sender sender(line, senderUi);
  sender.start(paths);
  sender.finish();
  receiver.stop();
  EXPECT_TRUE(sender.result.clean());
  expectArrived();
  // Request and reply take turns, so the batch lasts at least every byte's
  // line time, and no more than that and the protocol's 50 ms pauses.
  int64_t bytes = 0;
  for (const SimLine::End from : {SimLine::A, SimLine::B}) {
    for (const auto& w : line.writes(from)) bytes += w.length;
  }
  const Time lineTime(bytes * 10 * 1'000'000'000LL / 115200);
  const Time took = sender.ended - sender.begun;
  EXPECT_GE(took, lineTime);
  EXPECT_LE(took, lineTime + (names.size() + 1) * 50ms + 1ms);
  EXPECT_EQ(line.arrivals(SimLine::A).back().at,
            line.writes(SimLine::A).back().at + Time(int64_t{kPacketSize} * 10 * 1'000'000'000 / 115200))
      << "the last packet, written to an idle line, arrives one packet's line time later";
}

TEST_F(SimTest, ClassicSenderToOurReceiver) {
  Receiver receiver(line, receiverUi, target.str());
  ClassicSender sender(line.portName(SimLine::A));
  sender.start({paths.begin(), paths.end()});
  ASSERT_TRUE(sender.finish(kGuard));
  receiver.stop();
  expectArrived();
}

TEST_F(SimTest, OurSenderToClassicReceiver) {
  ClassicReceiver receiver(line.portName(SimLine::B), target.path());
  Sender sender(line, senderUi);
  sender.start(paths);
  sender.finish();
  receiver.stop();
  expectArrived();
  EXPECT_EQ(receiver.trace().substr(0, 16), "FS/A FN/A EF FS/") << "the empty file, offered verified, goes classic";
}

TEST_F(SimTest, AFlippedDataByteIsRefusedAndTheChunkSentAgain) {
  constexpr int64_t kFirstData = 2 * kPacketSize;  // after "FS" and "FN"
  line.flip(SimLine::A, kFirstData + offset::payload + 5, 0x01);  // the classic checksum sees low nibbles only
  Receiver receiver(line, receiverUi, target.str(), false);
  Sender sender(line, senderUi, false);
  sender.start({paths[2]});
  sender.finish();
  receiver.stop();
  EXPECT_TRUE(readFile(target / names[2]) == contents[2]);
  EXPECT_EQ(senderUi.refused(), 1);
  EXPECT_EQ(line.arrivals(SimLine::B).at(2).value, kReplyRefuse);
  std::string damaged = written(SimLine::A, 2);
  damaged[offset::payload + 5] ^= 0x01;
  EXPECT_TRUE(written(SimLine::A, 3) == damaged) << "the same chunk again, undamaged";
}

// Without a reply time-out the sender waits for ever for the lost answer and
// the line stalls; with one it asks again and the file arrives.
void SimTest::loseAReply(bool verify) {
  line.drop(SimLine::B, 2);  // the answer to the first data packet
  Receiver receiver(line, receiverUi, target.str(), verify);
  Sender sender(line, senderUi, verify);
  sender.start({paths[2]});
  const auto until = std::chrono::steady_clock::now() + kGuard;
  bool stalled = false;
  while (!sender.finished && !(stalled = line.waitStalled(10ms)) && std::chrono::steady_clock::now() < until) {
  }
  ASSERT_TRUE(stalled || sender.finished);
  if (stalled) {
    std::printf("    the sender waits for the lost reply until stopped\n");
    EXPECT_EQ(line.writes(SimLine::A).size(), 3u) << "nothing after the packet whose answer was lost";
    sender.stop();
    receiver.stop();
    EXPECT_EQ(senderUi.reports().at(0).outcome, FileOutcome::Stopped);
  } else {
    std::printf("    the sender timed out and went on: the batch took %.0f ms\n",
                std::chrono::duration<double, std::milli>(sender.ended - sender.begun).count());
    sender.finish();
    receiver.stop();
    EXPECT_GT(line.writes(SimLine::A).size(), 6u) << "more than the file's own packets";
    EXPECT_TRUE(readFile(target / names[2]) == contents[2]);
  }
}

TEST_F(SimTest, ALostReplyLeavesTheClassicSenderWaitingForEver) {
  line.drop(SimLine::B, 2);
  Receiver receiver(line, receiverUi, target.str());
  ClassicSender sender(line.portName(SimLine::A));
  sender.start({paths[2]});
  ASSERT_TRUE(line.waitStalled(kGuard));
  EXPECT_EQ(sender.trace(), "FS/A FN/A FD");
  EXPECT_EQ(line.writes(SimLine::A).size(), 3u);
}

TEST_F(SimTest, ALostReplyInAClassicFile) { loseAReply(false); }
TEST_F(SimTest, ALostReplyInAVerifiedFile) { loseAReply(true); }

}  // namespace
}  // namespace zarvek::test
