#include <gtest/gtest.h>

#include <filesystem>

#include "line_fixture.h"
#include "protocol/packet.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;

class Transfer : public LineTest {};

TEST_F(Transfer, FilesOfEverySizeArriveIdentical) {
  const std::vector<size_t> sizes = {0, 1, 1023, 1024, 1025, 2048, 3000, 5u << 20};
  std::vector<std::string> names;
  for (size_t i = 0; i < sizes.size(); ++i) {
    names.push_back("file" + std::to_string(sizes[i]) + ".bin");
    writeFile(source / names.back(), randomBytes(sizes[i], static_cast<uint32_t>(i + 7)));
  }
  startReceiver();
  const SendBatchResult result = send(names);
  EXPECT_EQ(result.crcFailures, 0);
  EXPECT_EQ(result.filesSkipped, 0);
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == names.size(); }));
  for (const auto& name : names) {
    ASSERT_TRUE(fs::exists(target / name)) << name;
    EXPECT_TRUE(readFile(source / name) == readFile(target / name)) << name << " differs";
  }
  for (const auto& r : receiverUi.reports()) EXPECT_EQ(r.outcome, FileOutcome::Complete) << r.name;

  // The line carries exactly FS, FN, one FD per chunk and EF for each file.
  std::string expected;
  for (size_t size : sizes) {
    expected += std::string(expected.empty() ? "" : " ") + "FS FN";
    for (size_t chunks = (size + 1023) / 1024; chunks > 0; --chunks) expected += " FD";
    expected += " EF";
  }
  EXPECT_EQ(kinds(), expected);
  // Every packet but "EF" is answered with exactly one "A".
  const size_t answered = static_cast<size_t>(std::count(expected.begin(), expected.end(), ' ') + 1) - sizes.size();
  EXPECT_EQ(replies(), std::vector<uint8_t>(answered, 'A'));
}

TEST_F(Transfer, PacketsOnTheLineByteForByte) {
  const std::string content = randomBytes(3000, 3);
  writeFile(source / "three.bin", content);
  startReceiver();
  send({"three.bin"});
  const auto p = packets();
  ASSERT_EQ(kinds(), "FS FN FD FD FD EF");
  EXPECT_EQ(std::vector<uint8_t>(p[0].bytes.begin() + 4, p[0].bytes.begin() + 8), (std::vector<uint8_t>{0, 0, 0x0B, 0xB8}));
  EXPECT_EQ(p[1].bytes[3], 9);
  EXPECT_EQ(std::string(p[1].bytes.begin() + 4, p[1].bytes.begin() + 13), "three.bin");
  const int32_t lengths[] = {1024, 1024, 952};
  for (int i = 0; i < 3; ++i) {
    const auto& fd = p[2 + i].bytes;
    EXPECT_EQ(payloadLength(fd.data()), lengths[i]);
    EXPECT_TRUE(checkCrc(fd.data(), lengths[i]));
    EXPECT_EQ(std::string(fd.begin() + 4, fd.begin() + 4 + lengths[i]), content.substr(static_cast<size_t>(i) * 1024, static_cast<size_t>(lengths[i])));
  }
  // "EF" repeats the previous packet from offset 2 on, stale checksum included.
  EXPECT_TRUE(std::equal(p[5].bytes.begin() + 2, p[5].bytes.end(), p[4].bytes.begin() + 2));
  // The bar: range 0..2, three steps.
  EXPECT_EQ(senderUi.progressRanges(), std::vector<uint32_t>{2});
  EXPECT_EQ(senderUi.progressSteps(), 3);
}

TEST_F(Transfer, BatchOfThreeShowsEachNameAndCompletes) {
  for (auto name : {"one.txt", "two.txt", "three.txt"}) writeFile(source / name, randomBytes(1500, 9));
  startReceiver();
  const SendBatchResult result = send({"one.txt", "two.txt", "three.txt"});
  ASSERT_TRUE(eventually([&] { return receiverUi.reports().size() == 3; }));
  // The receiver's status field: each name, emptied when its cycle ends.
  std::vector<std::string> status = receiverUi.statusTexts();
  ASSERT_GE(status.size(), 6u);
  status.resize(6);
  EXPECT_EQ(status, (std::vector<std::string>{"one.txt", "", "two.txt", "", "three.txt", ""}));
  // The sender's: each full path in turn.
  const auto shown = senderUi.statusTexts();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(fs::path(shown[2]).filename(), "three.txt");
  EXPECT_EQ(fs::path(shown[2]).parent_path(), source.path());
  // The sound is requested after the sender is gone, for a full batch only.
  playCompletionSound(*sendJob, result, senderUi);
  EXPECT_EQ(senderUi.sounds(), 1);
  // The receiver waits on for the next batch.
  writeFile(source / "four.txt", "4");
  send({"four.txt"});
  EXPECT_TRUE(eventually([&] { return fs::exists(target / "four.txt"); }));
}

TEST_F(Transfer, FileThatCannotBeSentIsSkippedAndTheBatchGoesOn) {
  writeFile(source / "ok.txt", "fine");
  const std::string longName(120, 'n');
  writeFile(source / longName, "too long a name");
  startReceiver();
  const SendBatchResult result = send({"missing.txt", longName, "ok.txt"});
  EXPECT_EQ(result.filesSkipped, 2);
  EXPECT_EQ(kinds(), "FS FN FD EF") << "nothing of a skipped file is sent";
  const auto messages = senderUi.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].text.find("missing.txt"), std::string::npos);
  EXPECT_NE(messages[1].text.find("longer than 99"), std::string::npos);
  EXPECT_TRUE(eventually([&] { return fs::exists(target / "ok.txt"); }));
  playCompletionSound(*sendJob, result, senderUi);
  EXPECT_EQ(senderUi.sounds(), 0) << "a batch with a skipped file is not complete";
}

}  // namespace
}  // namespace zarvek::test
