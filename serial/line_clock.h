#pragma once
// When the bytes written so far will have left the line. A write to a tty (and
// WriteFile under Wine) returns once the bytes are queued, but the protocol's
// pauses assume the packet has gone: 1030 bytes take 89 ms at 115200 bit/s.
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

  // Counts `bytes` just handed to the driver: 10 bits each on an 8N1 line.
  void queued(int64_t bytes) {
    if (speed_ <= 0 || bytes <= 0) return;
    const auto now = Clock::now();
    const auto lineTime = std::chrono::nanoseconds(bytes * 10 * 1'000'000'000LL / speed_);
    busyUntil_ = std::max(busyUntil_, now) + lineTime;
  }

  // An answer to the bytes written so far has come back, so they have left the
  // line, however slow the clock took it to be (a line faster than its speed,
  // the virtual cable unpaced, would otherwise pile up line time packet after packet).
  void answered() { busyUntil_ = std::min(busyUntil_, Clock::now()); }

  // Blocks until the counted bytes have left the line.
  void waitIdle() const { std::this_thread::sleep_until(busyUntil_); }

  Clock::time_point busyUntil() const { return busyUntil_; }

 private:
  int32_t speed_ = 0;
  Clock::time_point busyUntil_{};
};

}  // namespace zarvek
