// The receiver's dispatch driven packet by packet, as its loop does after each
// read, where the loop tests cannot reach: a name the window refuses, a new cycle
// after a failed read. Files made and filled, damaged packets, unknown kinds and
// what a hostile sender cannot do are in tests/engines and tests/reliability,
// through the whole receive loop.
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
  PacketResult dispatch() { return receiver.dispatch().result; }
  void size(uint32_t n) { buildSize(receiver.packet(), n); dispatch(); }
  PacketResult name(const std::string& n) {
    buildName(receiver.packet(), n.data(), static_cast<uint8_t>(n.size()));
    return dispatch();
  }
  void data(const std::string& b) {
    buildData(receiver.packet(), reinterpret_cast<const uint8_t*>(b.data()), static_cast<int32_t>(b.size()));
    dispatch();
  }
  FileOutcome lastOutcome() const { return ui.reports().empty() ? FileOutcome::Skipped : ui.reports().back().outcome; }

  TempDir sandbox;  // holds only the receive folder, so a write beside it shows
  RecordingUi ui;
  FileReceiver receiver{ui};
};

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
  buildEndOfFile(receiver.packet());
  dispatch();
  EXPECT_EQ(readFile(folder() / "j.bin"), "jjj");
  EXPECT_EQ(readFile(folder() / "i.bin"), std::string(1024, 'i') + std::string(1024, '\0'));
}

}  // namespace
}  // namespace zarvek::test
