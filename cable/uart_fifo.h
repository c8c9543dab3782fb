#pragma once
// When a 16550-style UART hands received bytes over: bytes that came off the
// line wait in its receive FIFO and go to the program in one batch once 14 are
// waiting (the trigger level), or once 4 character times have passed since the
// last one came with fewer waiting (the character time-out). A program reading
// such a port sees batches, and the relay wakes once per batch, not per byte.
#include <chrono>
#include <cstddef>
#include <optional>

namespace zarvek::cable_internals {

class UartFifo {
 public:
  using Clock = std::chrono::steady_clock;
  struct Batch {
    size_t size;           // the bytes that have waited longest, in order
    Clock::time_point at;  // when the program gets them
  };

  explicit UartFifo(Clock::duration byteTime) : timeout_(4 * byteTime) {}

  // The waiting bytes, if they timed out before `now`. Called with the due time
  // of each new byte before add, and as time passes.
  std::optional<Batch> timedOut(Clock::time_point now);
  // A byte came off the line at `due`; the batch it completes, if it is the 14th.
  std::optional<Batch> add(Clock::time_point due);
  // When the waiting bytes time out; max() when none wait.
  Clock::time_point deadline() const { return waiting_ > 0 ? lastDue_ + timeout_ : Clock::time_point::max(); }
  void clear() { waiting_ = 0; }

 private:
  static constexpr size_t kTriggerLevel = 14;

  const Clock::duration timeout_;
  size_t waiting_ = 0;
  Clock::time_point lastDue_{};
};

}  // namespace zarvek::cable_internals
