#pragma once
// When the bytes written so far will have left the line. A write to a tty (and
// WriteFile under Wine) returns once the bytes are queued, while a write to a
// real Windows port returns once they are (nearly) sent; the protocol's pauses
// assume the packet has gone either way: 1030 bytes take 89 ms at 115200 bit/s.
// Line time is therefore counted from the moment the write began, so a write
// that itself lasted the line time leaves nothing more to wait.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace zarvek {

class LineClock {
 public:
  using Clock = std::chrono::steady_clock;

  void setSpeed(int32_t bitsPerSecond) { speed_ = bitsPerSecond; }
  int32_t speed() const { return speed_; }

  // Counts `bytes` whose write began at `started`: 10 bits each on an 8N1 line,
  // behind whatever was still on the line then.
  void queued(int64_t bytes, Clock::time_point started) {
    if (speed_ <= 0 || bytes <= 0) return;
    const auto lineTime = std::chrono::nanoseconds(bytes * 10 * 1'000'000'000LL / speed_);
    busyUntil_ = std::max(busyUntil_, started) + lineTime;
  }

  // An answer to the bytes written so far has come back, so they have left the
  // line, however slow the clock took it to be (a line faster than its speed,
  // the virtual cable unpaced, would otherwise pile up line time packet after packet).
  void answered() { busyUntil_ = std::min(busyUntil_, Clock::now()); }

  // When the counted bytes will have left the line.
  Clock::time_point idleAt() const { return busyUntil_; }

  // Blocks until the counted bytes have left the line.
  void waitIdle() const { std::this_thread::sleep_until(busyUntil_); }

 private:
  int32_t speed_ = 0;
  Clock::time_point busyUntil_{};
};

}  // namespace zarvek
