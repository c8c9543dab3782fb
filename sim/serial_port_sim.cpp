// SerialPort on a SimLine end, for the engines' tests: the contracts of
// serial_port.h kept as the posix port keeps them, with every wait in the
// line's virtual time. Linked in place of serial/serial_port_posix.cpp.
#include <cerrno>

#include "serial/serial_port.h"
#include "serial/line_timing.h"
#include "sim/sim_line.h"

namespace zarvek {
namespace {

using sim::SimEnd;
using Time = sim::SimLine::Time;
using std::chrono::milliseconds;

using namespace line_timing;

Result failure(const char* step, int code) { return Result::failed(step, static_cast<unsigned long>(code)); }

auto stoppedUnless(const std::atomic<uint8_t>& running) {
  return [&running] { return !running.load(std::memory_order_relaxed); };
}

}  // namespace

std::string portDevicePath(const std::string& name) { return name; }

struct SerialPort::Device {
  explicit Device(const std::string& name) : end(name) {}
  SimEnd end;
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() = default;

Result SerialPort::open(const char* name, PortRole /*role*/) {
  device_.reset();
  discarded_ = false;
  auto device = std::make_unique<Device>(name);
  switch (device->end.error()) {
    case SimEnd::Error::NotFound:
      openError_ = PortError::NotFound;
      return failure("cannot open the port", ENOENT);
    case SimEnd::Error::Busy:
      openError_ = PortError::Busy;
      return failure("cannot hold the port", EWOULDBLOCK);
    case SimEnd::Error::None:
      break;
  }
  device_ = std::move(device);
  openError_ = PortError::None;
  return {};
}

Result SerialPort::configure(int32_t speed, PortRole /*role*/) {
  if (speed <= 0) return failure("cannot set the speed", EINVAL);
  device_->end.setSpeed(speed);
  line_.setSpeed(speed);
  return {};
}

bool SerialPort::waitForData(const std::atomic<uint8_t>& running) {
  SimEnd& end = device_->end;
  if (!discarded_) end.discardInput();
  discarded_ = false;
  end.wait(sim::SimLine::kNever, stoppedUnless(running), 1);
  return running.load(std::memory_order_relaxed) ? 1 : 0;
}

SerialPort::More SerialPort::waitForMore(const std::atomic<uint8_t>& running, milliseconds limit) {
  SimEnd& end = device_->end;
  end.wait(end.now() + limit, stoppedUnless(running), 1);
  if (!running.load(std::memory_order_relaxed)) return More::Stopped;
  return end.queued() > 0 ? More::Data : More::Quiet;
}

Result SerialPort::readPacket(std::span<uint8_t> buffer) {
  uint8_t* const packet = buffer.data();
  const int32_t size = static_cast<int32_t>(buffer.size());
  SimEnd& end = device_->end;
  const Time start = end.now();
  const Time totalEnd = start + kReadPerByte * size;
  // The gap runs from the last byte read, and only once a first one has come;
  // bytes queued before the read count as read at its start.
  Time last = SimEnd::kNoByte;
  int32_t count = 0;
  for (;;) {
    Time arrived{};
    const int32_t n = end.read(packet + count, size - count, &arrived);
    if (n > 0) {
      count += n;
      last = std::max(start, arrived);
    }
    if (count == size) break;
    const Time until = last == SimEnd::kNoByte ? totalEnd : std::min<Time>(totalEnd, last + kReadGap);
    if (end.now() >= until) break;
    end.wait(totalEnd, {}, size - count, kReadGap, last);
  }
  lastReadCount_ = count;
  return {};
}

void SerialPort::discardInput() {
  device_->end.discardInput();
  discarded_ = true;
}

void SerialPort::dropUntilQuiet(const std::atomic<uint8_t>& running) {
  SimEnd& end = device_->end;
  const Time start = end.now();
  // Until no byte has come for the gap, counted from now and then from each byte.
  end.wait(start + kDropLimit, stoppedUnless(running), INT32_MAX, kReadGap, start);
  if (running.load(std::memory_order_relaxed)) end.discardInput();
}

Result SerialPort::sendReply(uint8_t byte) {
  SimEnd& end = device_->end;
  end.abandonOutput();
  end.discardInput();
  discarded_ = true;
  end.write(&byte, 1);
  return {};
}

Result SerialPort::writePacket(std::span<const uint8_t> packet) { return write(packet); }

Result SerialPort::write(std::span<const uint8_t> bytes) {
  device_->end.write(bytes.data(), static_cast<int32_t>(bytes.size()));
  return {};
}

Result SerialPort::takeInput(std::span<uint8_t> into) {
  lastReadCount_ = device_->end.read(into.data(), static_cast<int32_t>(into.size()));
  return {};
}

SerialPort::Reply SerialPort::waitReply(const std::atomic<uint8_t>& running, milliseconds limit) {
  SimEnd& end = device_->end;
  const Time deadline = limit >= milliseconds::zero() ? end.outputDoneAt() + limit : sim::SimLine::kNever;
  end.wait(deadline, stoppedUnless(running), 1);
  if (!running.load(std::memory_order_relaxed)) return {Heard::Stopped, 0, {}};
  uint8_t byte = 0;
  if (end.read(&byte, 1) == 1) return {Heard::Byte, byte, {}};
  return {Heard::Quiet, 0, {}};
}

void SerialPort::drainLine() {
  SimEnd& end = device_->end;
  end.wait(end.outputDoneAt());
}

void SerialPort::pauseAfterLine(milliseconds pause) {
  drainLine();
  device_->end.sleepFor(pause);
}

}  // namespace zarvek
