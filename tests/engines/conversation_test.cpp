// The conversation when the line damages packets and replies, when a user
// stops either end, and when the line, the driver or the machine is not ideal:
// every file ends identical, or reported for what it is.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "line_fixture.h"
#include "protocol/packet.h"
#include "send/send_job.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct FaultCase {
  const char* what;
  size_t size;
  std::vector<uint64_t> spoiled;  // sender packets whose first payload byte gets a low bit flipped
  FaultPlan replies;              // on the receiver's replies
  FaultPlan::Pause gap;           // silence inside a packet, when milliseconds > 0
  const char* kinds;
  const char* answers;
  FileOutcome received;
  int32_t retryLimit = 4;
};

TEST(Conversation, DamagedPacketsAndRepliesEndIdenticalOrReported) {
  FaultPlan garbled, refusalLost;
  garbled.replaces.push_back({2, 'X'});
  refusalLost.replaces.push_back({2, 'A'});
  const FaultCase cases[] = {
      {"a refused chunk goes again once", 3000, {3}, {}, {}, "FS FN FD FD FD FD EF", "AAANAA", FileOutcome::Complete},
      {"the short last chunk goes again with its length", 3000, {4}, {}, {}, "FS FN FD FD FD FD EF", "AAAANA", FileOutcome::Complete},
      {"size and name repeat past the retry limit", 9, {0, 1, 2, 3, 4, 6, 7, 8, 9, 10}, {}, {},
       "FS FS FS FS FS FS FN FN FN FN FN FN FD EF", "NNNNNANNNNNAA", FileOutcome::Complete},
      {"any reply but N counts as A", 2500, {}, garbled, {}, "FS FN FD FD FD EF", "AAXAA", FileOutcome::Complete},
      {"an N garbled into A leaves a file reported incomplete", 2048, {2}, refusalLost, {}, "FS FN FD FD EF", "AAAA",
       FileOutcome::Incomplete},
      {"a packet cut by a gap is refused once its rest has passed", 5000, {}, {}, {3 * kPacketSize + 500, 80},
       "FS FN FD FD FD FD FD FD EF", "AAANAAAA", FileOutcome::Complete},
      {"refusals that are not in a row never reach the limit", 9000, {3, 6, 9, 12}, {}, {},
       "FS FN FD FD FD FD FD FD FD FD FD FD FD FD FD EF", "AAANAANAANAANAA", FileOutcome::Complete, 2},
  };
  // Classic, the conversation to the byte; verified, the same faults end with
  // every file identical and verified at both ends.
  for (const bool verify : {false, true}) {
    for (const FaultCase& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (verify ? ", verified" : ", classic"));
      Line line;  // a fresh cable and folders per case
      line.verify = verify;
      FaultPlan packets;
      for (uint64_t i : c.spoiled) packets.flips.push_back({i * kPacketSize + 4, 0});
      if (c.gap.milliseconds > 0) packets.pauses.push_back(c.gap);
      line.cable_.setFaults(Direction::AtoB, packets);
      line.cable_.setFaults(Direction::BtoA, c.replies);
      writeFile(line.source / "f.bin", randomBytes(c.size, 5));
      line.startReceiver();
      line.send({"f.bin"}, c.retryLimit);
      ASSERT_TRUE(line.received(1));
      const FileReport got = line.receiverUi.reports()[0], sent = line.senderUi.reports().at(0);
      if (verify) {
        EXPECT_TRUE(sent.outcome == FileOutcome::Complete && sent.verified && got.outcome == sent.outcome && got.verified);
      } else {
        EXPECT_EQ(line.kinds(), c.kinds);
        EXPECT_EQ(line.replies(), c.answers);
        int refusedChunks = 0;  // each "N" to an "FD" reaches the sender's user
        std::istringstream kinds(c.kinds);
        std::string kind;
        for (const char* a = c.answers; *a && kinds >> kind; ++a) refusedChunks += kind == "FD" && *a == 'N';
        EXPECT_EQ(line.senderUi.refused(), refusedChunks);
        EXPECT_EQ(got.outcome, c.received);
      }
      EXPECT_TRUE(got.outcome != FileOutcome::Complete || readFile(line.target / "f.bin") == readFile(line.source / "f.bin"));
    }
  }
}

