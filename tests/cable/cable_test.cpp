#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cable/cable.h"
#include "cable/test_port.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TestPort;

std::string allByteValues(bool descending) {
  std::string s(256, '\0');
  for (int i = 0; i < 256; ++i) s[static_cast<size_t>(i)] = static_cast<char>(descending ? 255 - i : i);
  return s;
}

CableConfig paced(int baud, bool keepLog = false) {
  CableConfig config;
  config.baud = baud;
  config.keepLog = keepLog;
  return config;
}

TEST(Cable, CarriesAll256ValuesBothWays) {
  for (int baud : {0, 9600, 115200}) {
    SCOPED_TRACE("baud " + std::to_string(baud));
    Cable cable(paced(baud));
    TestPort a(cable.endA()), b(cable.endB());
    ASSERT_TRUE(a.write(allByteValues(false)));
    ASSERT_TRUE(b.write(allByteValues(true)));
    EXPECT_EQ(b.read(256), allByteValues(false));
    EXPECT_EQ(a.read(256), allByteValues(true));
  }
}

// The rate seen from outside: first to last delivery over a line kept busy.
// Load can only make the last byte late, and 2 % of 1.5 s is 30 ms.
TEST(Cable, PacingHoldsTheBaudRate) {
  for (int baud : {9600, 115200}) {
    SCOPED_TRACE("baud " + std::to_string(baud));
    const size_t count = static_cast<size_t>(baud) * 3 / 20;  // 1.5 s of line
    Cable cable(paced(baud, true));
    TestPort a(cable.endA()), b(cable.endB());
    const std::string sent = test::randomBytes(count, 11);
    ASSERT_TRUE(a.write(sent));
    EXPECT_EQ(b.read(count), sent);
    const auto log = cable.log(Direction::AtoB);
    ASSERT_EQ(log.size(), count);
    const double seconds = std::chrono::duration<double>(log.back().at - log.front().at).count();
    const double expected = static_cast<double>(count - 1) * 10.0 / baud;
    EXPECT_NEAR(seconds / expected, 1.0, 0.02) << seconds << " s for " << count << " bytes";
  }
}

// Each row writes "0123456789abcdef" in two writes on the sending end.
struct FaultCase {
  const char* name;
  Direction direction;
  void (*plan)(FaultPlan&);
  std::string expected;
};

