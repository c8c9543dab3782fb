#include "cable/relay.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

namespace zarvek::cable_internals {
namespace {

using namespace std::chrono_literals;

// How long a far end may keep its input queue full before bytes are lost.
constexpr auto kOverrunWait = 50ms;
constexpr auto kRetryInterval = 1ms;
// A byte within a burst may wait this long for the ones after it, so that the
// relay wakes about once a millisecond, not for every byte; the last byte of a
// burst or a batch, which a reader waiting for a packet or a reply sees, is
// handed over on time.
constexpr auto kGather = 1ms;
// Beyond this many bytes in flight the relay stops reading, so a writer far
// ahead of a slow line blocks as it would on a real port's output queue.
constexpr size_t kMaxInFlight = 64 * 1024;

}  // namespace

Relay::Relay(int from, int to, const CableConfig& config, const FaultPlan& plan, const std::atomic<bool>& unplugged)
    : from_(from), to_(to), unplugged_(unplugged), keepLog_(config.keepLog), uartBothWays_(config.uart),
      usbBothWays_(config.usbLatencyMs),
      byteTime_(config.baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / config.baud) : 0ns),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wake_.get() < 0) fail("eventfd");
  setFaults(plan);
  fifo_ = receiver_;
}

void Relay::setFaults(const FaultPlan& plan) {
  std::lock_guard lock(planMutex_);
  plan_ = plan;
  const int usbMs = plan.usbLatencyMs > 0 ? plan.usbLatencyMs : usbBothWays_;
  receiver_ = usbMs > 0                      ? ReceiveFifo::usb(std::chrono::milliseconds(usbMs))
              : uartBothWays_ || plan.uart ? ReceiveFifo::uart(byteTime_)
                                           : ReceiveFifo();
  random_.seed(plan.seed);
  // A stream of its own, so turning latency on changes no bit error.
  latencyRandom_.seed(~plan.seed);
  nextErrorBit_ = bitsSeen_ + errorSkip();
}

