#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "line_fixture.h"
#include "protocol/packet.h"
#include "serial/serial_port.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A flip of the low bit of payload byte 0 of the sender's i-th packet: a change
// the checksum always sees (it ignores high nibbles).
FaultPlan::Flip spoil(uint64_t packet) { return {packet * kPacketSize + 4, 0}; }

class Conversation : public LineTest {
 protected:
  void spoilPackets(std::initializer_list<uint64_t> indexes) {
    FaultPlan plan;
    for (uint64_t i : indexes) plan.flips.push_back(spoil(i));
    cable_.setFaults(Direction::AtoB, plan);
  }
};

TEST_F(Conversation, RefusedChunkGoesAgainOnceAndIsWrittenOnce) {
  const std::string content = randomBytes(3000, 5);
  writeFile(source / "a.bin", content);
  spoilPackets({3});  // the second data packet
  startReceiver();
  send({"a.bin"});
  EXPECT_EQ(kinds(), "FS FN FD FD FD FD EF");
  const auto p = packets();
  EXPECT_EQ(replies(), (std::vector<uint8_t>{'A', 'A', 'A', 'N', 'A', 'A'}));
  // Sent again unchanged: the same offset, length and bytes (compared past the spoiled byte).
  EXPECT_TRUE(std::equal(p[4].bytes.begin() + 5, p[4].bytes.end(), p[3].bytes.begin() + 5));
  EXPECT_EQ(senderUi.refusedChunks(), 1);
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  EXPECT_TRUE(readFile(target / "a.bin") == content);
}

TEST_F(Conversation, RefusedLastShortChunkGoesAgainWithItsLength) {
  const std::string content = randomBytes(3000, 6);
  writeFile(source / "b.bin", content);
  spoilPackets({4});
  startReceiver();
  send({"b.bin"});
  EXPECT_EQ(kinds(), "FS FN FD FD FD FD EF");
  const auto p = packets();
  EXPECT_EQ(payloadLength(p[5].bytes.data()), 952);
  EXPECT_TRUE(std::equal(p[5].bytes.begin() + 5, p[5].bytes.end(), p[4].bytes.begin() + 5));
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  EXPECT_TRUE(readFile(target / "b.bin") == content);
}

TEST_F(Conversation, PacketCutShortByAGapIsRefusedAndItsRestNeverTakenForAPacket) {
  const std::string content = randomBytes(5000, 7);
  writeFile(source / "gap.bin", content);
  FaultPlan plan;
  plan.pauses.push_back({3 * kPacketSize + 500, 80});  // the line falls silent inside the second data packet
  cable_.setFaults(Direction::AtoB, plan);
  startReceiver();
  send({"gap.bin"});
  EXPECT_EQ(kinds(), "FS FN FD FD FD FD FD FD EF");
  EXPECT_EQ(replies(), (std::vector<uint8_t>{'A', 'A', 'A', 'N', 'A', 'A', 'A', 'A'}));
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Complete);
  EXPECT_TRUE(readFile(target / "gap.bin") == content);
}

TEST_F(Conversation, SizeAndNameAreRepeatedWithoutLimit) {
  writeFile(source / "c.txt", "some text");
  spoilPackets({0, 1, 2, 3, 4, 6, 7, 8, 9, 10});  // five refusals each, above the limit of 4
  startReceiver();
  send({"c.txt"}, 4);
  EXPECT_EQ(kinds(), "FS FS FS FS FS FS FN FN FN FN FN FN FD EF");
  ASSERT_TRUE(eventually([&] { return fs::exists(target / "c.txt") && receiverUi.reports().size() == 1; }));
  EXPECT_EQ(readFile(target / "c.txt"), "some text");
}

