#include "sim/sim_line.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace zarvek::sim {
namespace {

using namespace std::chrono_literals;

// How often a blocked end looks at its `stopped` by itself: a test that clears
// a `running` and forgets wake() is slowed, not hung.
constexpr auto kSlice = 5ms;

// Lines open by their number in "sim:<n>:A".
std::mutex registryMutex;
std::map<int, SimLine*> registry;
std::atomic<int> nextId{1};

SimLine::End other(SimLine::End end) { return end == SimLine::A ? SimLine::B : SimLine::A; }

}  // namespace

struct SimLine::Wait {
  Time until;
  std::function<bool()> stopped;
  int32_t bytes;
  Time gap;
  Time since;
};

SimLine::SimLine(int32_t bitsPerSecond) : id_(nextId++) {
  for (Direction& d : directions_) d.speed = bitsPerSecond;
  std::lock_guard lock(registryMutex);
  registry[id_] = this;
}

SimLine::~SimLine() {
  std::lock_guard lock(registryMutex);
  registry.erase(id_);
}

std::string SimLine::portName(End end) const { return "sim:" + std::to_string(id_) + (end == A ? ":A" : ":B"); }

void SimLine::addFault(End from, int64_t index, Fault fault) {
  std::lock_guard lock(mutex_);
  directions_[from].faults.emplace(index, fault);
}

void SimLine::flip(End from, int64_t index, uint8_t mask) { addFault(from, index, {Fault::Flip, mask}); }
void SimLine::replace(End from, int64_t index, uint8_t value) { addFault(from, index, {Fault::Replace, value}); }
void SimLine::drop(End from, int64_t index) { addFault(from, index, {Fault::Drop, 0}); }
void SimLine::insert(End from, int64_t index, uint8_t value) { addFault(from, index, {Fault::Insert, value}); }

std::vector<SimLine::Write> SimLine::writes(End from) const {
  std::lock_guard lock(mutex_);
  return directions_[from].writes;
}

std::vector<SimLine::Arrival> SimLine::arrivals(End from) const {
  std::lock_guard lock(mutex_);
  return directions_[from].arrivals;
}

SimLine::Time SimLine::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

