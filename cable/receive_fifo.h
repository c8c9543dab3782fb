#pragma once
// When the receiving side hands bytes that came off the line to the program.
// A 16550-style UART keeps them in its receive FIFO and hands them over in one
// batch once 14 wait (the trigger level), or once 4 character times have
// passed since the last one came with fewer waiting (the character time-out).
// A USB serial adapter gathers them for a 64-byte USB packet (2 status bytes,
// 62 of data) and sends it once full, or when its latency timer, started by
// the first byte it holds, runs out. A program reading such a port sees
// batches, and the relay wakes once per batch, not per byte.
#include <chrono>
#include <cstddef>
#include <optional>

namespace zarvek::cable_internals {

class ReceiveFifo {
 public:
  using Clock = std::chrono::steady_clock;
  struct Batch {
    size_t size;           // the bytes that have waited longest, in order
    Clock::time_point at;  // when the program gets them
  };

  ReceiveFifo() = default;  // none: each byte is handed over as it comes off the line
  static ReceiveFifo uart(Clock::duration byteTime) { return {14, 4 * byteTime, false}; }
  static ReceiveFifo usb(Clock::duration latencyTimer) { return {62, latencyTimer, true}; }

  bool holdsBytes() const { return triggerLevel_ > 0; }
  bool sameKind(const ReceiveFifo& other) const {
    return triggerLevel_ == other.triggerLevel_ && timeout_ == other.timeout_ && fromFirst_ == other.fromFirst_;
  }

  // The waiting bytes, if they timed out before `now`. Called with the due time
  // of each new byte before add, and as time passes.
  std::optional<Batch> timedOut(Clock::time_point now);
  // A byte came off the line at `due`; the batch it completes, if it fills one.
  std::optional<Batch> add(Clock::time_point due);
  // When the waiting bytes time out; max() when none wait.
  Clock::time_point deadline() const { return waiting_ > 0 ? timerStart_ + timeout_ : Clock::time_point::max(); }
  void clear() { waiting_ = 0; }

 private:
  ReceiveFifo(size_t triggerLevel, Clock::duration timeout, bool fromFirst)
      : triggerLevel_(triggerLevel), timeout_(timeout), fromFirst_(fromFirst) {}

  size_t triggerLevel_ = 0;
  Clock::duration timeout_{};
  bool fromFirst_ = false;  // the timer starts with the first waiting byte, not the last
  size_t waiting_ = 0;
  Clock::time_point timerStart_{};
};

}  // namespace zarvek::cable_internals
