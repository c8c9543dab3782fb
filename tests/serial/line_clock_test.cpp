// The line clock alone: a pty's write returns at once, so the ports' contract
// never shows a write that itself lasted the line time.
#include <gtest/gtest.h>

#include <thread>

#include "protocol/packet.h"
#include "serial/line_clock.h"

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

}  // namespace
}  // namespace zarvek
