// The receiver's dispatch driven packet by packet, as its loop does after each
// read: what each kind does to the file. Damaged packets, unknown kinds and what
// a hostile sender cannot do are in tests/reliability/hostile_peer_test.cpp and
// tests/engines/conversation_test.cpp, through the whole receive loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder());
    receiver.beginFile(folder().string().c_str());
  }
  fs::path folder() const { return sandbox / "in"; }
  PacketResult size(uint32_t n) {
    buildSize(receiver.packet(), n);
    return receiver.dispatch().result;
  }
  PacketResult name(const std::string& n) {
    buildName(receiver.packet(), n.data(), static_cast<uint8_t>(n.size()));
    return receiver.dispatch().result;
  }
  PacketResult data(const std::string& bytes) {
    buildData(receiver.packet(), reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    return receiver.dispatch().result;
  }
  PacketResult kind(char a, char b) {
    receiver.packet()[0] = static_cast<uint8_t>(a);
    receiver.packet()[1] = static_cast<uint8_t>(b);
    return receiver.dispatch().result;
  }
  FileOutcome lastOutcome() const { return ui.reports().empty() ? FileOutcome::Skipped : ui.reports().back().outcome; }

  TempDir sandbox;  // holds only the receive folder, so a write beside it shows
  RecordingUi ui;
  FileReceiver receiver{ui};
};

TEST_F(Dispatch, AFileIsMadeAtFullSizeByItsNameAndFilledInPlace) {
  const std::string content = randomBytes(3000, 1);
  EXPECT_EQ(size(3000), PacketResult::Accepted);
  EXPECT_EQ(name("a.txt"), PacketResult::Accepted);
  EXPECT_EQ(fs::file_size(folder() / "a.txt"), 3000u);
  EXPECT_EQ(ui.events(), std::vector<std::string>{"begin a.txt"});
  for (size_t at = 0; at < 3000; at += 1024) EXPECT_EQ(data(content.substr(at, 1024)), PacketResult::Accepted);
  EXPECT_EQ(receiver.writeCount(), 3000);
  EXPECT_EQ(kind('E', 'F'), PacketResult::FileEnded);
  EXPECT_EQ(receiver.writeCount(), 0);
  EXPECT_EQ(readFile(folder() / "a.txt"), content);
  EXPECT_EQ(lastOutcome(), FileOutcome::Complete);
}

TEST_F(Dispatch, NameTheWindowCannotShowIsRefused) {
  ui.refuseNames(true);
  size(3);
  EXPECT_EQ(name("k.txt"), PacketResult::Failed);
  EXPECT_EQ(lastOutcome(), FileOutcome::Refused);
  EXPECT_FALSE(fs::exists(folder() / "k.txt"));
}

TEST_F(Dispatch, NewCycleAfterAFailedReadKeepsTheOldFileAndStartsAtZero) {
  size(2048);
  name("i.bin");
  data(std::string(1024, 'i'));
  receiver.beginFile(folder().string().c_str());  // what the loop does after "Invalid Packet"
  EXPECT_EQ(lastOutcome(), FileOutcome::Kept);
  EXPECT_EQ(receiver.writeCount(), 0);
  size(3);
  name("j.bin");
  data("jjj");
  kind('E', 'F');
  EXPECT_EQ(readFile(folder() / "j.bin"), "jjj");
  EXPECT_EQ(readFile(folder() / "i.bin"), std::string(1024, 'i') + std::string(1024, '\0'));
}

}  // namespace
}  // namespace zarvek::test