SimLine::Time SimLine::slotEnd(const Direction& d, int64_t slot) const {
  // From the burst's start, so that rounding never adds up.
  return d.burstStart + Time((slot + 1) * 10 * 1'000'000'000LL / d.burstSpeed);
}

SimLine::Time SimLine::wakeTime(End end, const Wait& wait) const {
  if (wait.stopped && wait.stopped()) return now_;
  Time at = wait.until;
  if (wait.bytes <= 0) return at;
  // As a reader that takes each byte the moment it arrives would see them.
  const Direction& in = directions_[other(end)];
  Time last = wait.since;
  int32_t count = 0;
  for (size_t i = in.read; i < in.arrivals.size(); ++i) {
    const Time arrival = in.arrivals[i].at;
    if (wait.gap > Time::zero() && last != SimEnd::kNoByte && arrival > last + wait.gap) break;
    last = std::max(last, arrival);
    if (++count == wait.bytes) return std::min(at, last);
  }
  if (wait.gap > Time::zero() && last != SimEnd::kNoByte) at = std::min(at, last + wait.gap);
  return at;
}

void SimLine::advanceIfAllBlocked() {
  Time next = kNever;
  for (int e = 0; e < 2; ++e) {
    if (!ports_[e].open) continue;
    if (!ports_[e].wait) return;  // running: the clock waits for it
    next = std::min(next, wakeTime(End(e), *ports_[e].wait));
  }
  if (next == kNever) {
    stallCv_.notify_all();
    return;
  }
  now_ = std::max(now_, next);
  for (int e = 0; e < 2; ++e) {
    if (ports_[e].wait && wakeTime(End(e), *ports_[e].wait) <= now_) ports_[e].cv.notify_all();
  }
}

bool SimLine::stalled() const {
  bool any = false;
  for (int e = 0; e < 2; ++e) {
    if (!ports_[e].open) continue;
    if (!ports_[e].wait || wakeTime(End(e), *ports_[e].wait) != kNever) return false;
    any = true;
  }
  return any;
}

bool SimLine::waitStalled(std::chrono::milliseconds guard) {
  const auto until = std::chrono::steady_clock::now() + guard;
  std::unique_lock lock(mutex_);
  while (!stalled()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    stallCv_.wait_for(lock, kSlice);
  }
  return true;
}

void SimLine::tamper(End from, size_t write, std::function<void(uint8_t*, int32_t)> change) {
  std::lock_guard lock(mutex_);
  directions_[from].tampers[write] = std::move(change);
}

void SimLine::wake() {
  std::lock_guard lock(mutex_);
  for (Port& p : ports_) p.cv.notify_all();
}

SimEnd::SimEnd(const std::string& name) {
  int id = 0, length = 0;
  char letter = 0;
  const bool named = std::sscanf(name.c_str(), "sim:%d:%c%n", &id, &letter, &length) == 2 &&
                     static_cast<size_t>(length) == name.size() && (letter == 'A' || letter == 'B');
  std::lock_guard registryLock(registryMutex);
  const auto found = named ? registry.find(id) : registry.end();
  if (found == registry.end()) {
    error_ = Error::NotFound;
    return;
  }
  const SimLine::End end = letter == 'A' ? SimLine::A : SimLine::B;
  std::lock_guard lock(found->second->mutex_);
  SimLine::Port& port = found->second->ports_[end];
  if (port.open) {
    error_ = Error::Busy;
    return;
  }
  port.open = true;
  line_ = found->second;
  end_ = end;
}

SimEnd::~SimEnd() {
  if (!line_) return;
  std::lock_guard lock(line_->mutex_);
  line_->ports_[end_].open = false;
  // Its input goes with it, as a tty's does at the last close.
  SimLine::Direction& in = line_->directions_[other(end_)];
  while (in.read < in.arrivals.size() && in.arrivals[in.read].at <= line_->now_) ++in.read;
  // The end left may have been waiting only for this one.
  line_->advanceIfAllBlocked();
}

void SimEnd::setSpeed(int32_t bitsPerSecond) {
  std::lock_guard lock(line_->mutex_);
  line_->directions_[end_].speed = bitsPerSecond;
}

void SimEnd::write(const uint8_t* data, int32_t n) {
  std::lock_guard lock(line_->mutex_);
  SimLine::Direction& d = line_->directions_[end_];
  const SimLine::Time now = line_->now_;
  std::vector<uint8_t> bytes(data, data + n);
  if (const auto t = d.tampers.find(d.writes.size()); t != d.tampers.end()) t->second(bytes.data(), n);
  data = bytes.data();
  d.writes.push_back({d.written, n, now});
  // Behind what is still on the line, else from now.
  if (d.freeAt < now || d.burstSpeed != d.speed || d.burstSlots == 0) {
    d.burstStart = std::max(now, d.freeAt);
    d.burstSlots = 0;
    d.burstSpeed = d.speed;
  }
  auto send = [&](uint8_t value, bool arrives) {
    const SimLine::Time at = line_->slotEnd(d, d.burstSlots++);
    if (arrives) d.arrivals.push_back({value, at});
  };
  for (int32_t i = 0; i < n; ++i) {
    uint8_t value = data[i];
    bool arrives = true;
    const auto [first, last] = d.faults.equal_range(d.written + i);
    for (auto f = first; f != last; ++f) {
      if (f->second.kind == SimLine::Fault::Insert) send(f->second.value, true);
    }
    for (auto f = first; f != last; ++f) {
      switch (f->second.kind) {
        case SimLine::Fault::Flip: value ^= f->second.value; break;
        case SimLine::Fault::Replace: value = f->second.value; break;
        case SimLine::Fault::Drop: arrives = false; break;
        case SimLine::Fault::Insert: break;
      }
    }
    send(value, arrives);  // a dropped byte still takes its time on the line
  }
  d.written += n;
  if (d.burstSlots > 0) d.freeAt = line_->slotEnd(d, d.burstSlots - 1);
}

void SimEnd::abandonOutput() {
  std::lock_guard lock(line_->mutex_);
  SimLine::Direction& d = line_->directions_[end_];
  const SimLine::Time now = line_->now_;
  if (d.freeAt <= now) return;
  // The byte already begun goes out whole; the slots after it are never used.
  const int64_t elapsed = (now - d.burstStart).count();
  const int64_t begun = (elapsed * d.burstSpeed + 10 * 1'000'000'000LL - 1) / (10 * 1'000'000'000LL);
  d.burstSlots = std::min(d.burstSlots, begun);
  d.freeAt = d.burstSlots > 0 ? line_->slotEnd(d, d.burstSlots - 1) : now;
  while (d.arrivals.size() > d.read && d.arrivals.back().at > d.freeAt) d.arrivals.pop_back();
}

int32_t SimEnd::queued() const {
  std::lock_guard lock(line_->mutex_);
  const SimLine::Direction& in = line_->directions_[other(end_)];
  int32_t n = 0;
  for (size_t i = in.read; i < in.arrivals.size() && in.arrivals[i].at <= line_->now_; ++i) ++n;
  return n;
}

int32_t SimEnd::discardInput() {
  return read(nullptr, std::numeric_limits<int32_t>::max());
}

int32_t SimEnd::read(uint8_t* data, int32_t max, Time* lastArrival) {
  std::lock_guard lock(line_->mutex_);
  SimLine::Direction& in = line_->directions_[other(end_)];
  int32_t n = 0;
  for (; n < max && in.read < in.arrivals.size() && in.arrivals[in.read].at <= line_->now_; ++n, ++in.read) {
    if (data) data[n] = in.arrivals[in.read].value;
    if (lastArrival) *lastArrival = in.arrivals[in.read].at;
  }
  return n;
}

SimLine::Time SimEnd::outputDoneAt() const {
  std::lock_guard lock(line_->mutex_);
  return line_->directions_[end_].freeAt;
}

void SimEnd::wait(Time until, std::function<bool()> stopped, int32_t bytes, Time gap, Time since) {
  const SimLine::Wait wait{until, std::move(stopped), bytes, gap, since};
  std::unique_lock lock(line_->mutex_);
  SimLine::Port& port = line_->ports_[end_];
  port.wait = &wait;
  // Each time round: either it may run now, or it is blocked and the clock may move.
  while (line_->wakeTime(end_, wait) > line_->now_) {
    line_->advanceIfAllBlocked();
    if (line_->wakeTime(end_, wait) <= line_->now_) break;
    port.cv.wait_for(lock, kSlice);
  }
  port.wait = nullptr;
}

}  // namespace zarvek::sim