TEST(Cable, FaultsLandOnTheBytesAsked) {
  const FaultCase cases[] = {
      {"flip bit 0 of byte 5", Direction::AtoB, [](FaultPlan& p) { p.flips = {{5, 0}}; }, "0123446789abcdef"},
      {"flip bit 7 of the last byte", Direction::BtoA, [](FaultPlan& p) { p.flips = {{15, 7}}; },
       "0123456789abcde\xE6"},
      {"drop first, ninth and last", Direction::AtoB, [](FaultPlan& p) { p.drops = {0, 8, 15}; }, "12345679abcde"},
      {"replace reply byte 3", Direction::BtoA, [](FaultPlan& p) { p.replaces = {{3, 'N'}}; }, "012N456789abcdef"},
      {"replace then flip one byte", Direction::AtoB,
       [](FaultPlan& p) {
         p.replaces = {{2, 'A'}};
         p.flips = {{2, 5}};
       },
       "01a3456789abcdef"},
      {"faults past the stream change nothing", Direction::AtoB,
       [](FaultPlan& p) {
         p.flips = {{16, 1}};
         p.drops = {99};
       },
       "0123456789abcdef"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CableConfig config;
    c.plan(c.direction == Direction::AtoB ? config.aToB : config.bToA);
    Cable cable(config);
    TestPort a(cable.endA()), b(cable.endB());
    TestPort& from = c.direction == Direction::AtoB ? a : b;
    TestPort& to = c.direction == Direction::AtoB ? b : a;
    ASSERT_TRUE(from.write("01234567"));
    ASSERT_TRUE(from.write("89abcdef"));
    EXPECT_EQ(to.read(c.expected.size()), c.expected);
    EXPECT_EQ(to.read(1, 100ms), "") << "more bytes than expected";
  }
}

TEST(Cable, PauseSilencesTheLineBeforeTheByteOnly) {
  constexpr auto kPause = 200ms;
  struct Case { int baud; uint64_t before; };
  for (const Case c : {Case{0, 100}, Case{115200, 100}, Case{115200, 0}}) {
    SCOPED_TRACE("baud " + std::to_string(c.baud) + " before byte " + std::to_string(c.before));
    CableConfig config = paced(c.baud, true);
    config.bToA.pauses = {{c.before, int(kPause.count())}};
    Cable cable(config);
    TestPort a(cable.endA()), b(cable.endB());
    const std::string sent = test::randomBytes(200, 3);
    const auto start = Clock::now();
    ASSERT_TRUE(b.write(sent));
    EXPECT_EQ(a.read(sent.size()), sent);
    const auto log = cable.log(Direction::BtoA);
    ASSERT_EQ(log.size(), sent.size());
    const auto silentFrom = c.before == 0 ? start : log[c.before - 1].at;
    // A late delivery of the byte before shortens the measured gap a little.
    EXPECT_GE(log[c.before].at - silentFrom, kPause * 95 / 100);
    if (c.before > 0) {
      EXPECT_LT(log[c.before - 1].at - start, kPause / 2) << "earlier bytes were held back";
    }
  }
}

// A far end's noise after a file: measured on the receiving end from the byte it follows.
TEST(Cable, PlannedNoiseArrivesWhenAsked) {
  struct Case { const char* name; uint64_t after; int delayMs; int expectedGapMs; };
  const Case cases[] = {{"right after the end-of-file packet", 99, 1, 1},
                        {"between two files", 99, 25, 25},
                        {"while the line still carries the file: after it", 9, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CableConfig config = paced(115200, true);
    config.aToB.noises = {{c.after, c.delayMs, 0xFF}};
    Cable cable(config);
    TestPort a(cable.endA()), b(cable.endB());
    const std::string first = test::randomBytes(100, 21), second = "next file";  // 100 bytes: 8.7 ms of line
    ASSERT_TRUE(a.write(first));
    EXPECT_EQ(b.read(101), first + '\xFF');
    ASSERT_TRUE(a.write(second));
    EXPECT_EQ(b.read(second.size()), second);
    const auto log = cable.log(Direction::AtoB);
    ASSERT_EQ(log.size(), 110u);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(log[100].at - log[99].at);
    EXPECT_LE(abs(gap - std::chrono::milliseconds(c.expectedGapMs)), 15ms) << gap.count() << " ms";
  }
}

// Noise goes behind what is on the line, takes its line time, and moves no fault.
TEST(Cable, InjectedNoiseTakesNoIndex) {
  CableConfig config = paced(9600, true);  // 1.04 ms a byte
  config.bToA.drops = {3};
  config.bToA.replaces = {{12, 'N'}};
  Cable cable(config);
  TestPort a(cable.endA()), b(cable.endB());
  ASSERT_TRUE(b.write("0123456789"));
  for (const auto until = Clock::now() + 5s; cable.bytesIn(Direction::BtoA) < 10 && Clock::now() < until;)
    std::this_thread::sleep_for(1ms);
  cable.injectNoise(Direction::BtoA, '!');
  EXPECT_EQ(a.read(10), "012456789!");
  ASSERT_TRUE(b.write("abcdef"));
  EXPECT_EQ(a.read(6), "abNdef");
  EXPECT_EQ(cable.bytesIn(Direction::BtoA), 16u);
  const auto log = cable.log(Direction::BtoA);
  ASSERT_EQ(log.size(), 16u);
  EXPECT_GE(log[9].due - log[8].due, 1ms) << "the noise took no line time";
}

// Splits a log into the batches the far end got, one write each.
std::vector<std::vector<LoggedByte>> batchesOf(const std::vector<LoggedByte>& log) {
  std::vector<std::vector<LoggedByte>> batches;
  for (const auto& byte : log) {
    if (batches.empty() || batches.back().back().at != byte.at) batches.emplace_back();
    batches.back().push_back(byte);
  }
  return batches;
}

// Each row writes on end A, waiting for each write to arrive before the next.
TEST(Cable, UartHandsOverInBatches) {
  struct Case { int baud; bool bothWays; std::vector<size_t> writes; std::vector<size_t> batches; };
  const Case cases[] = {{115200, true, {40}, {14, 14, 12}},
                        {115200, false, {5, 3}, {5, 3}},
                        {921600, false, {100}, {14, 14, 14, 14, 14, 14, 14, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE("baud " + std::to_string(c.baud) + ", writes of " + ::testing::PrintToString(c.writes));
    CableConfig config = paced(c.baud, true);
    (c.bothWays ? config.uart : config.aToB.uart) = true;
    Cable cable(config);
    TestPort a(cable.endA()), b(cable.endB());
    for (const size_t size : c.writes) {
      const std::string sent = test::randomBytes(size, 31);
      ASSERT_TRUE(a.write(sent));
      EXPECT_EQ(b.read(size), sent);
    }
    const auto batches = batchesOf(cable.log(Direction::AtoB));
    std::vector<size_t> sizes;
    for (const auto& batch : batches) sizes.push_back(batch.size());
    EXPECT_EQ(sizes, c.batches);
    // A full batch goes as its 14th byte is off the line, the rest after the time-out.
    const auto timeout = std::chrono::nanoseconds(40'000'000'000LL / c.baud);
    for (const auto& batch : batches) {
      for (const auto& byte : batch) EXPECT_GE(byte.at, byte.due) << "handed over before its line time";
      const auto waited = batch.back().at - batch.back().due;
      EXPECT_GE(waited, batch.size() < 14 ? timeout : 0ns);
      EXPECT_LT(waited, timeout + 15ms);
    }
  }
}

// Bursts delayed 20 to 60 ms each, in pairs 5 ms apart (the second would often
// overtake the first), the pairs 70 ms apart (each first shows its own delay).
TEST(Cable, LatencyDelaysBurstsWithinItsRangeInOrder) {
  CableConfig config = paced(115200, true);
  config.aToB.latencyMinMs = 20;
  config.aToB.latencyMaxMs = 60;
  Cable cable(config);
  TestPort a(cable.endA()), b(cable.endB());
  std::string sent;
  for (uint64_t burst = 0; burst < 12; ++burst) {
    if (burst > 0) std::this_thread::sleep_for(burst % 2 ? 5ms : 70ms);
    sent += test::randomBytes(20, burst);  // 1.7 ms of line
    ASSERT_TRUE(a.write(sent.substr(sent.size() - 20)));
  }
  EXPECT_EQ(b.read(sent.size()), sent);
  const auto log = cable.log(Direction::AtoB);
  ASSERT_EQ(log.size(), sent.size());
  const auto late = [](const LoggedByte& byte) { return byte.at - byte.due; };
  const auto byLateness = [&](const LoggedByte& x, const LoggedByte& y) { return late(x) < late(y); };
  Clock::duration least = Clock::duration::max(), most = Clock::duration::min();
  for (auto burst = log.begin(); burst != log.end(); burst += 20) {
    const auto [first, last] = std::minmax_element(burst, burst + 20, byLateness);
    EXPECT_LT(late(*last) - late(*first), 15ms) << "a burst not delayed as one";
    least = std::min(least, late(*first));
    most = std::max(most, late(*last));
  }
  EXPECT_GE(least, 20ms);
  EXPECT_LE(most, 60ms + 15ms);
  EXPECT_GT(most - least, 10ms) << "every burst equally late";
}

// Runs 20000 bytes through a cable with the bit-error rate and seed given.
std::string throughErrors(const std::string& sent, double rate, uint64_t seed) {
  CableConfig config;
  config.aToB.bitErrorRate = rate;
  config.aToB.seed = seed;
  Cable cable(config);
  TestPort a(cable.endA()), b(cable.endB());
  EXPECT_TRUE(a.write(sent));
  return b.read(sent.size());
}

TEST(Cable, BitErrorRateIsSeededAndNearItsRate) {
  const std::string sent = test::randomBytes(20000, 5);
  const std::string first = throughErrors(sent, 1e-3, 7);
  ASSERT_EQ(first.size(), sent.size());
  EXPECT_EQ(throughErrors(sent, 1e-3, 7), first) << "same seed, same stream: same errors";
  EXPECT_NE(throughErrors(sent, 1e-3, 8), first);
  int flipped = 0;
  for (size_t i = 0; i < sent.size(); ++i) flipped += std::popcount(static_cast<uint8_t>(sent[i] ^ first[i]));
  // 160000 bits at 1e-3: 160 expected, standard deviation 12.6.
  EXPECT_GT(flipped, 100);
  EXPECT_LT(flipped, 220);
}

TEST(Cable, SetFaultsKeepsCountingFromTheStart) {
  Cable cable;
  TestPort a(cable.endA()), b(cable.endB());
  ASSERT_TRUE(a.write("0123456789"));
  ASSERT_EQ(b.read(10), "0123456789");
  FaultPlan plan;
  plan.drops = {12};
  cable.setFaults(Direction::AtoB, plan);
  ASSERT_TRUE(a.write("abcdefghij"));
  EXPECT_EQ(b.read(9), "abdefghij");
  EXPECT_EQ(cable.bytesIn(Direction::AtoB), 20u);
}

TEST(Cable, UnpluggedPassesNothing) {
  Cable cable;
  TestPort a(cable.endA()), b(cable.endB());
  ASSERT_TRUE(a.write("ab"));
  ASSERT_EQ(b.read(2), "ab");
  cable.unplug();
  ASSERT_TRUE(a.write("cd"));
  ASSERT_TRUE(b.write("ef"));
  EXPECT_EQ(b.read(1, 300ms), "");
  EXPECT_EQ(a.read(1, 300ms), "");
  EXPECT_EQ(cable.bytesIn(Direction::AtoB), 4u);
  EXPECT_EQ(cable.bytesIn(Direction::BtoA), 2u);
}

TEST(Cable, EndsSurviveProgramsClosingThem) {
  Cable cable;
  TestPort b(cable.endB());
  for (const char* text : {"first", "second"}) {
    TestPort a(cable.endA());
    ASSERT_TRUE(a.write(text));
    EXPECT_EQ(b.read(std::strlen(text)), text);
  }
}

TEST(Cable, LinkEndsReplacesLinks) {
  test::TempDir dir;
  const std::string linkA = (dir / "com1").string(), linkB = (dir / "com2").string();
  std::filesystem::create_symlink("/nonexistent", linkA);
  Cable first, second;
  first.linkEnds(linkA, linkB);
  second.linkEnds(linkA, linkB);
  EXPECT_EQ(std::filesystem::read_symlink(linkA), second.endA());
  EXPECT_EQ(std::filesystem::read_symlink(linkB), second.endB());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "temporary links left";
  TestPort a(linkA), b(linkB);
  ASSERT_TRUE(a.write("x"));
  EXPECT_EQ(b.read(1), "x");
}

// A program that stops reading loses bytes, as on a UART overrun, but the
// cable keeps flowing and the writer is never stuck.
TEST(Cable, OverrunDropsBytesAndKeepsFlowing) {
  Cable cable;
  TestPort a(cable.endA()), b(cable.endB());
  const std::string flood(256 * 1024, 'x');
  ASSERT_TRUE(a.write(flood, 60s));
  std::this_thread::sleep_for(200ms);  // the relay gives up on the full queue
  const std::string queued = b.read(flood.size(), 500ms);
  EXPECT_LT(queued.size(), flood.size());
  ASSERT_TRUE(a.write("tail"));
  std::string rest = b.read(flood.size(), 1s);
  EXPECT_EQ(rest.substr(rest.size() >= 4 ? rest.size() - 4 : 0), "tail");
}

}  // namespace
}  // namespace zarvek
