#include "cable/uart_fifo.h"

namespace zarvek::cable_internals {

// Strictly after: unpaced bytes share one due time and so fill one batch.
std::optional<UartFifo::Batch> UartFifo::timedOut(Clock::time_point now) {
  if (waiting_ == 0 || now <= deadline()) return std::nullopt;
  const Batch batch{waiting_, deadline()};
  waiting_ = 0;
  return batch;
}

std::optional<UartFifo::Batch> UartFifo::add(Clock::time_point due) {
  lastDue_ = due;
  if (++waiting_ < kTriggerLevel) return std::nullopt;
  waiting_ = 0;
  return Batch{kTriggerLevel, due};
}

}  // namespace zarvek::cable_internals
