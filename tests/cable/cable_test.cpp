#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <bit>
#include <filesystem>
#include <sstream>
#include <thread>

#include "cable/cable.h"
#include "cable/cable_command.h"
#include "harness/cable_end.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Wired {
  explicit Wired(CableConfig config = {}) : cable(config), a(cable.endA()), b(cable.endB()) {}
  Cable cable;
  harness::CableEnd a, b;
};

// Every value both ways, and the rate seen from outside: first to last delivery
// over a line kept busy. Load can only make the last byte late; 2 % of 1.5 s is
// 30 ms, of which USB adapters at both ends take up to 16.
TEST(Cable, CarriesEveryValueBothWaysAtItsBaudRate) {
  std::string values;
  for (int v = 0; v < 256; ++v) values += static_cast<char>(v);
  for (CableConfig config : {CableConfig{0}, CableConfig{9600}, CableConfig{115200},
                             CableConfig{.baud = 115200, .usbLatencyMs = 16}}) {
    config.keepLog = true;
    const int baud = config.baud;
    SCOPED_TRACE("baud " + std::to_string(baud) + (config.usbLatencyMs ? ", USB" : ""));
    const std::string sent = values + randomBytes(static_cast<size_t>(baud) * 3 / 20, 11);  // 1.5 s of line
    Wired w(config);
    ASSERT_TRUE(w.a.write(sent));
    ASSERT_TRUE(w.b.write(values));
    EXPECT_EQ(w.b.read(sent.size()), sent);
    EXPECT_EQ(w.a.read(256), values);
    const auto log = w.cable.log(Direction::AtoB);
    ASSERT_EQ(log.size(), sent.size());
    if (baud == 0) continue;
    const double seconds = std::chrono::duration<double>(log.back().at - log.front().at).count();
    const double expected = static_cast<double>(sent.size() - 1) * 10.0 / baud;
    EXPECT_NEAR(seconds / expected, 1.0, 0.02) << seconds << " s for " << sent.size() << " bytes";
  }
}

