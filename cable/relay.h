#pragma once
// One direction of the cable: takes what one end wrote, applies the faults,
// paces the line and hands each byte to the other end when the receiving side
// would: as it comes off the line, in UART batches or in USB packets.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "cable/cable.h"
#include "cable/fd.h"
#include "cable/receive_fifo.h"

namespace zarvek::cable_internals {

using Clock = std::chrono::steady_clock;

class Relay {
 public:
  Relay(int from, int to, const CableConfig& config, const FaultPlan& plan, const std::atomic<bool>& unplugged);

  void setFaults(const FaultPlan& plan);
  void injectNoise(uint8_t value);  // from any thread
  std::vector<LoggedByte> log() const;
  uint64_t bytesIn() const { return bytesIn_.load(); }

  // Relays until the eventfd `stop` becomes readable; run on a thread of its own.
  void run(int stop);

 private:
  struct InFlight {
    uint8_t value;
    bool startsBatch;              // written apart from the bytes before it
    Clock::duration latency;       // of the adapter, for this byte's burst
    Clock::time_point due;         // off the line
    Clock::time_point handedOver;  // to the far end; max() while waiting in the FIFO
  };

  uint64_t errorSkip();
  Clock::duration drawLatency();
  void accept(const uint8_t* data, size_t n, Clock::time_point arrival);
  Clock::time_point lineUpNoise(Clock::time_point now);
  void putOnLine(uint8_t value, Clock::time_point from, bool lost);
  void receive(uint8_t value, Clock::time_point due);
  void handOver(const ReceiveFifo::Batch& batch);
  Clock::time_point handOverTime(Clock::time_point ready, Clock::duration latency);
  Clock::time_point nextHandOver() const;
  void deliverDue(Clock::time_point now);
  size_t record(size_t n, Clock::time_point at);
  void unrecord(size_t logged, size_t unwritten);

  const int from_, to_;
  const std::atomic<bool>& unplugged_;
  const bool keepLog_;
  const bool uartBothWays_;
  const int usbBothWays_;
  const Clock::duration byteTime_;

  std::mutex planMutex_;  // plan_ and the state below, against setFaults and injectNoise
  FaultPlan plan_;
  ReceiveFifo receiver_;  // how the far end receives, as the plan says: empty, a pattern for fifo_
  std::mt19937_64 random_;
  uint64_t bitsSeen_ = 0;
  uint64_t nextErrorBit_ = 0;
  std::mt19937_64 latencyRandom_;
  Clock::duration burstLatency_{};
  std::multimap<Clock::time_point, uint8_t> noise_;  // by when each goes on the line
  Fd wake_;  // an eventfd: injectNoise wakes the loop with it

  std::atomic<uint64_t> bytesIn_{0};
  Clock::time_point lineFree_{};
  std::deque<InFlight> inFlight_;  // in order of hand-over
  ReceiveFifo fifo_;               // its waiting bytes are the last in inFlight_
  Clock::time_point lastHandedOver_{};
  Clock::time_point blockedSince_{};  // epoch: not blocked

  mutable std::mutex logMutex_;
  std::vector<LoggedByte> log_;
};

}  // namespace zarvek::cable_internals