void Relay::injectNoise(uint8_t value) {
  {
    std::lock_guard lock(planMutex_);
    noise_.emplace(Clock::now(), value);
  }
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

std::vector<LoggedByte> Relay::log() const {
  std::lock_guard lock(logMutex_);
  return log_;
}

void Relay::run(int stop) {
  ::prctl(PR_SET_TIMERSLACK, 1UL);  // wake at the deadline, not up to 50 us after it
  // A UART is hardware and is never late; where allowed, the relay runs ahead
  // of ordinary threads. Each wake-up does bounded work, then blocks again.
  const sched_param realtime{1};
  ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
  uint8_t buffer[4096];
  for (;;) {
    Clock::time_point deadline;
    {
      std::lock_guard lock(planMutex_);
      deadline = lineUpNoise(Clock::now());
    }
    if (const auto batch = fifo_.timedOut(Clock::now())) handOver(*batch);
    deliverDue(Clock::now());
    const bool blocked = blockedSince_ != Clock::time_point{};
    pollfd fds[3] = {{stop, POLLIN, 0},
                     {from_, static_cast<short>(inFlight_.size() < kMaxInFlight ? POLLIN : 0), 0},
                     {wake_.get(), POLLIN, 0}};
    deadline = std::min(deadline, fifo_.deadline());
    // A full far end is retried each millisecond, not polled for room: a pty
    // may report room that a write then cannot use, and this thread must not spin.
    if (blocked) deadline = std::min(deadline, Clock::now() + kRetryInterval);
    else deadline = std::min(deadline, nextHandOver());
    timespec timeout{};
    timespec* wait = nullptr;  // nothing to do at any time: sleep until input or stop
    if (deadline != Clock::time_point::max()) {
      const auto left = std::max<Clock::duration>(deadline - Clock::now(), 0ns);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
      wait = &timeout;
    }
    if (::ppoll(fds, 3, wait, nullptr) < 0 && errno != EINTR) return;
    if (fds[0].revents) return;
    if (fds[2].revents & POLLIN) {
      uint64_t count;
      (void)!::read(wake_.get(), &count, sizeof count);
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t n = ::read(from_, buffer, sizeof buffer);
      if (n > 0) accept(buffer, static_cast<size_t>(n), Clock::now());
    }
  }
}

// Bits until the next flipped one: geometric, so a low error rate costs one
// draw per error rather than one per bit.
uint64_t Relay::errorSkip() {
  const double p = plan_.bitErrorRate;
  if (p <= 0) return std::numeric_limits<uint64_t>::max() / 2;
  if (p >= 1) return 0;
  const double u = (static_cast<double>(random_() >> 11) + 1.0) * 0x1p-53;  // (0, 1]
  return static_cast<uint64_t>(std::min(std::floor(std::log(u) / std::log1p(-p)), 0x1p62));
}

Clock::duration Relay::drawLatency() {
  if (plan_.latencyMaxMs <= 0) return 0ns;
  const int64_t least = int64_t{std::max(plan_.latencyMinMs, 0)} * 1000;
  std::uniform_int_distribution<int64_t> microseconds(least, std::max(least, int64_t{plan_.latencyMaxMs} * 1000));
  return std::chrono::microseconds(microseconds(latencyRandom_));
}

void Relay::accept(const uint8_t* data, size_t n, Clock::time_point arrival) {
  std::lock_guard lock(planMutex_);
  lineUpNoise(arrival);  // noise that came first goes first
  for (size_t i = 0; i < n; ++i) {
    const uint64_t index = bytesIn_.fetch_add(1);
    uint8_t value = data[i];
    for (const auto& r : plan_.replaces)
      if (r.byteIndex == index) value = r.value;
    for (const auto& f : plan_.flips)
      if (f.byteIndex == index) value ^= static_cast<uint8_t>(1u << (f.bit & 7));
    for (; nextErrorBit_ < bitsSeen_ + 8; nextErrorBit_ += 1 + errorSkip())
      value ^= static_cast<uint8_t>(1u << (nextErrorBit_ - bitsSeen_));
    bitsSeen_ += 8;
    if (unplugged_.load()) continue;
    auto pause = 0ns;
    for (const auto& p : plan_.pauses)
      if (p.beforeByte == index) pause += std::chrono::milliseconds(p.milliseconds);
    // A dropped byte still took its time on the line.
    putOnLine(value, std::max(arrival, lineFree_) + pause,
              std::find(plan_.drops.begin(), plan_.drops.end(), index) != plan_.drops.end());
    // Noise goes on the line a byte time early, so it comes off it delayMs after this byte.
    for (const auto& noise : plan_.noises)
      if (noise.afterByte == index)
        noise_.emplace(lineFree_ + std::chrono::milliseconds(noise.delayMs) - byteTime_, noise.value);
  }
}

// Puts the noise whose moment has come on the line; returns when the next is due.
Clock::time_point Relay::lineUpNoise(Clock::time_point now) {
  for (auto next = noise_.begin(); next != noise_.end() && next->first <= now; next = noise_.erase(next))
    if (!unplugged_.load()) putOnLine(next->second, std::max(next->first, lineFree_), false);
  return noise_.empty() ? Clock::time_point::max() : noise_.begin()->first;
}

// A UART sends a byte once the one before is out: it starts at `from` (not
// before the line is free) and comes off the line 10 bits later.
void Relay::putOnLine(uint8_t value, Clock::time_point from, bool lost) {
  if (from > lineFree_) burstLatency_ = drawLatency();  // the line was idle: a new burst
  lineFree_ = from + byteTime_;
  if (!lost) receive(value, lineFree_);
}

// A byte came off the line at `due`: it goes to the far end now, or waits in
// the UART's FIFO or the USB adapter for its batch.
void Relay::receive(uint8_t value, Clock::time_point due) {
  // Bytes still waiting from before go first: once timed out, or all of them
  // when new faults changed how the far end receives.
  const bool changed = !fifo_.sameKind(receiver_);
  if (const auto batch = fifo_.timedOut(changed ? Clock::time_point::max() : due)) handOver(*batch);
  if (changed) fifo_ = receiver_;
  if (!fifo_.holdsBytes()) {
    inFlight_.push_back({value, false, burstLatency_, due, handOverTime(due, burstLatency_)});
    return;
  }
  inFlight_.push_back({value, false, burstLatency_, due, Clock::time_point::max()});
  if (const auto batch = fifo_.add(due)) handOver(*batch);
}

void Relay::handOver(const ReceiveFifo::Batch& batch) {
  const auto first = inFlight_.end() - static_cast<ptrdiff_t>(batch.size);
  first->startsBatch = true;
  for (auto byte = first; byte != inFlight_.end(); ++byte) byte->handedOver = handOverTime(batch.at, byte->latency);
}

// Late by the adapter's latency, and never before a byte that came earlier.
Clock::time_point Relay::handOverTime(Clock::time_point ready, Clock::duration latency) {
  lastHandedOver_ = std::max(ready + latency, lastHandedOver_);
  return lastHandedOver_;
}

// When bytes must next be handed over: when a burst or batch ends, or when the
// first byte waiting has waited kGather, whichever comes first. Bytes handed
// over together all came off the line before, so none is early.
Clock::time_point Relay::nextHandOver() const {
  if (inFlight_.empty() || inFlight_.front().handedOver == Clock::time_point::max()) return Clock::time_point::max();
  const auto latest = inFlight_.front().handedOver + kGather;
  // Bounded: bytes due within kGather of the first, or handed over together.
  const size_t scan = std::min<size_t>(inFlight_.size(), 4096);
  for (size_t i = 0; i < scan; ++i) {
    const InFlight& byte = inFlight_[i];
    if (byte.handedOver >= latest) return latest;
    const bool endsRun = i + 1 == inFlight_.size() || inFlight_[i + 1].startsBatch ||
                         inFlight_[i + 1].handedOver > byte.handedOver + byteTime_;
    if (endsRun) return byte.handedOver;
  }
  return inFlight_[scan - 1].handedOver;
}

// Writes every byte whose time has come. When the far end's queue is full it
// waits (without stalling the loop) and drops the due bytes after kOverrunWait.
void Relay::deliverDue(Clock::time_point now) {
  if (unplugged_.load()) {
    inFlight_.clear();
    fifo_.clear();
    blockedSince_ = {};
  }
  uint8_t out[4096];
  while (!inFlight_.empty() && inFlight_.front().handedOver <= now) {
    // A batch is one write, so the far end (and the log) sees it whole.
    size_t n = 0;
    for (; n < inFlight_.size() && n < sizeof out && inFlight_[n].handedOver <= now && !(n > 0 && inFlight_[n].startsBatch);
         ++n)
      out[n] = inFlight_[n].value;
    // Logged before the write, so a reader that has a byte finds it in the log.
    const size_t logged = record(n, Clock::now());
    const ssize_t written = std::max<ssize_t>(::write(to_, out, n), 0);
    unrecord(logged, n - static_cast<size_t>(written));
    if (written > 0) {
      inFlight_.erase(inFlight_.begin(), inFlight_.begin() + written);
      blockedSince_ = {};
    }
    if (static_cast<size_t>(written) == n) continue;
    if (blockedSince_ == Clock::time_point{}) {
      blockedSince_ = now;
      return;
    }
    if (now - blockedSince_ < kOverrunWait) return;
    inFlight_.erase(inFlight_.begin(), inFlight_.begin() + static_cast<ptrdiff_t>(n - static_cast<size_t>(written)));
    blockedSince_ = {};
  }
}

size_t Relay::record(size_t n, Clock::time_point at) {
  if (!keepLog_) return 0;
  std::lock_guard lock(logMutex_);
  for (size_t i = 0; i < n; ++i) log_.push_back({inFlight_[i].value, at, inFlight_[i].due});
  return n;
}

void Relay::unrecord(size_t logged, size_t unwritten) {
  if (logged == 0 || unwritten == 0) return;
  std::lock_guard lock(logMutex_);
  log_.resize(log_.size() - unwritten);
}

}  // namespace zarvek::cable_internals
