// What only the Linux build shows: the line clock alone (a pty's write returns at once, so the
// ports' contract never shows a write that itself lasted the line time), and the speeds a tty takes.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "serial/line_clock.h"
#include "serial/serial_port.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

}  // namespace
}  // namespace zarvek