TEST(Cable, FaultsLandOnTheBytesAsked) {
  struct Case { const char* name; bool aToB; FaultPlan plan; std::string expected; };
  const Case cases[] = {
      {"flip bit 0 of byte 5", true, {.flips = {{5, 0}}}, "0123446789abcdef"},
      {"flip bit 7 of the last byte", false, {.flips = {{15, 7}}}, "0123456789abcde\xE6"},
      {"drop first, ninth and last", true, {.drops = {0, 8, 15}}, "12345679abcde"},
      {"replace reply byte 3", false, {.replaces = {{3, 'N'}}}, "012N456789abcdef"},
      {"replace then flip one byte", true, {.flips = {{2, 5}}, .replaces = {{2, 'A'}}}, "01a3456789abcdef"},
      {"faults past the stream change nothing", true, {.flips = {{16, 1}}, .drops = {99}}, "0123456789abcdef"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wired w(c.aToB ? CableConfig{.aToB = c.plan} : CableConfig{.bToA = c.plan});
    auto [from, to] = c.aToB ? std::tie(w.a, w.b) : std::tie(w.b, w.a);
    ASSERT_TRUE(from.write("01234567"));
    ASSERT_TRUE(from.write("89abcdef"));
    EXPECT_EQ(to.read(c.expected.size()), c.expected);
    EXPECT_EQ(to.read(1, 100ms), "") << "more bytes than expected";
  }
}

// Silence or noise on the line when asked, and the bytes before it not held
// back: each row writes 100 bytes on end A.
TEST(Cable, PausesAndPlannedNoiseComeWhenAsked) {
  struct Case { const char* name; int baud; FaultPlan plan; size_t gapBefore; int leastMs, mostMs; };
  const Case cases[] = {
      {"pause before byte 50, unpaced", 0, {.pauses = {{50, 200}}}, 50, 190, 1000},
      {"pause before byte 50", 115200, {.pauses = {{50, 200}}}, 50, 190, 1000},
      {"pause before the first byte", 115200, {.pauses = {{0, 200}}}, 0, 190, 1000},
      {"noise right after the end-of-file packet", 115200, {.noises = {{99, 1, 0xFF}}}, 100, 0, 16},
      {"noise between two files", 115200, {.noises = {{99, 25, 0xFF}}}, 100, 10, 40},
      {"noise while the line still carries the file: after it", 115200, {.noises = {{9, 1, 0xFF}}}, 100, 0, 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wired w({c.baud, c.plan, {}, true});
    const std::string sent = randomBytes(100, 21), got = sent + (c.plan.noises.empty() ? "" : "\xFF");
    const auto start = Clock::now();
    ASSERT_TRUE(w.a.write(sent));  // 8.7 ms of line at 115200
    EXPECT_EQ(w.b.read(got.size()), got);
    const auto log = w.cable.log(Direction::AtoB);
    ASSERT_EQ(log.size(), got.size());
    // On the line's own clock (when each byte was off the line), which a busy
    // machine delays only in handing bytes over, not in the plan.
    const auto silence = log[c.gapBefore].due - (c.gapBefore == 0 ? start : log[c.gapBefore - 1].due);
    EXPECT_TRUE(silence >= std::chrono::milliseconds(c.leastMs) && silence <= std::chrono::milliseconds(c.mostMs))
        << std::chrono::duration<double, std::milli>(silence).count() << " ms";
    if (c.gapBefore > 0) {
      EXPECT_LT(log[c.gapBefore - 1].at - start, 100ms) << "earlier bytes were held back";
    }
  }
}

// A UART hands over 14 bytes at a time, fewer 4 byte times after the last came;
// a USB adapter 62, fewer when its latency timer, started by the first, runs out.
// A 40 ms timer makes a full packet that waited for it stand out from load; at
// 9600 bit/s a 4 ms timer runs out before 62 bytes come.
TEST(Cable, UartAndUsbAdapterHandOverInBatches) {
  struct Case { CableConfig config; std::vector<size_t> writes; std::vector<size_t> batches; };
  const Case cases[] = {{{115200, {}, {}, true, true}, {40}, {14, 14, 12}},  // both ways
                        {{115200, {.uart = true}, {}, true}, {5, 3}, {5, 3}},
                        {{921600, {.uart = true}, {}, true}, {100}, {14, 14, 14, 14, 14, 14, 14, 2}},
                        {{115200, {.usbLatencyMs = 40}, {}, true}, {200}, {62, 62, 62, 14}},
                        {{.baud = 9600, .keepLog = true, .usbLatencyMs = 4}, {30}, {4, 4, 4, 4, 4, 4, 4, 2}}};
  for (const auto& c : cases) {
    const int usbMs = std::max(c.config.usbLatencyMs, c.config.aToB.usbLatencyMs);
    SCOPED_TRACE("baud " + std::to_string(c.config.baud) + (usbMs ? ", USB" : ", UART") + ", writes of " +
                 ::testing::PrintToString(c.writes));
    Wired w(c.config);
    for (const size_t size : c.writes) {
      const std::string sent = randomBytes(size, 31);
      ASSERT_TRUE(w.a.write(sent));
      EXPECT_EQ(w.b.read(size), sent);
    }
    std::vector<std::vector<LoggedByte>> batches;  // one write each to the far end
    for (const auto& byte : w.cable.log(Direction::AtoB)) {
      if (batches.empty() || batches.back().back().at != byte.at) batches.emplace_back();
      batches.back().push_back(byte);
    }
    // A full batch goes as its last byte is off the line, a short one once the timer ran out.
    const size_t full = usbMs ? 62 : 14;
    const auto timeout = usbMs ? std::chrono::nanoseconds(std::chrono::milliseconds(usbMs))
                               : std::chrono::nanoseconds(40'000'000'000LL / c.config.baud);
    std::vector<size_t> sizes;
    for (const auto& batch : batches) {
      sizes.push_back(batch.size());
      for (const auto& byte : batch) EXPECT_GE(byte.at, byte.due) << "handed over before its line time";
      const auto timerStart = usbMs ? batch.front().due : batch.back().due;
      const auto waited = batch.back().at - (batch.size() < full ? timerStart + timeout : batch.back().due);
      EXPECT_GE(waited, 0ns) << "a batch of " << batch.size();
      EXPECT_LT(waited, 15ms) << "a batch of " << batch.size();
    }
    EXPECT_EQ(sizes, c.batches);
  }
}

// Bursts delayed 20 to 60 ms each, in pairs 5 ms apart (the second would often
// overtake the first), the pairs 70 ms apart (each first shows its own delay).
TEST(Cable, LatencyDelaysBurstsWithinItsRangeInOrder) {
  Wired w({115200, {.latencyMinMs = 20, .latencyMaxMs = 60}, {}, true});
  std::string sent;
  for (uint64_t burst = 0; burst < 12; ++burst) {
    if (burst > 0) std::this_thread::sleep_for(burst % 2 ? 5ms : 70ms);
    sent += randomBytes(20, burst);  // 1.7 ms of line
    ASSERT_TRUE(w.a.write(sent.substr(sent.size() - 20)));
  }
  EXPECT_EQ(w.b.read(sent.size()), sent);
  const auto log = w.cable.log(Direction::AtoB);
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

TEST(Cable, BitErrorRateIsSeededAndNearItsRate) {
  const std::string sent = randomBytes(20000, 5);
  const auto through = [&](uint64_t seed) {
    Wired w({.aToB = {.bitErrorRate = 1e-3, .seed = seed}});
    EXPECT_TRUE(w.a.write(sent));
    return w.b.read(sent.size());
  };
  const std::string first = through(7);
  ASSERT_EQ(first.size(), sent.size());
  EXPECT_EQ(through(7), first) << "same seed, same stream: same errors";
  EXPECT_NE(through(8), first);
  int flipped = 0;
  for (size_t i = 0; i < sent.size(); ++i) flipped += std::popcount(static_cast<uint8_t>(sent[i] ^ first[i]));
  EXPECT_TRUE(flipped > 100 && flipped < 220) << flipped << " of 160000 bits flipped; 160 expected, deviation 12.6";
}

// Faults set later count from the cable's start; injected noise follows what is on the
// line, takes its line time but no index; unplugged, nothing passes yet all is counted.
TEST(Cable, FaultsSetLaterNoiseInjectedAndPlugPulledWhileBytesFlow) {
  Wired w({9600, {}, {}, true});  // 1.04 ms a byte
  ASSERT_TRUE(w.b.write("0123456789"));
  ASSERT_EQ(w.a.read(10), "0123456789");
  w.cable.setFaults(Direction::BtoA, {.drops = {12}, .replaces = {{21, 'N'}}});
  ASSERT_TRUE(w.b.write("abcdefghij"));
  eventually([&] { return w.cable.bytesIn(Direction::BtoA) >= 20; }, 5s);
  w.cable.injectNoise(Direction::BtoA, '!');
  EXPECT_EQ(w.a.read(10), "abdefghij!");
  ASSERT_TRUE(w.b.write("xy"));
  EXPECT_EQ(w.a.read(2), "xN");
  const auto log = w.cable.log(Direction::BtoA);
  ASSERT_EQ(log.size(), 22u);
  EXPECT_GE(log[19].due - log[18].due, 1ms) << "the noise took no line time";
  w.cable.unplug();
  ASSERT_TRUE(w.a.write("cd"));
  ASSERT_TRUE(w.b.write("ef"));
  EXPECT_EQ(w.b.read(1, 300ms), "");
  EXPECT_EQ(w.a.read(1, 300ms), "");
  EXPECT_EQ(w.cable.bytesIn(Direction::AtoB), 2u);
  EXPECT_EQ(w.cable.bytesIn(Direction::BtoA), 24u);
}

TEST(Cable, LinkEndsReplacesLinks) {
  TempDir dir;
  const std::string linkA = (dir / "com1").string(), linkB = (dir / "com2").string();
  std::filesystem::create_symlink("/nonexistent", linkA);  // a stale link; none yet for B
  Cable cable;
  cable.linkEnds(linkA, linkB);
  EXPECT_EQ(std::filesystem::read_symlink(linkA), cable.endA());
  EXPECT_EQ(std::filesystem::read_symlink(linkB), cable.endB());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "temporary links left";
}

// A program that stops reading loses bytes, as on a UART overrun, but the
// cable keeps flowing and the writer is never stuck.
TEST(Cable, OverrunDropsBytesAndKeepsFlowing) {
  Wired w;
  const std::string flood(256 * 1024, 'x');
  ASSERT_TRUE(w.a.write(flood, 60s));
  std::this_thread::sleep_for(200ms);  // the relay gives up on the full queue
  EXPECT_LT(w.b.read(flood.size(), 500ms).size(), flood.size());
  ASSERT_TRUE(w.a.write("tail"));
  EXPECT_TRUE(w.b.read(flood.size(), 1s).ends_with("tail")) << "the cable stopped flowing";
}

CableConfig parse(const std::string& line) {
  CLI::App app;
  CableCommandOptions options;
  addCableOptions(app, options);
  app.parse(line, false);
  return cableConfigFrom(options);
}

// Every field of a plan, so one comparison shows whatever the options got wrong.
std::string text(const FaultPlan& p) {
  std::ostringstream s;
  for (const auto& f : p.flips) s << "flip " << f.byteIndex << ':' << f.bit << ' ';
  for (const auto& d : p.drops) s << "drop " << d << ' ';
  for (const auto& x : p.pauses) s << "pause " << x.beforeByte << ':' << x.milliseconds << ' ';
  for (const auto& r : p.replaces) s << "replace " << r.byteIndex << ':' << int(r.value) << ' ';
  for (const auto& n : p.noises) s << "noise " << n.afterByte << ':' << n.delayMs << ':' << int(n.value) << ' ';
  s << "ber " << p.bitErrorRate << " seed " << p.seed << " latency " << p.latencyMinMs << '-' << p.latencyMaxMs;
  return s.str() + (p.uart ? " uart" : "") + (p.usbLatencyMs ? " usb " + std::to_string(p.usbLatencyMs) : "");
}

TEST(CableCommand, FaultOptionsBuildThePlansOrAreRejected) {
  const CableConfig c = parse(
      "--baud 115200 --flip a2b:2000:3 --flip b2a:0:7 --drop b2a:12 --pause a2b:5:250 "
      "--replace b2a:1:0x4e --replace a2b:2:65 --ber b2a:1e-5 --seed 9 --noise a2b:99:25:0xff --noise a2b:7:1:0 "
      "--latency b2a:2:16 --uart --usb a2b:1 --usb 16");
  EXPECT_EQ(c.baud, 115200);
  EXPECT_TRUE(c.uart);
  EXPECT_EQ(c.usbLatencyMs, 16);
  EXPECT_EQ(text(c.aToB),
            "flip 2000:3 pause 5:250 replace 2:65 noise 99:25:255 noise 7:1:0 ber 0 seed 9 latency 0-0 usb 1");
  EXPECT_EQ(text(c.bToA), "flip 0:7 drop 12 replace 1:78 ber 1e-05 seed 10 latency 2-16");
  for (const char* line : {"--flip a2b:3", "--flip a2b:3:8", "--flip x2y:3:1", "--drop a2b:-1", "--drop a2b:",
                           "--drop a2b:3:4", "--pause b2a:3:ms", "--replace a2b:1:256", "--replace a2b:1:0xg",
                           "--ber a2b:2", "--ber a2b:abc", "--link-a /tmp/x", "--baud -5", "--noise a2b:1:2",
                           "--noise a2b:1:2:256", "--noise b2a:x:2:0", "--latency a2b:5:2", "--latency a2b:1",
                           "--latency a2b:1:x", "--usb 0", "--usb 17", "--usb x2y:3", "--usb a2b:", "--usb a2b:3:1"}) {
    SCOPED_TRACE(line);
    EXPECT_THROW(parse(line), CLI::Error);
  }
}

}  // namespace
}  // namespace zarvek::test
