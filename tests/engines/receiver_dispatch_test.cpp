#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

namespace fs = std::filesystem;

// Drives a receiver's dispatch directly, packet by packet, as the receive loop
// would after each read.
class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder());
    receiver.attachStatusField(ui);
    receiver.beginFile(folder().string().c_str());
  }
  fs::path folder() const { return sandbox / "in"; }

  PacketResult size(uint32_t n) {
    buildSize(receiver.packet(), n);
    return receiver.dispatch();
  }
  PacketResult name(const std::string& n) {
    buildName(receiver.packet(), n.data(), static_cast<uint8_t>(n.size()));
    return receiver.dispatch();
  }
  PacketResult data(const std::string& bytes) {
    buildData(receiver.packet(), reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    return receiver.dispatch();
  }
  PacketResult kind(char a, char b) {
    receiver.packet()[0] = static_cast<uint8_t>(a);
    receiver.packet()[1] = static_cast<uint8_t>(b);
    return receiver.dispatch();
  }
  size_t entries(const fs::path& dir) const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }

  test::TempDir sandbox;  // holds only the receive folder, so writes beside it show
  test::RecordingUi ui;
  FileReceiver receiver;
};

TEST_F(Dispatch, WholeFileArrives) {
  const std::string content = test::randomBytes(3000, 1);
  EXPECT_EQ(size(3000), PacketResult::Accepted);
  EXPECT_EQ(name("a.txt"), PacketResult::Accepted);
  EXPECT_EQ(fs::file_size(folder() / "a.txt"), 3000u) << "created at full size by the name step";
  EXPECT_EQ(data(content.substr(0, 1024)), PacketResult::Accepted);
  EXPECT_EQ(data(content.substr(1024, 1024)), PacketResult::Accepted);
  EXPECT_EQ(data(content.substr(2048)), PacketResult::Accepted);
  EXPECT_EQ(receiver.writeCount(), 3000);
  EXPECT_EQ(kind('E', 'F'), PacketResult::FileEnded);
  EXPECT_EQ(receiver.writeCount(), 0);
  EXPECT_EQ(receiver.target(), nullptr);
  EXPECT_EQ(test::readFile(folder() / "a.txt"), content);
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::Complete);
  EXPECT_EQ(ui.statusTexts().front(), "a.txt");
}

TEST_F(Dispatch, ChecksumFailureChangesNothing) {
  size(100);
  name("b.bin");
  buildData(receiver.packet(), reinterpret_cast<const uint8_t*>("hello"), 5);
  receiver.packet()[offset::crcLow] ^= 1;
  EXPECT_EQ(receiver.dispatch(), PacketResult::CrcFailed);
  EXPECT_EQ(receiver.writeCount(), 0);
  // A length field no payload can have is a checksum failure too.
  receiver.packet()[offset::lengthHigh] = 0x05;
  EXPECT_EQ(receiver.dispatch(), PacketResult::CrcFailed);
  kind('E', 'F');  // the file is held exclusively until it ends
  EXPECT_EQ(test::readFile(folder() / "b.bin"), std::string(100, '\0'));
}

TEST_F(Dispatch, KindsWithoutMeaningAreAcceptedAndIgnored) {
  size(10);
  for (auto [a, b] : {std::pair{'F', 'X'}, {'E', 'Z'}, {'A', 'X'}, {'Z', 'Z'}, {'f', 's'}}) {
    EXPECT_EQ(kind(a, b), PacketResult::Accepted) << a << b;
  }
  EXPECT_EQ(receiver.target()->size(), 10u);
  EXPECT_EQ(entries(folder()), 0u);
}

TEST_F(Dispatch, AbortDeletesThePartialFile) {
  size(2048);
  name("c.bin");
  data(std::string(1024, 'x'));
  EXPECT_EQ(kind('A', 'F'), PacketResult::FileEnded);
  EXPECT_FALSE(fs::exists(folder() / "c.bin"));
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::AbortedDeleted);
}

