// SerialPort on Linux over the virtual cable, whose far end the test plays
// byte by byte (unpaced, so that the test alone decides every pause).
#include "serial/line_clock.h"
#include "serial/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/diagnostic.h"
#include "cable/cable.h"
#include "cable/test_port.h"
#include "line_pattern.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::allValuesPacket;

// Clears `running` if the test is still going after the limit, so that a wait
// that never ends fails its test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(std::atomic<uint8_t>& running, std::chrono::seconds limit = 60s)
      : thread_([this, &running, limit] {
          std::unique_lock lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) running = 0;
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;
};

// Error codes the port wrote to the diagnostic stream.
std::mutex codesMutex;
std::vector<unsigned long> codes;

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    codes.clear();
    setDiagnosticSink([](unsigned long code) {
      std::lock_guard lock(codesMutex);
      codes.push_back(code);
    });
  }
  void TearDown() override { setDiagnosticSink(nullptr); }

  static std::vector<unsigned long> writtenCodes() {
    std::lock_guard lock(codesMutex);
    return codes;
  }

  // A port on the line, opened and configured for `role`.
  void openPort(SerialPort& port, PortRole role, int32_t speed = 115200) {
    ASSERT_EQ(port.open(line.portPath().c_str(), role), 1);
    ASSERT_EQ(port.configure(speed, role), 1);
  }

  // The far end, written and read raw.
  struct Line {
    Cable cable;
    test::TestPort peer{cable.endB()};
    const std::string& portPath() const { return cable.endA(); }
    void peerWrite(const std::vector<uint8_t>& bytes) {
      ASSERT_TRUE(peer.write(std::string(bytes.begin(), bytes.end())));
    }
    std::vector<uint8_t> peerRead(size_t n) {
      const std::string got = peer.read(n, std::chrono::seconds(5));
      return {got.begin(), got.end()};
    }
  };

  Line line;
  std::atomic<uint8_t> running{1};
  Watchdog watchdog{running};
};

TEST(PortDevicePath, MapsTheFourComNamesAndKeepsEveryOtherName) {
  const struct { const char* name; const char* path; } cases[] = {
      {"COM1", "/dev/ttyS0"},         {"COM2", "/dev/ttyS1"},     {"COM3", "/dev/ttyS2"},
      {"COM4", "/dev/ttyS3"},         {"COM5", "COM5"},           {"COM0", "COM0"},
      {"COM10", "COM10"},             {"com1", "com1"},           {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/pts/3", "/dev/pts/3"},
  };
  for (const auto& c : cases) EXPECT_EQ(portDevicePath(c.name), c.path) << c.name;
}

TEST_F(SerialPortTest, OpenFailsWhereNoUsablePortIs) {
  test::TempDir dir;
  test::writeFile(dir / "plain", "not a port");
  const struct { std::string path; PortError error; unsigned long code; } cases[] = {
      {(dir / "absent").string(), PortError::NotFound, ENOENT},
      {(dir / "plain").string(), PortError::Other, ENOTTY},
      {"/dev/null", PortError::Other, ENOTTY},
  };
  for (const auto& c : cases) {
    codes.clear();
    for (PortRole role : {PortRole::Receiver, PortRole::Sender}) {
      SerialPort port;
      EXPECT_EQ(port.open(c.path.c_str(), role), 0) << c.path;
      EXPECT_FALSE(port.isOpen()) << c.path;
      EXPECT_EQ(port.openError(), c.error) << c.path;
    }
    EXPECT_EQ(writtenCodes(), std::vector<unsigned long>(2, c.code)) << c.path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "absent")) << "a receiver must never create a file";
}

TEST_F(SerialPortTest, APortIsHeldExclusivelyUntilItsOwnerCloses) {
  {
    SerialPort first;
    ASSERT_EQ(first.open(line.portPath().c_str(), PortRole::Receiver), 1);
    SerialPort second;
    EXPECT_EQ(second.open(line.portPath().c_str(), PortRole::Sender), 0);
    EXPECT_EQ(second.openError(), PortError::Busy);
    EXPECT_EQ(writtenCodes(), std::vector<unsigned long>{EWOULDBLOCK});
  }
  SerialPort again;
  EXPECT_EQ(again.open(line.portPath().c_str(), PortRole::Sender), 1);
}

