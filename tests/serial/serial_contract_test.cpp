// One contract, both backends: serial_peer_win runs the port under test on end A of a cable
// paced like a 115200 bit/s line (natively the Linux build; in serial_wine_tests the Windows
// build under Wine, on COM1); the test plays end B, both keeping step through bytes on the line.
// Then, natively, what only the Linux build shows: the line clock alone and the speeds a tty takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "cable/cable.h"
#include "harness/process.h"
#include "line_pattern.h"
#include "serial/line_clock.h"
#include "serial/serial_port.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using test::allValuesPacket;

#ifdef SERIAL_PEER_UNDER_WINE
constexpr bool kWine = true;
const std::string kPeer = harness::windowsExe("tests/serial/serial_peer_win.exe");
#else
constexpr bool kWine = false;
const std::string kPeer = SERIAL_PEER;
#endif

// The peer's line for a read of bytes [from, to) of `sent` into a buffer that held `held`.
std::string read(const std::vector<uint8_t>& sent, int from = 0, int to = kPacketSize, std::vector<uint8_t> held = {}) {
  held.resize(kPacketSize);
  std::copy(sent.begin() + from, sent.begin() + to, held.begin());
  return "read 1 " + std::to_string(to - from) + ' ' + test::hex(held);
}

// Whether `line` is `prefix` and then a number within [low, high].
bool timed(const std::string& line, const std::string& prefix, long low, long high) {
  const long ms = line.rfind(prefix, 0) == 0 ? std::atol(line.c_str() + prefix.size()) : -1;
  return ms >= low && ms <= high;
}

class SerialContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kWine && !test::requireOrSkipWine(kPeer)) GTEST_SKIP() << kPeer << " is not built";
    if (kWine) harness::pointComPort(1, cable.endA());
  }
  // A case stopped by a failed assertion still shows what the peer did.
  void TearDown() override {
    if (!peer.valid()) return;
    const harness::Outcome outcome = peer.get();
    if (HasFailure())
      std::fprintf(stderr, "peer (exit %d):\n%s%s\n", outcome.code, outcome.out.c_str(), outcome.err.c_str());
  }

  void openFar(PortRole role) {
    ASSERT_TRUE(far.open(cable.endB().c_str(), role));
    ASSERT_TRUE(far.configure(115200, role));
    far.discardInput();  // so the far end's first wait keeps what comes
  }

  // Runs `ops` on end A. Once the peer has ended (or its guard passed),
  // `running` is cleared so that no wait of the far end outlives it.
  void start(const Lines& ops) {
    Lines argv = kWine ? harness::wineCommand(kPeer, {"COM1"}) : Lines{kPeer, cable.endA()};
    argv.insert(argv.end(), ops.begin(), ops.end());
    peer = std::async(std::launch::async, [this, argv] {
      harness::Outcome outcome = harness::run(argv, {}, 60s);
      std::this_thread::sleep_for(300ms);  // what the far end still had to read
      running = 0;
      return outcome;
    });
  }

  Lines finish() {
    const harness::Outcome outcome = peer.get();
    EXPECT_EQ(outcome.code, 0) << outcome.err;
    Lines out;
    std::istringstream in(outcome.out);
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(0, line.find('\r')));
    return out;
  }

  // The peer's byte that says it has reached a point of its script.
  void awaitSignal() { ASSERT_EQ(far.waitReply(running).heard, SerialPort::Heard::Byte) << "no signal"; }
  void write(int salt) { ASSERT_TRUE(far.writePacket(allValuesPacket(salt))); }

  Cable cable{CableConfig{115200, {}, {}, false}};
  SerialPort far;
  std::atomic<uint8_t> running{1};
  std::future<harness::Outcome> peer;
};

// After a reply or a discard the receiver's next wait keeps what came since;
// otherwise a wait drops what came before it. A reply first drops what came
// before it (the rest of a packet, noise: never the answer to it).
TEST_F(SerialContract, WaitKeepsOnlyWhatCameSinceAReplyOrDiscard) {
  openFar(PortRole::Sender);
  start({"open:R", "config:115200", "reply:53", "sleep:300", "wait", "read", "sleep:300", "discard", "sleep:1000",
         "wait", "read", "sleep:400", "wait", "read", "sleep:600", "reply:41", "wait", "read"});
  awaitSignal();
  const auto signalled = std::chrono::steady_clock::now();
  write(1);
  write(2);  // queued behind 1 when the peer discards
  std::this_thread::sleep_until(signalled + 1300ms);
  write(3);
  write(4);  // queued behind 3 when the peer's third wait begins
  std::this_thread::sleep_until(signalled + 2700ms);
  write(5);
  write(6);  // queued when the peer replies
  ASSERT_EQ(far.waitReply(running).byte, 0x41);
  write(7);
  EXPECT_EQ(finish(), (Lines{"open 1 None", "config 1", "reply 1", "wait 1", read(allValuesPacket(1)), "discard",
                             "wait 1", read(allValuesPacket(3)), "wait 1", read(allValuesPacket(5)), "reply 1",
                             "wait 1", read(allValuesPacket(7))}));
}