TEST_F(Dispatch, EndOfTransferReleasesTheFileAndLaterPacketsTouchNothing) {
  size(5);
  name("d.txt");
  data("12345");
  EXPECT_EQ(kind('E', 'T'), PacketResult::TransferEnded);
  EXPECT_EQ(receiver.target(), nullptr);
  EXPECT_EQ(size(7), PacketResult::Failed);
  EXPECT_EQ(name("e.txt"), PacketResult::Failed);
  EXPECT_EQ(data("abc"), PacketResult::Failed);
  EXPECT_EQ(kind('A', 'F'), PacketResult::FileEnded);
  EXPECT_EQ(test::readFile(folder() / "d.txt"), "12345");
  EXPECT_FALSE(fs::exists(folder() / "e.txt"));
}

TEST_F(Dispatch, HostilePacketsWriteNothingOutsideTheFile) {
  size(4);
  EXPECT_EQ(name("../escape"), PacketResult::Failed);
  EXPECT_EQ(data("abcd"), PacketResult::Failed) << "no view: written nowhere";
  EXPECT_EQ(entries(folder()), 0u);
  EXPECT_EQ(entries(sandbox.path()), 1u);
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::Refused);
  EXPECT_FALSE(ui.reports()[0].reason.empty());

  receiver.beginFile(folder().string().c_str());
  size(4);
  EXPECT_EQ(name("f.bin"), PacketResult::Accepted);
  EXPECT_EQ(name("g.bin"), PacketResult::Failed) << "a second name in one cycle";
  EXPECT_EQ(data("abc"), PacketResult::Accepted);
  EXPECT_EQ(data("de"), PacketResult::Failed) << "would end past the announced size";
  EXPECT_EQ(receiver.writeCount(), 3);
  kind('E', 'F');
  EXPECT_EQ(test::readFile(folder() / "f.bin"), std::string("abc\0", 4));
  EXPECT_FALSE(fs::exists(folder() / "g.bin"));
  EXPECT_EQ(entries(sandbox.path()), 1u);
}

TEST_F(Dispatch, EndWithMissingBytesIsReportedIncomplete) {
  size(2048);
  name("h.bin");
  data(std::string(1024, 'h'));
  kind('E', 'F');
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::Incomplete);
  EXPECT_EQ(ui.reports()[0].written, 1024u);
  EXPECT_EQ(ui.reports()[0].size, 2048u);
  EXPECT_EQ(fs::file_size(folder() / "h.bin"), 2048u) << "kept as received";
}

TEST_F(Dispatch, EmptyFileArrivesEmpty) {
  EXPECT_EQ(size(0), PacketResult::Failed);
  EXPECT_EQ(name("empty.txt"), PacketResult::Failed);
  EXPECT_EQ(kind('E', 'F'), PacketResult::FileEnded);
  ASSERT_TRUE(fs::exists(folder() / "empty.txt"));
  EXPECT_EQ(fs::file_size(folder() / "empty.txt"), 0u);
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::Complete);
}

TEST_F(Dispatch, NewCycleAfterAFailedReadKeepsTheOldFileAndStartsAtZero) {
  size(2048);
  name("i.bin");
  data(std::string(1024, 'i'));
  receiver.beginFile(folder().string().c_str());  // what the loop does after "Invalid Packet"
  ASSERT_EQ(ui.reports().size(), 1u);
  EXPECT_EQ(ui.reports()[0].outcome, FileOutcome::Kept);
  EXPECT_EQ(receiver.writeCount(), 0);
  size(3);
  name("j.bin");
  data("jjj");
  kind('E', 'F');
  EXPECT_EQ(test::readFile(folder() / "j.bin"), "jjj");
  EXPECT_EQ(test::readFile(folder() / "i.bin"), std::string(1024, 'i') + std::string(1024, '\0'));
}

}  // namespace
}  // namespace zarvek