TEST(Conversation, RetryLimitAbandonsThisAndEveryLaterFile) {
  Line line;
  for (auto name : {"f1.bin", "f2.bin", "f3.bin"}) writeFile(line.source / name, randomBytes(2000, 10));
  FaultPlan spoil;
  for (uint64_t i : {2, 3, 4, 5}) spoil.flips.push_back({i * kPacketSize + 4, 0});
  line.cable_.setFaults(Direction::AtoB, spoil);
  std::vector<Clock::time_point> dismissed;
  line.senderUi.onRetryLimit([&] {
    std::this_thread::sleep_for(30ms);  // the user reads it
    dismissed.push_back(Clock::now());
  });
  line.startReceiver();
  const SendBatchResult result = line.send({"f1.bin", "f2.bin", "f3.bin"}, 4);
  EXPECT_EQ(line.kinds(), "FS FN FD FD FD FD AF FS FN AF FS FN AF");
  ASSERT_EQ(dismissed.size(), 3u) << "the retry limit is told once per file";
  // Each "AF" follows its message by at least 100 ms.
  const auto p = line.packets();
  const size_t aborts[] = {6, 9, 12};
  for (size_t i = 0; i < 3; ++i) EXPECT_GE(p[aborts[i]].start - dismissed[i], 100ms) << "abort " << i;
  EXPECT_EQ(result.crcFailures, 4);
  EXPECT_EQ(line.senderUi.sounds(), 0);
  ASSERT_TRUE(line.received(3));
  for (const auto& r : line.receiverUi.reports()) EXPECT_EQ(r.outcome, FileOutcome::AbortedDeleted) << r.name;
  EXPECT_TRUE(fs::is_empty(line.target.path()));
}

// Wherever the user stops the sender, the file ends with "AF" (at least 100 ms
// after the packet before it) or, between files, nothing more is sent at all.
TEST(Stop, TheSendersFileEndsWithAnAbortAndNothingFollows) {
  const struct { const char* what; size_t size, stopAt; bool receiver; const char* kinds; } cases[] = {
      {"in the size wait, nobody answering: the name still goes", 5000, 1, false, "FS FN AF"},
      {"in a data wait, its answer lost: the receiver deletes", 5000, 4, true, "FS FN FD FD AF"},
      {"between files", 5, 0, true, "FS FN FD EF"},  // 0: as the first file's end is shown
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Line line;
    writeFile(line.source / "f1.bin", randomBytes(c.size, 11));
    writeFile(line.source / "f2.bin", "next");
    FaultPlan replies;
    replies.drops.push_back(3);  // the answer to a second data packet never comes
    line.cable_.setFaults(Direction::BtoA, replies);
    if (c.stopAt == 0) line.senderUi.onFileEnded([&](const FileReport&) { line.stopSend(); });
    if (c.receiver) line.startReceiver();
    line.startSend({"f1.bin", "f2.bin"});
    if (c.stopAt > 0) {
      ASSERT_TRUE(eventually([&] { return line.packets().size() == c.stopAt; }));
      std::this_thread::sleep_for(100ms);
      line.stopSend();
    }
    line.finishSend();
    ASSERT_EQ(line.kinds(), c.kinds);
    EXPECT_EQ(line.senderUi.sounds(), 0);
    const auto p = line.packets();
    const bool aborted = p.back().kind == "AF";
    if (aborted) {
      EXPECT_GE(p.back().start - p[p.size() - 2].start, 100ms);
    }
    if (!c.receiver) continue;
    ASSERT_TRUE(line.received(1));
    EXPECT_EQ(line.receiverUi.reports()[0].outcome, aborted ? FileOutcome::AbortedDeleted : FileOutcome::Complete);
    EXPECT_EQ(fs::exists(line.target / "f1.bin"), !aborted);
    EXPECT_FALSE(fs::exists(line.target / "f2.bin"));
  }
}

// A port whose far side goes away mid-file: the sender's reply read fails.
TEST(SenderPort, ReplyThatCannotBeReadEndsTheFileUnsentAndTheBatch) {
  TempDir source;
  writeFile(source / "cut.bin", randomBytes(5000, 5));
  writeFile(source / "later.bin", "never sent");
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  TransferJob job;
  job.portName = ::ttyname(slave);
  job.speed = 115200;
  job.crcRetryLimit = 4;
  job.files = {(source / "cut.bin").string(), (source / "later.bin").string()};
  job.running = 1;
  ::close(slave);
  RecordingUi ui;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    runSendJob(job, ui);
    done = true;
  });
  // The far end answers FS, FN and the first chunk, takes the second, and is gone.
  ssize_t got = 0;
  char buffer[kPacketSize];
  for (pollfd p{master, POLLIN, 0}; got < 4 * kPacketSize && ::poll(&p, 1, 10'000) > 0;) {
    const ssize_t n = ::read(master, buffer, static_cast<size_t>(kPacketSize - got % kPacketSize));
    if (n <= 0 || (got += n) % kPacketSize != 0 || got == 4 * kPacketSize) continue;
    EXPECT_EQ(::write(master, "A", 1), 1);
  }
  EXPECT_EQ(got, 4 * kPacketSize);
  ::close(master);
  if (!eventually([&] { return done.load(); }, 10s)) job.running = 0;  // a sender waiting for ever is stopped, and fails below
  sender.join();
  ASSERT_EQ(ui.reports().size(), 1u) << "the batch ends with the file whose reply could not be read";
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::LineFailed);
  EXPECT_EQ(ui.reports()[0].problem, FileProblem::PortFailed);
  EXPECT_FALSE(ui.reports()[0].failure) << "the report names the read that failed";
  EXPECT_EQ(ui.reports()[0].written, 1024u);
  EXPECT_EQ(ui.sounds(), 0);
}

}  // namespace
}  // namespace zarvek::test