// More than 20 ms between two bytes ends a read; the rest of the buffer keeps
// what it held. waitForMore discards nothing; dropUntilQuiet drops a tail but
// not a packet that starts once the line has gone quiet.
TEST_F(SerialContract, GapsEndReadsAndQuietEndsADrop) {
  openFar(PortRole::Sender);
  start({"open:R", "config:115200", "reply:53", "wait", "read", "more:3000", "read", "more:3000", "read",
         "more:300", "reply:54", "wait", "drop", "more:3000", "read"});
  awaitSignal();
  FaultPlan gap;
  gap.pauses.push_back({cable.bytesIn(Direction::BtoA) + kPacketSize + 300, 100});
  cable.setFaults(Direction::BtoA, gap);
  write(1);
  write(2);
  awaitSignal();
  write(3);  // the tail of a damaged packet
  far.drainLine();
  std::this_thread::sleep_for(300ms);
  write(4);
  const Lines out = finish();
  const auto one = allValuesPacket(1), two = allValuesPacket(2);
  ASSERT_EQ(out.size(), 15u);
  EXPECT_EQ(Lines(out.begin() + 3, out.begin() + 9),
            (Lines{"wait 1", read(one), "more D", read(two, 0, 300, one), "more D", read(two, 300, 1030, one)}));
  EXPECT_TRUE(timed(out[9], "more Q ", 280, 10000)) << "quiet before its limit: " << out[9];
  EXPECT_EQ(Lines(out.begin() + 11, out.end()), (Lines{"wait 1", "drop", "more D", read(allValuesPacket(4))}));
}

// Clearing `running` ends every wait within a few ms (1 s allowed for a loaded
// machine); a wait that finds it clear reads nothing.
TEST_F(SerialContract, ClearingRunningEndsEveryWaitWithoutReading) {
  openFar(PortRole::Sender);
  start({"open:R", "config:115200", "wait@300", "more:10000@300", "replies:1@300", "reply:53", "sleep:500",
         "more:1000@0", "drop@0", "replies:1@0", "more:1000", "read"});
  awaitSignal();
  write(1);
  const Lines out = finish();
  ASSERT_EQ(out.size(), 11u);
  EXPECT_TRUE(timed(out[2], "wait 0 @", 0, 999)) << out[2];
  EXPECT_TRUE(timed(out[3], "more S @", 0, 999)) << out[3];
  EXPECT_TRUE(timed(out[4], "replies F @", 0, 999)) << out[4];
  EXPECT_EQ(Lines(out.begin() + 6, out.end()),
            (Lines{"more S", "drop", "replies F", "more D", read(allValuesPacket(1))}));
}

// Every byte value leaves the sender unchanged, in one read at the far end of a
// paced line; of the replies only "N" is CrcFailed. drainLine lasts until a
// packet has left the line (1073 ms at 9600 bit/s, counted from the start of
// the write), unless a reply has shown that it has.
TEST_F(SerialContract, SenderPacketsRepliesAndLineTime) {
  openFar(PortRole::Receiver);
  start({"open:S", "config:9600", "write:0", "drain", "replies:1030", "write:1", "replies:1", "drain", "replies:1@300"});
  std::vector<uint8_t> got(kPacketSize);
  for (int salt : {0, 1}) {
    ASSERT_TRUE(far.waitForData(running));
    ASSERT_TRUE(far.readPacket(got));
    EXPECT_EQ(far.lastReadCount(), kPacketSize) << "a paced packet took more than one read";
    EXPECT_EQ(got, allValuesPacket(salt));
    far.discardInput();
    if (salt == 0) write(5);  // 1030 reply bytes, every value among them
  }
  ASSERT_TRUE(far.sendReply('A'));
  std::string letters;
  for (uint8_t b : allValuesPacket(5)) letters += b == 'N' ? 'C' : 'A';
  const Lines out = finish();
  ASSERT_EQ(out.size(), 9u);
  EXPECT_TRUE(timed(out[3], "drain ", 1060, 100000)) << out[3];
  EXPECT_EQ(out[4], "replies " + letters);
  EXPECT_EQ(out[6], "replies A");
  EXPECT_TRUE(timed(out[7], "drain ", 0, 600)) << "the reply did not cut the clock short";
  EXPECT_TRUE(timed(out[8], "replies F @", 0, 999)) << out[8];
}

