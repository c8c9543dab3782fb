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
  const size_t* sizes;
  size_t count;
  bool usbAndUart = false;  // bytes handed over in UART batches, replies 1-16 ms late
};

constexpr size_t kFew[] = {3000, 0, 1025};
const NoiseCase kCases[] = {
    {"a clean line", -1, false, kClassicSizes, std::size(kClassicSizes)},
    {"noise 30 ms before the first packet", 30, false, kFew, 3},
    {"noise 100 ms before the first packet", 100, false, kFew, 3},
    {"noise 200 ms before the first packet", 200, false, kFew, 3},
    {"noise right after an end of file and between files", -1, true, kFew, 3},
    {"a UART's batches and a USB adapter's late replies", -1, false, kFew, 3, true},
};

struct ClassicRun {
  explicit ClassicRun(const NoiseCase& c) : line(config(c)) {
    line.verify = true;  // as the programs run: the classic end declines
    for (size_t i = 0; i < c.count; ++i) {
      batch.push_back(line.source / ("file" + std::to_string(c.sizes[i]) + ".bin"));
      writeFile(batch.back(), randomBytes(c.sizes[i], static_cast<uint32_t>(i + 11)));
    }
  }
  void noiseBefore(const NoiseCase& c) {
    if (c.beforeFirstMs < 0) return;
    line.cable_.injectNoise(Direction::AtoB, 0xF0);  // the sending end, as it powers up
    std::this_thread::sleep_for(std::chrono::milliseconds(c.beforeFirstMs));
  }
  std::string evidence(const std::string& trace) const {
    return "\nreplies: " + lineBytes(line.cable_, Direction::BtoA) + "\nclassic: " + trace;
  }
  static CableConfig config(const NoiseCase& c) {
    CableConfig config{115200, {}, {}, true};
    if (c.afterEnds) config.aToB = noiseAfterEnds(c.sizes);
    config.uart = config.aToB.uart = config.bToA.uart = c.usbAndUart;
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
    ClassicReceiver classic(run.line.cable_.endB(), 115200, run.line.target.path(), clean ? 500ms : kClassicReadGap);
    run.noiseBefore(c);
    std::vector<std::string> names;
    for (const auto& path : run.batch) names.push_back(path.filename().string());
    const SendBatchResult result = run.line.send(names);
    EXPECT_TRUE(result.clean());
    // "EF" gets no reply: wait until the classic side has handled the last one.
    EXPECT_TRUE(run.line.eventually([&] {
      const auto files = classic.files();
      return files.size() == run.batch.size() && files.back().ending != ClassicEnding::Open;
    }, 10s));
    classic.stop();
    expectBatchArrived(run.batch, run.line.target.path(), classicRecords(classic.files()), run.evidence(classic.trace()));
    for (const auto& r : run.line.senderUi.reports()) {
      EXPECT_TRUE(r.outcome == FileOutcome::Complete && !r.verified) << r.name << ": a classic file, sent whole";
    }
    if (clean) expectNoPauseInsidePackets(run.line.cable_, Direction::AtoB);
  }
}

TEST(ClassicPeer, TheClassicSenderToOurReceiver) {
  for (const NoiseCase& c : kCases) {
    SCOPED_TRACE(c.what);
    ClassicRun run(c);
    run.line.startReceiver();
    ClassicSender classic(run.line.cable_.endA(), 115200, 4);
    run.noiseBefore(c);
    classic.start(run.batch);
    // The classic sender waits for ever for a missing reply; the guard stops it.
    ASSERT_TRUE(classic.finish(120s)) << "the classic sender was still waiting" << run.evidence(classic.trace());
    EXPECT_TRUE(run.line.received(run.batch.size()));
    run.line.stopReceiver();
    expectBatchArrived(run.batch, run.line.target.path(), classicRecords(classic.files()), run.evidence(classic.trace()));
    for (const auto& r : run.line.receiverUi.reports()) EXPECT_TRUE(r.outcome == FileOutcome::Complete && !r.verified);
    // The classic sender reads every byte that comes back as a reply: exactly
    // one per size, name and data packet, and none for the noise.
    EXPECT_EQ(lineBytes(run.line.cable_, Direction::BtoA).size(), answeredKinds(classic.sent()))
        << run.evidence(classic.trace());
  }
}

// With verified transfers on, a classic receiver sees what it saw without them:
// the same packets, in the same order, with the same payloads and checksums.
TEST(ClassicPeer, OfferingVerifiedTransfersChangesNothingAClassicReceiverReads) {
  std::vector<std::string> lines[2];
  for (const bool verify : {false, true}) {
    Line line{CableConfig{115200, {}, {}, true}};
    line.verify = verify;
    writeFile(line.source / "a.bin", randomBytes(2500, 3));
    writeFile(line.source / "b.bin", "short");
    ClassicReceiver classic(line.cable_.endB(), 115200, line.target.path());
    line.send({"a.bin", "b.bin"});
    line.eventually([&] { return classic.files().size() == 2 && classic.files().back().ending != ClassicEnding::Open; });
    classic.stop();
    const auto packets = line.packets();
    for (size_t i = 0; i < packets.size(); ++i) {
      const auto& b = packets[i].bytes;
      // What a classic receiver reads of each kind: the letters alone of an end,
      // else letters, length, covered payload and checksum.
      const int32_t covered = packets[i].kind == "FS" ? 4 : payloadLength(b.data());
      std::string seen(b.begin(), b.begin() + 2);
      if (packets[i].kind[0] == 'F') seen = std::string(b.begin(), b.begin() + 4 + covered) + std::string(b.end() - 2, b.end());
      lines[verify].push_back(seen);
      // The pause after an end of file: its line time and 50 ms before the next file.
      if (i > 0 && packets[i - 1].kind == "EF") {
        EXPECT_GE(packets[i].start - packets[i - 1].start, 130ms);
      }
    }
    lines[verify].push_back("replies " + lineBytes(line.cable_, Direction::BtoA));
    EXPECT_EQ(readFile(line.target / "a.bin"), readFile(line.source / "a.bin"));
  }
  EXPECT_EQ(lines[0], lines[1]);
}

}  // namespace
}  // namespace zarvek::test
