// The Windows console build under Wine against the classic program, both
// directions, over a cable paced at 115200 bit/s, with a far end's noise before
// the first packet, right after an end of file and between two files. Wine's
// COM1 is cable end A; the classic peer runs in this process on end B.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "classic_batch.h"
#include "harness/process.h"
#include "support/classic_peer.h"
#include "support/wine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

class ClassicWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!requireOrSkipWine(exe_)) GTEST_SKIP() << exe_ << " is not built";
    harness::pointComPort(1, cable_.endA());
    batch_ = writeClassicBatch(outbox.path());
  }

  const std::string exe_ = harness::windowsExe("cli/zarvek.exe");
  Cable cable_{CableConfig{115200, {}, {}, true}};
  TempDir outbox;
  TempDir inbox;
  std::vector<fs::path> batch_;
};

TEST_F(ClassicWine, WindowsSendsToClassic) {
  cable_.setFaults(Direction::AtoB, noiseAfterEnds(kClassicSizes));
  ClassicReceiver classic(cable_.endB(), inbox.path());  // the real 20 ms gap: noise must stand apart
  std::vector<std::string> args = {"send", "--port", "COM1", "--speed", "115200"};
  for (const auto& file : batch_) args.push_back(harness::windowsPath(file.string()));
  const harness::Outcome sender = harness::run(harness::wineCommand(exe_, args), {}, 240s);
  EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
  EXPECT_TRUE(classicEnded(classic, batch_.size()));
  classic.stop();
  expectBatchArrived(batch_, inbox.path(), classic, cable_, Direction::BtoA);
}

TEST_F(ClassicWine, ClassicSendsToWindows) {
  cable_.setFaults(Direction::BtoA, noiseAfterEnds(kClassicSizes));
  harness::Process receiver(harness::wineCommand(exe_, {"receive", "--port", "COM1", "--speed", "115200", "--dir",
                                                        harness::windowsPath(inbox.str()), "--files",
                                                        std::to_string(batch_.size())}));
  // Wine may need a while to start; the banner comes once the port is set up.
  ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
  std::this_thread::sleep_for(500ms);

  ClassicSender classic(cable_.endB());
  cable_.injectNoise(Direction::BtoA, 0xF0);  // the sending end, as it opens its port
  std::this_thread::sleep_for(100ms);
  classic.start(batch_);
  const bool ended = classic.finish(180s);
  EXPECT_TRUE(ended) << "the classic sender was still waiting" << classicEvidence(cable_, Direction::AtoB, classic);
  EXPECT_EQ(receiver.wait(ended ? 60s : 1s), 0) << receiver.out() << receiver.err();
  expectBatchArrived(batch_, inbox.path(), classic, cable_, Direction::AtoB);
  expectOneReplyPerAnsweredPacket(cable_, Direction::AtoB, classic);
}

}  // namespace
}  // namespace zarvek::test
