// The classic peer's port on a SimLine end: the same operations in virtual
// time. Writes are never refused, so nothing waits to write.
#include <cerrno>
#include <system_error>

#include "support/peer_port.h"
#include "sim/sim_line.h"

namespace zarvek::test {
using sim::SimEnd;
using sim::SimLine;

struct PeerPort::Device {
  explicit Device(const std::string& name) : end(name) {}
  SimEnd end;
};

PeerPort::PeerPort(const std::string& path) : device_(std::make_unique<Device>(path)) {
  if (device_->end.error() != SimEnd::Error::None) {
    const int code = device_->end.error() == SimEnd::Error::Busy ? EBUSY : ENOENT;
    throw std::system_error(code, std::generic_category(), "cannot open " + path);
  }
}

PeerPort::~PeerPort() = default;

bool PeerPort::waitForByte(const std::atomic<bool>& running) {
  device_->end.wait(SimLine::kNever, [&running] { return !running; }, 1);
  return running && device_->end.queued() > 0;
}

void PeerPort::waitForBytes(int want, Clock::duration gap, Clock::time_point since, Clock::time_point deadline) {
  device_->end.wait(deadline.time_since_epoch(), {}, want, gap, since.time_since_epoch());
}

int PeerPort::queued() { return device_->end.queued(); }
void PeerPort::purgeInput() { device_->end.discardInput(); }
void PeerPort::abandonOutput() { device_->end.abandonOutput(); }

int PeerPort::read(uint8_t* data, int n, Clock::time_point* lastArrival) {
  SimLine::Time arrived{};
  const int got = device_->end.read(data, n, &arrived);
  if (got > 0 && lastArrival) *lastArrival = Clock::time_point(arrived);
  return got;
}

int PeerPort::write(const uint8_t* data, int n) {
  device_->end.write(data, n);
  return n;
}

void PeerPort::waitWritable(Clock::duration) {}
void PeerPort::sleepFor(Clock::duration duration) { device_->end.sleepFor(duration); }
PeerPort::Clock::time_point PeerPort::now() { return Clock::time_point(device_->end.now()); }

}  // namespace zarvek::test