// Port names read alike on each platform (COMn in any case is the device
// namespace's COMn on Windows, needed from COM10 up, and the n-th UART on
// Linux), the speed reaching the line and an odd one refused alike, absent,
// held and unusable ports.
TEST_F(SerialContract, PortNamesSpeedsAbsentAndHeldPorts) {
  test::TempDir dir;
  test::writeFile(dir / "plain", "not a port");
  const auto local = [&](const char* f) { return kWine ? harness::windowsPath((dir / f).string()) : (dir / f).string(); };
  Lines ops{"probe:COM42", "probe:" + local("absent"), "open:R", "config:57600", "config:12345", "probe:", "close", "probe:"};
  Lines expected{"probe 0 NotFound", "probe 0 NotFound", "open 1 None", "config 1", "config 0", "probe 0 Busy", "close", "probe 1 None"};
  using Names = std::vector<std::pair<std::string, std::string>>;
  const auto com = [](const char* name, int n) {
    return std::pair<std::string, std::string>{name, kWine ? "\\\\.\\" + std::string(name) : "/dev/ttyS" + std::to_string(n - 1)};
  };
  Names names{com("COM1", 1), com("COM4", 4), com("COM12", 12), com("com2", 2), {"COM", "COM"}, {"COM0", "COM0"},
              {"COM1:", "COM1:"}, {"COM07", "COM07"}};
  if (kWine) names.push_back({"\\\\.\\COM3", "\\\\.\\COM3"});
  else names.push_back({"/dev/pts/3", "/dev/pts/3"});
  for (const auto& [name, device] : names) {
    ops.push_back("path:" + name);
    expected.push_back("path " + device);
  }
  if (kWine) {  // Wine checks share modes on files only: a second opener of COM1 gets it too
    ops.erase(ops.begin() + 5);
    expected.erase(expected.begin() + 5);
  } else {  // a file or a device that is no terminal
    for (const std::string& path : {local("plain"), std::string("/dev/null")}) {
      ops.push_back("probe:" + path);
      expected.push_back("probe 0 Other");
    }
  }
  start(ops);
  EXPECT_EQ(finish(), expected);
  EXPECT_FALSE(std::filesystem::exists(dir / "absent")) << "opening a port created a file";
  termios tio{};
  const int fd = ::open(cable.endA().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B57600)) << "the speed did not reach the line";
}

#ifndef SERIAL_PEER_UNDER_WINE
// A real Windows port's write returns once the bytes are (nearly) sent, a pty's at once, so the contract
// above never shows the first kind: line time counts from the start of the write, never twice.
TEST(LineClockTest, LineTimeCountsFromTheStartOfTheWrite) {
  LineClock clock;
  clock.setSpeed(115200);  // 1030 bytes: 89 ms
  const auto waited = [&clock] {
    const auto start = std::chrono::steady_clock::now();
    clock.waitIdle();
    return std::chrono::steady_clock::now() - start;
  };
  auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(89ms);  // a write that itself lasted the line time
  clock.queued(kPacketSize, started);
  EXPECT_LT(waited(), 20ms);
  started = std::chrono::steady_clock::now();  // a write that returned at once
  clock.queued(kPacketSize, started);
  EXPECT_GE(waited(), 85ms);
}

// Every speed the program offers reaches the device; any other is refused.
TEST(SerialPortSpeeds, EachOfferedSpeedReachesTheDevice) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  SerialPort port;
  ASSERT_TRUE(port.open(name, PortRole::Receiver));
  const struct { int32_t speed; speed_t code; } speeds[] = {{9600, B9600},     {19200, B19200},   {57600, B57600},
                                                            {115200, B115200}, {230400, B230400}, {460800, B460800},
                                                            {921600, B921600}};
  for (const auto& s : speeds) {
    ASSERT_TRUE(port.configure(s.speed, PortRole::Receiver)) << s.speed;
    termios tio{};
    ASSERT_EQ(::tcgetattr(slave, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), s.code) << s.speed;
  }
  const Result refused = port.configure(12345, PortRole::Sender);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.code(), static_cast<unsigned long>(EINVAL));
  ::close(slave);
  ::close(master);
}
#endif

}  // namespace
}  // namespace zarvek