TEST_F(Conversation, GarbledReplyCountsAsAccepted) {
  const std::string content = randomBytes(2500, 8);
  writeFile(source / "d.bin", content);
  FaultPlan replies;
  replies.replaces.push_back({2, 'X'});  // the answer to the first data packet
  cable_.setFaults(Direction::BtoA, replies);
  startReceiver();
  send({"d.bin"});
  EXPECT_EQ(kinds(), "FS FN FD FD FD EF");
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  EXPECT_TRUE(readFile(target / "d.bin") == content);
}

TEST_F(Conversation, RefusalGarbledIntoAcceptanceLeavesAnIncompleteFileReported) {
  writeFile(source / "e.bin", randomBytes(2048, 9));
  spoilPackets({2});
  FaultPlan replies;
  replies.replaces.push_back({2, 'A'});  // its "N" arrives as "A"
  cable_.setFaults(Direction::BtoA, replies);
  startReceiver();
  send({"e.bin"});
  EXPECT_EQ(kinds(), "FS FN FD FD EF");
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  const FileReport r = receiverUi.reports()[0];
  EXPECT_EQ(r.outcome, FileOutcome::Incomplete);
  EXPECT_EQ(r.written, 1024u);
  EXPECT_EQ(r.size, 2048u);
}

TEST_F(Conversation, RetryLimitAbandonsThisAndEveryLaterFile) {
  for (auto name : {"f1.bin", "f2.bin", "f3.bin"}) writeFile(source / name, randomBytes(2000, 10));
  spoilPackets({2, 3, 4, 5});
  std::vector<Clock::time_point> dismissed;
  senderUi.onMessage([&](const RecordingUi::Message&) {
    std::this_thread::sleep_for(milliseconds(30));  // the user reads it
    dismissed.push_back(Clock::now());
  });
  startReceiver();
  const SendBatchResult result = send({"f1.bin", "f2.bin", "f3.bin"}, 4);
  EXPECT_EQ(kinds(), "FS FN FD FD FD FD AF FS FN AF FS FN AF");
  const auto messages = senderUi.messages();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& m : messages) {
    EXPECT_EQ(m.text, "Too Contiguous CRC Errors, Aborting Transmission");
    EXPECT_EQ(m.caption, "CRC Errors");
    EXPECT_EQ(m.icon, MessageIcon::Error);
  }
  // Each "AF" follows its message by at least 100 ms.
  const auto p = packets();
  const size_t aborts[] = {6, 9, 12};
  for (size_t i = 0; i < 3; ++i) EXPECT_GE(p[aborts[i]].start - dismissed[i], milliseconds(100)) << "abort " << i;
  EXPECT_EQ(result.crcFailures, 4);
  playCompletionSound(*sendJob, result, senderUi);
  EXPECT_EQ(senderUi.sounds(), 0);
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 3; }));
  for (const auto& r : receiverUi.reports()) EXPECT_EQ(r.outcome, FileOutcome::AbortedDeleted) << r.name;
  EXPECT_TRUE(fs::is_empty(target.path()));
}

TEST_F(Conversation, StopDuringTheSizeWaitSendsNameThenAbort) {
  writeFile(source / "g1.bin", "1");
  writeFile(source / "g2.bin", "2");
  // No receiver: the size packet is never answered.
  startSend({"g1.bin", "g2.bin"});
  ASSERT_TRUE(eventually([&] { return cable_.bytesIn(Direction::AtoB) >= static_cast<uint64_t>(kPacketSize); }));
  std::this_thread::sleep_for(milliseconds(50));
  sendJob->running = 0;
  const SendBatchResult result = finishSend();
  ASSERT_EQ(kinds(), "FS FN AF");
  const auto p = packets();
  EXPECT_GE(p[2].start - p[1].start, milliseconds(100));
  playCompletionSound(*sendJob, result, senderUi);
  EXPECT_EQ(senderUi.sounds(), 0);
}

