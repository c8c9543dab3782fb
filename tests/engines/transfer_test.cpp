// Files over the virtual cable between our two engines, as the programs run
// them: what arrives, what the line carries byte for byte, what each side shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "harness/cable_end.h"
#include "line_fixture.h"
#include "protocol/packet.h"
#include "protocol/streamed.h"
#include "protocol/verified.h"
#include "support/clean_run.h"

namespace zarvek::test {
namespace {

// Classic, verified and streamed: the same packets, one per chunk; classic ends
// answer every packet but "EF" with "A"; verified ends answer the offer and the
// request "V", each chunk with the code that names its index, the end with
// "matches"; streamed ends answer the request kReplyStream, each chunk with an
// acknowledgement frame naming the next, the end with a "matches" frame.
// What real lines and machines do costs nothing, no packet sent twice: a stray
// byte waiting at the sender, and each next "FS" coming while the receiver still
// shows the last file's end.
TEST(ClassicAndVerified, FilesOfEverySizeArriveIdenticalWithOnePacketPerChunk) {
  const std::vector<size_t> sizes = {0, 1, 1023, 1024, 1025, 2048, 3000, 100000, 5u << 20};
  for (const int mode : {0, 1, 2}) {
    const bool verify = mode > 0, stream = mode == 2;
    SCOPED_TRACE(stream ? "streamed" : verify ? "verified" : "classic");
    Line line;
    line.verify = verify;
    line.stream = stream;
    uint32_t tag = 0;  // each file's, drawn at random: read from its request
    harness::CableEnd(line.cable_.endB()).write("N");  // a late answer from an earlier conversation
    line.receiverUi.slowDown(std::chrono::milliseconds(150));  // longer than the sender's pause after "EF"
    std::vector<std::string> names;
    std::string kinds, answers = "N";
    for (size_t i = 0; i < sizes.size(); ++i) {
      names.push_back("file" + std::to_string(sizes[i]) + ".bin");
      writeFile(line.source / names.back(), randomBytes(sizes[i], static_cast<uint32_t>(i + 7)));
      const size_t chunks = (sizes[i] + 1023) / 1024;
      kinds += std::string(kinds.empty() ? "" : " ") + "FS FN";
      for (size_t n = 0; n < chunks; ++n) kinds += " FD";
      kinds += " EF";
      answers += stream ? "V\x78" : verify ? "VV" : "AA";
      // What it holds of the file: nothing, and so no CRC.
      if (verify) answers += std::string(kStreamFrameSize, 'h') + std::string(kStreamFrameSize, 'c');
      for (size_t n = 0; n < chunks; ++n) {
        answers += stream ? std::string(kStreamFrameSize, '+') : std::string(1, verify ? char(encodeAnswer(Answer::Taken, uint32_t(n))) : 'A');
      }
      answers += stream ? std::string(kStreamFrameSize, '=') : verify ? "?" : "";  // the verdict's id is the tag's
    }
    line.startReceiver();
    EXPECT_TRUE(line.send(names).clean());
    EXPECT_EQ(line.senderUi.sounds(), 1) << "a whole batch ends with the completion sound";
    ASSERT_TRUE(line.received(names.size()));
    for (const auto& name : names) EXPECT_TRUE(readFile(line.source / name) == readFile(line.target / name)) << name;
    // Both ends count each file up in bytes, one step per chunk, and nothing goes wrong.
    std::vector<std::pair<uint64_t, uint64_t>> steps;
    for (const size_t size : sizes) {
      for (size_t done = 1024; done < size + 1024; done += 1024) steps.emplace_back(std::min(done, size), size);
    }
    for (const auto* ui : {&line.senderUi, &line.receiverUi}) {
      for (const auto& r : ui->reports()) {
        EXPECT_TRUE(r.outcome == FileOutcome::Complete && r.verified == verify && r.streamed == stream) << r.name;
      }
      EXPECT_TRUE(ui->sizesBegun() == std::vector<uint64_t>(sizes.begin(), sizes.end()));
      EXPECT_TRUE(ui->progressed() == steps);
      EXPECT_TRUE(saidNothingWrong(*ui));
    }
    EXPECT_EQ(line.kinds(), kinds);
    // A classic "EF" repeats the previous packet from offset 2 on, stale checksum included.
    const auto p = line.packets();
    for (size_t i = 1; i < p.size() && !verify; ++i) {
      EXPECT_TRUE(p[i].kind != "EF" || std::equal(p[i].bytes.begin() + 2, p[i].bytes.end(), p[i - 1].bytes.begin() + 2)) << i;
    }
    std::string replies = line.replies();
    ASSERT_EQ(replies.size(), answers.size());
    // Frames: one acknowledgement per chunk, naming the chunk after it, then
    // the verdict, all sealed with the file's tag.
    std::vector<uint32_t> tags;
    for (const LinePacket& packet : p) {
      if (packet.kind == "FN" && readRequest(packet.bytes.data())) tags.push_back(readRequest(packet.bytes.data())->tag);
    }
    for (size_t i = 0, file = 0; i < answers.size(); ++i) {
      if (answers[i] != 'h' && answers[i] != 'c') continue;
      if (answers[i] == 'h') tag = tags.at(file++);
      const std::optional<StreamFrame> frame = readStreamFrame(reinterpret_cast<const uint8_t*>(replies.data() + i), tag);
      const auto kind = answers[i] == 'h' ? StreamFrameKind::Held : StreamFrameKind::HeldCrc;
      EXPECT_TRUE(frame && frame->kind == kind && frame->index == 0) << i;
      std::fill(replies.begin() + static_cast<std::ptrdiff_t>(i), replies.begin() + static_cast<std::ptrdiff_t>(i + kStreamFrameSize), answers[i]);
      i += kStreamFrameSize - 1;
    }
    for (size_t i = 0, chunk = 0, file = 0; i < answers.size() && stream; ++i) {
      if (answers[i] == 'V') chunk = 0, tag = tags.at(file++);
      if (answers[i] == '+' || answers[i] == '=') {
        const auto* at = reinterpret_cast<const uint8_t*>(replies.data() + i);
        const std::optional<StreamFrame> frame = readStreamFrame(at, tag);
        const auto kind = answers[i] == '+' ? StreamFrameKind::Ack : StreamFrameKind::Matches;
        EXPECT_TRUE(frame && frame->kind == kind && (answers[i] == '=' || frame->index == ++chunk)) << i;
        std::fill(replies.begin() + static_cast<std::ptrdiff_t>(i), replies.begin() + static_cast<std::ptrdiff_t>(i + kStreamFrameSize), answers[i]);
        i += kStreamFrameSize - 1;
      }
    }
    for (size_t i = 0; i < answers.size(); ++i) {
      if (answers[i] != '?') continue;
      const auto verdict = decodeAnswer(static_cast<uint8_t>(replies[i]));
      EXPECT_TRUE(verdict && verdict->answer == Answer::Matches) << i;
      replies[i] = '?';
    }
    EXPECT_EQ(replies, answers);
  }
}

TEST(Transfer, EachSideShowsEachFileInTurnAndSkipsWhatCannotBeSent) {
  Line line;
  for (auto name : {"one.txt", "three.txt"}) writeFile(line.source / name, randomBytes(1500, 9));
  const std::string longName(120, 'n');
  writeFile(line.source / longName, "too long a name");
  line.startReceiver();
  const SendBatchResult result = line.send({"one.txt", "missing.txt", longName, "three.txt"});
  EXPECT_EQ(result.filesSkipped, 2);
  EXPECT_EQ(line.kinds(), "FS FN FD FD EF FS FN FD FD EF") << "nothing of a skipped file is sent";
  const auto reports = line.senderUi.reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[1].problem, FileProblem::CannotOpen);
  EXPECT_EQ(reports[1].failure.code(), static_cast<unsigned long>(ENOENT));
  EXPECT_EQ(reports[2].problem, FileProblem::NameTooLong);
  EXPECT_EQ(line.senderUi.sounds(), 0) << "a batch with a skipped file is not complete";
  ASSERT_TRUE(line.received(2));
  // The receiver names each file, then is between files until the next begins.
  const auto events = line.receiverUi.events();
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 6),
            (std::vector<std::string>{"begin one.txt", "end one.txt", "between", "begin three.txt", "end three.txt", "between"}));
  EXPECT_EQ(line.senderUi.events().front(), "begin " + (line.source / "one.txt").string()) << "the sender shows full paths";
}

}  // namespace
}  // namespace zarvek::test