TEST_F(SerialPortTest, APortHeldByAnotherProcessCannotBeOpened) {
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SerialPort holder;
    const char opened = holder.open(line.portPath().c_str(), PortRole::Receiver) ? '1' : '0';
    (void)!::write(toParent[1], &opened, 1);
    char go;
    (void)!::read(toChild[0], &go, 1);  // hold the port until the parent has tried
    ::_exit(0);
  }
  char opened = 0;
  ASSERT_EQ(::read(toParent[0], &opened, 1), 1);
  ASSERT_EQ(opened, '1');
  SerialPort port;
  EXPECT_EQ(port.open(line.portPath().c_str(), PortRole::Sender), 0);
  EXPECT_EQ(port.openError(), PortError::Busy);
  (void)!::write(toChild[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(port.open(line.portPath().c_str(), PortRole::Sender), 1) << "free once the holder is gone";
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST_F(SerialPortTest, ConfigureTakesTheLineSpeedsAndRefusesOthers) {
  const struct { int32_t speed; speed_t code; } speeds[] = {
      {9600, B9600},     {19200, B19200},   {57600, B57600},   {115200, B115200},
      {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  SerialPort port;
  ASSERT_EQ(port.open(line.portPath().c_str(), PortRole::Receiver), 1);
  const int probe = ::open(line.portPath().c_str(), O_RDWR | O_NOCTTY);
  for (const auto& s : speeds) {
    ASSERT_EQ(port.configure(s.speed, PortRole::Receiver), 1) << s.speed;
    termios tio{};
    ASSERT_EQ(::tcgetattr(probe, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), s.code) << s.speed;
  }
  ::close(probe);
  EXPECT_EQ(port.configure(12345, PortRole::Sender), 0);
  EXPECT_EQ(writtenCodes(), std::vector<unsigned long>{EINVAL});
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
  SerialPort receiver;
  openPort(receiver, PortRole::Receiver);
  const std::vector<uint8_t> sent = allValuesPacket();

  // Peer to receiver, as one packet.
  line.peerWrite(sent);
  std::vector<uint8_t> got(kPacketSize);
  ASSERT_EQ(receiver.readPacket(got.data()), 1);
  EXPECT_EQ(receiver.lastReadCount(), kPacketSize);
  EXPECT_EQ(got, sent);

  // Receiver's replies to the peer, each value alone. Each is taken before the
  // next is sent: a reply abandons output still pending.
  for (int v = 0; v < 256; ++v) {
    ASSERT_EQ(receiver.sendReply(static_cast<uint8_t>(v)), 1);
    EXPECT_EQ(line.peerRead(1), std::vector<uint8_t>{static_cast<uint8_t>(v)});
  }
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedFromTheSender) {
  SerialPort sender;
  openPort(sender, PortRole::Sender);
  const std::vector<uint8_t> sent = allValuesPacket();
  EXPECT_EQ(sender.writePacket(sent.data()), 1);
  EXPECT_EQ(line.peerRead(kPacketSize), sent);

  // Any reply byte but "N" is taken as accepted.
  for (int v = 0; v < 256; ++v) {
    line.peerWrite({static_cast<uint8_t>(v)});
    const PacketResult expected = v == 'N' ? PacketResult::CrcFailed : PacketResult::Accepted;
    EXPECT_EQ(sender.waitReply(running), expected) << "reply byte " << v;
  }
  EXPECT_TRUE(writtenCodes().empty());
}

TEST_F(SerialPortTest, TheWaitForDataDiscardsEarlierInput) {
  SerialPort receiver;
  openPort(receiver, PortRole::Receiver);
  line.peerWrite(std::vector<uint8_t>(600, 0x55));  // a packet sent before the wait
  std::this_thread::sleep_for(50ms);

  auto wait = std::async(std::launch::async, [&] { return receiver.waitForData(running); });
  EXPECT_EQ(wait.wait_for(200ms), std::future_status::timeout) << "earlier input was not discarded";
  const std::vector<uint8_t> fresh = allValuesPacket();
  line.peerWrite(fresh);
  ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(wait.get(), 1);
  std::vector<uint8_t> got(kPacketSize);
  ASSERT_EQ(receiver.readPacket(got.data()), 1);
  EXPECT_EQ(receiver.lastReadCount(), kPacketSize);
  EXPECT_EQ(got, fresh);
}

TEST_F(SerialPortTest, AnAnswerToAReplyIsKeptEvenWhenItComesBeforeTheWait) {
  SerialPort receiver;
  openPort(receiver, PortRole::Receiver);
  line.peerWrite(std::vector<uint8_t>(100, 0x33));  // the torn rest of the last packet
  std::this_thread::sleep_for(30ms);
  ASSERT_EQ(receiver.sendReply('N'), 1);
  ASSERT_EQ(line.peerRead(1), std::vector<uint8_t>{'N'});
  const std::vector<uint8_t> again = allValuesPacket(3);
  line.peerWrite(again);  // the sender answers at once, before the receiver waits
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(receiver.waitForData(running), 1);
  std::vector<uint8_t> got(kPacketSize);
  ASSERT_EQ(receiver.readPacket(got.data()), 1);
  EXPECT_EQ(receiver.lastReadCount(), kPacketSize);
  EXPECT_EQ(got, again) << "input before the reply is discarded, the answer to it kept";
}

TEST_F(SerialPortTest, APacketReadEndsAtAGapOfMoreThan20Ms) {
  SerialPort receiver;
  openPort(receiver, PortRole::Receiver);
  const std::vector<uint8_t> sent = allValuesPacket();
  const struct { int32_t first; std::chrono::milliseconds gap; int32_t expected; } cases[] = {
      {300, 80ms, 300},         // the read ends at the gap; the rest comes too late
      {1, 80ms, 1},             // even right after the first byte
      {500, 3ms, kPacketSize},  // a short pause does not end it
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> got(kPacketSize, 0xEE);
    auto read = std::async(std::launch::async, [&] {
      return receiver.waitForData(running) == 1 && receiver.readPacket(got.data()) == 1;
    });
    std::this_thread::sleep_for(50ms);  // the wait has begun: its purge is behind us
    line.peerWrite({sent.begin(), sent.begin() + c.first});
    std::this_thread::sleep_for(c.gap);
    line.peerWrite({sent.begin() + c.first, sent.end()});
    ASSERT_EQ(read.wait_for(15s), std::future_status::ready);
    ASSERT_TRUE(read.get());
    ASSERT_EQ(receiver.lastReadCount(), c.expected) << "first " << c.first;
    EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + c.expected, got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + c.expected, got.end(), [](uint8_t b) { return b == 0xEE; }))
        << "bytes past the read keep what they held";
    std::this_thread::sleep_for(30ms);  // let the late rest arrive, for the next wait to discard
  }
}

TEST_F(SerialPortTest, ClearingRunningEndsEitherWaitWithoutReading) {
  SerialPort receiver;
  openPort(receiver, PortRole::Receiver);
  SerialPort sender;
  // A second line for the sender: one port per line.
  Line senderLine;
  ASSERT_EQ(sender.open(senderLine.portPath().c_str(), PortRole::Sender), 1);
  ASSERT_EQ(sender.configure(115200, PortRole::Sender), 1);

  auto forData = std::async(std::launch::async, [&] { return receiver.waitForData(running); });
  auto forReply = std::async(std::launch::async, [&] { return sender.waitReply(running); });
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(forData.wait_for(0ms), std::future_status::timeout);
  ASSERT_EQ(forReply.wait_for(0ms), std::future_status::timeout);
  const auto cleared = Clock::now();
  running = 0;
  ASSERT_EQ(forData.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(forReply.wait_for(5s), std::future_status::ready);
  // A few ms are the goal; the margin is for a loaded machine.
  EXPECT_LT(Clock::now() - cleared, 250ms);
  EXPECT_EQ(forData.get(), 0);
  EXPECT_EQ(forReply.get(), PacketResult::Failed);

  // A reply already queued is left for the next wait, and never discarded.
  senderLine.peerWrite({'N'});
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(sender.waitReply(running), PacketResult::Failed);
  const std::vector<uint8_t> packet = allValuesPacket();
  sender.writePacket(packet.data());
  running = 1;
  EXPECT_EQ(sender.waitReply(running), PacketResult::CrcFailed);
}

TEST_F(SerialPortTest, DrainLineLastsUntilThePacketHasLeftTheLine) {
  SerialPort sender;
  openPort(sender, PortRole::Sender, 19200);  // 1030 bytes take 536 ms
  const std::vector<uint8_t> packet = allValuesPacket();
  const auto start = Clock::now();
  sender.writePacket(packet.data());
  sender.drainLine();
  EXPECT_GE(Clock::now() - start, 530ms);
  EXPECT_EQ(line.peerRead(kPacketSize).size(), size_t(kPacketSize));

  // A reply proves the packet has gone, on a line faster than its speed too.
  sender.writePacket(packet.data());
  EXPECT_EQ(line.peerRead(kPacketSize).size(), size_t(kPacketSize));
  line.peerWrite({'A'});
  ASSERT_EQ(sender.waitReply(running), PacketResult::Accepted);
  const auto drained = Clock::now();
  sender.drainLine();
  EXPECT_LT(Clock::now() - drained, 300ms) << "the clock's 536 ms were not cut short by the reply";
}

// A real Windows port's write returns once the bytes are (nearly) sent, a pty's
// at once: line time counts from the start of the write, never twice.
TEST(LineClockTest, LineTimeCountsFromTheStartOfTheWrite) {
  LineClock clock;
  clock.setSpeed(115200);  // 1030 bytes: 89 ms
  const auto waited = [&clock] {
    const auto start = Clock::now();
    clock.waitIdle();
    return Clock::now() - start;
  };
  auto started = Clock::now();
  std::this_thread::sleep_for(89ms);  // a write that itself lasted the line time
  clock.queued(kPacketSize, started);
  EXPECT_LT(waited(), 20ms);
  started = Clock::now();  // a write that returned at once
  clock.queued(kPacketSize, started);
  EXPECT_GE(waited(), 85ms);
}

// Both roles on the two ends of a cable paced like a 115200 bit/s line.
TEST(SerialPortPair, OnePacketAndItsReplyCrossAPacedLine) {
  Cable cable(CableConfig{115200, {}, {}, false});
  std::atomic<uint8_t> running{1};
  Watchdog watchdog{running};
  SerialPort sender, receiver;
  ASSERT_EQ(sender.open(cable.endA().c_str(), PortRole::Sender), 1);
  ASSERT_EQ(sender.configure(115200, PortRole::Sender), 1);
  ASSERT_EQ(receiver.open(cable.endB().c_str(), PortRole::Receiver), 1);
  ASSERT_EQ(receiver.configure(115200, PortRole::Receiver), 1);

  for (uint8_t salt : {0, 1, 2}) {
    auto received = std::async(std::launch::async, [&] {
      std::vector<uint8_t> got(kPacketSize);
      if (receiver.waitForData(running) != 1 || receiver.readPacket(got.data()) != 1) got.clear();
      receiver.sendReply(salt == 1 ? 'N' : 'A');
      return got;
    });
    std::this_thread::sleep_for(20ms);  // the receiver is waiting
    const std::vector<uint8_t> packet = allValuesPacket(salt);
    ASSERT_EQ(sender.writePacket(packet.data()), 1);
    sender.drainLine();
    const PacketResult reply = sender.waitReply(running);
    ASSERT_EQ(received.wait_for(15s), std::future_status::ready);
    // The line's 87 us per byte never looks like a gap: one read takes the packet.
    EXPECT_EQ(received.get(), packet) << "packet " << int(salt);
    EXPECT_EQ(reply, salt == 1 ? PacketResult::CrcFailed : PacketResult::Accepted);
  }
}

}  // namespace
}  // namespace zarvek