TEST_F(Conversation, StopDuringADataWaitAbortsAndTheReceiverDeletes) {
  writeFile(source / "h1.bin", randomBytes(5000, 11));
  writeFile(source / "h2.bin", "next");
  FaultPlan replies;
  replies.drops.push_back(3);  // the answer to the second data packet never comes
  cable_.setFaults(Direction::BtoA, replies);
  startReceiver();
  startSend({"h1.bin", "h2.bin"});
  ASSERT_TRUE(eventually([&] { return packets().size() == 4; }));
  std::this_thread::sleep_for(milliseconds(100));
  sendJob->running = 0;
  finishSend();
  EXPECT_EQ(kinds(), "FS FN FD FD AF");
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 1; }));
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::AbortedDeleted);
  EXPECT_FALSE(fs::exists(target / "h1.bin"));
  EXPECT_FALSE(fs::exists(target / "h2.bin"));
}

// Clears the send job's flag as soon as the first file has gone: between files.
class StopAfterFirstFile : public RecordingUi {
 public:
  explicit StopAfterFirstFile(TransferJob& job) : job_(job) {}
  void fileEnded(const FileReport& report) override {
    RecordingUi::fileEnded(report);
    job_.running = 0;
  }

 private:
  TransferJob& job_;
};

TEST_F(Conversation, StopBetweenFilesSendsNothingMore) {
  writeFile(source / "i1.bin", "first");
  writeFile(source / "i2.bin", "second");
  startReceiver();
  StopAfterFirstFile ui(*sendJob);
  FileSender sender;
  ASSERT_TRUE(sender.openPort(cable_.endA().c_str()));
  sender.configurePort(115200);
  std::string selection = source.str() + '\0' + "i1.bin" + '\0' + "i2.bin" + '\0' + '\0';
  std::memcpy(sendJob->selection, selection.data(), selection.size());
  sendJob->nextName = static_cast<int32_t>(source.str().size() + 1);
  sendJob->crcRetryLimit = 4;
  sendJob->running = 1;
  runSendBatch(*sendJob, sender, ui);
  EXPECT_EQ(kinds(), "FS FN FD EF");
  ASSERT_TRUE(eventually([&] { return fs::exists(target / "i1.bin"); }));
  EXPECT_FALSE(fs::exists(target / "i2.bin"));
}

TEST_F(Conversation, ReceiverStoppedMidFileKeepsItAtFullSize) {
  writeFile(source / "j.bin", randomBytes(4096, 12));
  FaultPlan replies;
  replies.drops.push_back(3);
  cable_.setFaults(Direction::BtoA, replies);
  startReceiver();
  startSend({"j.bin"});
  ASSERT_TRUE(eventually([&] { return packets().size() == 4; }));
  stopReceiver();
  ASSERT_EQ(receiverUi.reports().size(), 1u);
  EXPECT_EQ(receiverUi.reports()[0].outcome, FileOutcome::Kept);
  EXPECT_EQ(fs::file_size(target / "j.bin"), 4096u);
  EXPECT_EQ(readFile(target / "j.bin").substr(2048), std::string(2048, '\0'));
  sendJob->running = 0;
  finishSend();
}

TEST_F(Conversation, EndOfTransferIsAnsweredAndTheCycleGoesOn) {
  startReceiver();
  SerialPort raw;
  ASSERT_TRUE(raw.open(cable_.endA().c_str(), PortRole::Sender));
  raw.configure(115200, PortRole::Sender);
  std::atomic<uint8_t> running{1};
  uint8_t frame[kPacketSize] = {'E', 'T'};
  raw.writePacket(frame);
  EXPECT_EQ(raw.waitReply(running), PacketResult::Accepted);
  // The cycle has no file now: a size is a failed step, still answered "A".
  buildSize(frame, 10);
  raw.writePacket(frame);
  EXPECT_EQ(raw.waitReply(running), PacketResult::Accepted);
  buildEndOfFile(frame);
  raw.writePacket(frame);
  raw.drainLine();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(replies(), (std::vector<uint8_t>{'A', 'A'})) << "no reply to EF";
}

}  // namespace
}  // namespace zarvek::test
