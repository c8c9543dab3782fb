// Our engines against the classic program on the other end of a cable paced at
// 115200 bit/s, both directions, on a clean line and with the noise a far end
// makes when it opens its port: before the first packet, between two files and
// right after an end of file. Our engine is always on its usual end (sender on A,
// receiver on B). With ZARVEK_CPU_LOAD=N, N processes keep the cores busy meanwhile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "classic_batch.h"
#include "engines/line_fixture.h"
#include "harness/process.h"
#include "support/classic_peer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

// Busy processes for the whole run, when asked for: the load the transfer
// tables must pass under.
class CpuLoad : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* n = std::getenv("ZARVEK_CPU_LOAD");
    for (int i = 0; n && i < std::atoi(n); ++i)
      busy_.push_back(std::make_unique<harness::Process>(std::vector<std::string>{"/bin/sh", "-c", "while :; do :; done"}));
  }
  void TearDown() override { busy_.clear(); }

 private:
  std::vector<std::unique_ptr<harness::Process>> busy_;
};
const auto* const load = ::testing::AddGlobalTestEnvironment(new CpuLoad);

struct NoiseCase {
  const char* what;
  int beforeFirstMs;     // a noise byte this long before the sender starts, or -1
  bool afterEnds;        // a noise byte 1 ms after the first file's "EF" and 25 ms after the second's
  std::span<const size_t> sizes;
  bool usbAndUart = false;  // bytes handed over in UART batches, replies 1-16 ms late
};

constexpr size_t kFew[] = {3000, 0, 1025};
const NoiseCase kCases[] = {
    {"a clean line", -1, false, kClassicSizes},
    {"noise 30 ms before the first packet", 30, false, kFew},
    {"noise 200 ms before the first packet", 200, false, kFew},
    {"noise right after an end of file and between files", -1, true, kFew},
    {"a UART's batches and a USB adapter's late replies", -1, false, kFew, true},
};

struct ClassicRun {
  explicit ClassicRun(const NoiseCase& c) : line(config(c)), batch(writeClassicBatch(line.source.path(), c.sizes)) {
    line.verify = true;  // as the programs run: the classic end declines
  }
  void noiseBefore(const NoiseCase& c) {
    if (c.beforeFirstMs < 0) return;
    line.cable_.injectNoise(Direction::AtoB, 0xF0);  // the sending end, as it powers up
    std::this_thread::sleep_for(std::chrono::milliseconds(c.beforeFirstMs));
  }
  static CableConfig config(const NoiseCase& c) {
    CableConfig config{115200, {}, {}, true, c.usbAndUart};
    if (c.afterEnds) config.aToB = noiseAfterEnds(c.sizes);
    if (c.usbAndUart) config.bToA.latencyMinMs = 1, config.bToA.latencyMaxMs = 16;
    return config;
  }
  Line line;
  std::vector<fs::path> batch;
};

TEST(ClassicPeer, OurSenderToTheClassicReceiver) {
  for (const NoiseCase& c : kCases) {
    SCOPED_TRACE(c.what);
    ClassicRun run(c);
    // On a clean line the classic receiver gets a wide read gap: a relay held up
    // on a loaded machine would cut its packets, and the line's own clock is
    // checked below instead. Noise needs the real gap to stand apart.
    const bool clean = c.beforeFirstMs < 0 && !c.afterEnds && !c.usbAndUart;
    ClassicReceiver classic(run.line.cable_.endB(), run.line.target.path(), clean ? 500ms : kClassicReadGap);
    run.noiseBefore(c);
    std::vector<std::string> names;
    for (const auto& path : run.batch) names.push_back(path.filename().string());
    EXPECT_TRUE(run.line.send(names).clean());
    EXPECT_TRUE(classicEnded(classic, run.batch.size()));
    classic.stop();
    expectBatchArrived(run.batch, run.line.target.path(), classic, run.line.cable_, Direction::BtoA);
    for (const auto& r : run.line.senderUi.reports()) {
      EXPECT_TRUE(r.outcome == FileOutcome::Complete && !r.verified) << r.name << ": a classic file, sent whole";
    }
    // That the classic receiver reads our offers as the classic conversation and
    // nothing more is the single-fault table's clean run, to the letter.
    if (!clean) continue;
    expectNoPauseInsidePackets(run.line.cable_, Direction::AtoB);
    const auto p = run.line.packets();  // after an end of file: its line time, then 50 ms
    for (size_t i = 1; i < p.size(); ++i) EXPECT_TRUE(p[i - 1].kind != "EF" || p[i].start - p[i - 1].start >= 130ms) << i;
  }
}

TEST(ClassicPeer, TheClassicSenderToOurReceiver) {
  for (const NoiseCase& c : kCases) {
    SCOPED_TRACE(c.what);
    ClassicRun run(c);
    run.line.startReceiver();
    ClassicSender classic(run.line.cable_.endA());
    run.noiseBefore(c);
    classic.start(run.batch);
    // The classic sender waits for ever for a missing reply; the guard stops it.
    ASSERT_TRUE(classic.finish(120s)) << "the classic sender was still waiting"
                                      << classicEvidence(run.line.cable_, Direction::BtoA, classic);
    EXPECT_TRUE(run.line.received(run.batch.size()));
    run.line.stopReceiver();
    expectBatchArrived(run.batch, run.line.target.path(), classic, run.line.cable_, Direction::BtoA);
    for (const auto& r : run.line.receiverUi.reports()) EXPECT_TRUE(r.outcome == FileOutcome::Complete && !r.verified);
    expectOneReplyPerAnsweredPacket(run.line.cable_, Direction::BtoA, classic);
  }
}

}  // namespace
}  // namespace zarvek::test
