#include "cable/receive_fifo.h"

namespace zarvek::cable_internals {

// Strictly after: unpaced bytes share one due time and so fill one batch.
std::optional<ReceiveFifo::Batch> ReceiveFifo::timedOut(Clock::time_point now) {
  if (waiting_ == 0 || now <= deadline()) return std::nullopt;
  const Batch batch{waiting_, deadline()};
  waiting_ = 0;
  return batch;
}

std::optional<ReceiveFifo::Batch> ReceiveFifo::add(Clock::time_point due) {
  if (waiting_ == 0 || !fromFirst_) timerStart_ = due;
  if (++waiting_ < triggerLevel_) return std::nullopt;
  waiting_ = 0;
  return Batch{triggerLevel_, due};
}

}  // namespace zarvek::cable_internals
