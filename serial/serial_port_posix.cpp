// SerialPort on Linux: a tty (a serial device, a USB adapter or a pty end) in
// raw 8N1 through termios. Waits block in poll() in short slices so that a
// cleared `running` is seen within a few ms while an idle line costs no CPU.
#include "serial/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/unique_fd_posix.h"
#include "serial/line_speeds.h"
#include "serial/line_timing.h"
#include "serial/port_name.h"

namespace zarvek {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using namespace line_timing;

Result failure(const char* step, int code) { return Result::failed(step, static_cast<unsigned long>(code)); }

PortError errorFromErrno(int code) {
  switch (code) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return PortError::NotFound;
    case EBUSY:
    case EWOULDBLOCK:
      return PortError::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
      return PortError::NotPermitted;
    default:
      return PortError::Other;
  }
}

bool speedCode(int32_t speed, speed_t* code) {
  struct Entry { int32_t bits; speed_t code; };
  static constexpr Entry kSpeeds[] = {
      {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
      {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
      {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  static_assert(std::size(kSpeeds) == std::size(kLineSpeeds), "a code for every speed the ports take");
  if (!isLineSpeed(speed)) return false;
  for (const Entry& e : kSpeeds) {
    if (e.bits == speed) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

// Waits up to `timeout` for `events` on fd. The revents, 0 on time-out or EINTR.
short pollFor(int fd, short events, Clock::duration timeout) {
  if (timeout < Clock::duration::zero()) timeout = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
  const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  pollfd p{fd, events, 0};
  if (::ppoll(&p, 1, &ts, nullptr) <= 0) return 0;
  return p.revents;
}

// Waits one slice for input. True when a byte can be read. A hung-up line (a
// pty whose other end is gone) reports POLLHUP at once; the slice is slept out
// then, so that a wait on it does not spin.
bool sliceForInput(int fd) {
  const auto start = Clock::now();
  const short revents = pollFor(fd, POLLIN, kWaitSlice);
  if (revents & POLLIN) return true;
  if (revents) std::this_thread::sleep_until(start + kWaitSlice);
  return false;
}

// Reads and drops what comes until the line has been quiet for kReadGap, for
// at most kDropLimit and no longer than `running` stays set.
void dropUntilQuietOn(int fd, const std::atomic<uint8_t>& running) {
  const auto until = Clock::now() + kDropLimit;
  uint8_t scrap[1024];  // any size: what is read here is dropped
  for (;;) {
    const auto now = Clock::now();
    if (now >= until || !running.load(std::memory_order_relaxed)) return;
    const short revents = pollFor(fd, POLLIN, std::min<Clock::duration>(kReadGap, until - now));
    if (!(revents & POLLIN)) return;  // quiet (or hung up: nothing more will come)
    const ssize_t n = ::read(fd, scrap, sizeof scrap);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

// Writes all n bytes to a non-blocking fd. 0 on success, else the errno. A line
// that takes nothing for far longer than the bytes need fails with ETIMEDOUT
// rather than holding the worker for ever.
int writeAll(int fd, const uint8_t* data, int32_t n, int32_t speed) {
  const int64_t lineMs = speed > 0 ? int64_t{n} * 10 * 1000 / speed : 0;
  const auto deadline = Clock::now() + milliseconds(2 * lineMs + 2000);
  int32_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, data + done, static_cast<size_t>(n - done));
    if (w > 0) {
      done += static_cast<int32_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) return errno;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return ETIMEDOUT;
    pollFor(fd, POLLOUT, left);
  }
  return 0;
}

}  // namespace

std::string portDevicePath(const std::string& name) {
  // COMn is the n-th UART, as Windows numbers them from 1.
  if (const std::optional<int> n = comNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
  return name;
}

struct SerialPort::Device {
  UniqueFd fd;
  ~Device() {
    // The exclusive flag lives on the tty, which outlives this descriptor when
    // the tty stays open elsewhere (a pty whose master is still held).
    if (fd) ::ioctl(fd.get(), TIOCNXCL);
  }  // closing the descriptor also drops the flock
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() = default;

Result SerialPort::open(const char* name, PortRole /*role*/) {
  // The receiver's "create" disposition has no meaning for a device node here:
  // both roles open an existing device, never a file.
  device_.reset();
  discarded_ = false;
  const std::string path = portDevicePath(name);
  // O_NONBLOCK: neither waiting for carrier on open nor blocking in read or
  // write; every wait below is a poll() with its own limit.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int code = errno;
    openError_ = errorFromErrno(code);
    return failure("cannot open the port", code);
  }
  // TIOCEXCL keeps out later openers but not root; the flock keeps out every
  // other holder that asks, root included, and goes with the descriptor.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    openError_ = code == EWOULDBLOCK ? PortError::Busy : errorFromErrno(code);
    return failure("cannot hold the port", code);
  }
  if (::ioctl(fd.get(), TIOCEXCL) != 0) {
    const int code = errno;
    openError_ = PortError::Other;  // ENOTTY: not a serial device at all
    return failure("cannot hold the port", code);
  }
  device_ = std::make_unique<Device>();
  device_->fd = std::move(fd);
  openError_ = PortError::None;
  return {};
}

Result SerialPort::configure(int32_t speed, PortRole /*role*/) {
  // Both roles share the line settings. Queue sizes are the driver's own on
  // Linux (no request exists), and the receiver's read time-outs are kept by
  // readPacket itself.
  const int fd = device_->fd.get();
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return failure("cannot read the line settings", errno);
  speed_t code = B0;
  if (!speedCode(speed, &code)) return failure("cannot set the speed", EINVAL);
  // Raw: no echo, no line editing, no signals, no CR/LF translation, no
  // stripping of the eighth bit, a break or parity error read as plain bytes.
  ::cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  // 8 data bits, no parity, one stop bit; CLOCAL: no modem lines, no hang-up.
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  // Reads never block in the driver: poll() does all the waiting.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    return failure("cannot write the line settings", errno);
  }
  // USB adapters otherwise hold a short read, such as a one-byte reply, for
  // their latency timer (16 ms). Drivers without the setting (ptys) refuse it,
  // and a refusal changes nothing else.
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
  }
  line_.setSpeed(speed);
  return {};
}

bool SerialPort::waitForData(const std::atomic<uint8_t>& running) {
  const int fd = device_->fd.get();
  if (!discarded_) ::tcflush(fd, TCIFLUSH);
  discarded_ = false;
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return false;
    if (sliceForInput(fd)) return true;
  }
}

SerialPort::More SerialPort::waitForMore(const std::atomic<uint8_t>& running, milliseconds limit) {
  const int fd = device_->fd.get();
  const auto until = Clock::now() + limit;
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return More::Stopped;
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return More::Quiet;
    const auto start = Clock::now();
    const short revents = pollFor(fd, POLLIN, std::min<Clock::duration>(kWaitSlice, left));
    if (revents & POLLIN) return More::Data;
    if (revents) std::this_thread::sleep_until(start + kWaitSlice);  // hung up: do not spin
  }
}

Result SerialPort::readPacket(std::span<uint8_t> buffer) {
  uint8_t* const packet = buffer.data();
  const int32_t size = static_cast<int32_t>(buffer.size());
  const int fd = device_->fd.get();
  const auto start = Clock::now();
  const auto totalEnd = start + kReadPerByte * size;
  // As a read with interval time-outs: the gap is timed from the last byte, and
  // only once a first byte has come.
  Clock::time_point gapEnd = Clock::time_point::max();
  int32_t count = 0;
  while (count < size) {
    const ssize_t r = ::read(fd, packet + count, static_cast<size_t>(size - count));
    if (r > 0) {
      count += static_cast<int32_t>(r);
      gapEnd = Clock::now() + kReadGap;
      continue;
    }
    // With VMIN and VTIME 0 an empty queue reads as 0, with O_NONBLOCK alone as EAGAIN.
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) {
      lastReadCount_ = count;
      return failure("cannot read a packet", errno);
    }
    const auto now = Clock::now();
    const auto end = std::min(totalEnd, gapEnd);
    if (now >= end) break;
    // A hung-up line polls ready with nothing to read: nothing more will come.
    const short revents = pollFor(fd, POLLIN, end - now);
    if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLIN)) break;
  }
  lastReadCount_ = count;
  return {};
}

void SerialPort::discardInput() {
  ::tcflush(device_->fd.get(), TCIFLUSH);
  discarded_ = true;
}

void SerialPort::dropUntilQuiet(const std::atomic<uint8_t>& running) { dropUntilQuietOn(device_->fd.get(), running); }

Result SerialPort::sendReply(uint8_t byte) {
  const int fd = device_->fd.get();
  // Input is discarded here rather than in the next wait: the sender may answer
  // this reply with its next packet before the wait begins.
  ::tcflush(fd, TCIOFLUSH);
  discarded_ = true;
  const auto started = Clock::now();
  if (const int code = writeAll(fd, &byte, 1, line_.speed()); code != 0) return failure("cannot write the reply", code);
  line_.queued(1, started);
  return {};
}

Result SerialPort::writePacket(std::span<const uint8_t> packet) { return write(packet); }

Result SerialPort::write(std::span<const uint8_t> bytes) {
  const auto started = Clock::now();
  const int32_t size = static_cast<int32_t>(bytes.size());
  if (const int code = writeAll(device_->fd.get(), bytes.data(), size, line_.speed()); code != 0) {
    return failure("cannot write a packet", code);
  }
  line_.queued(size, started);
  return {};
}

Result SerialPort::takeInput(std::span<uint8_t> into) {
  lastReadCount_ = 0;
  for (;;) {
    const ssize_t r = ::read(device_->fd.get(), into.data(), into.size());
    if (r >= 0) {
      lastReadCount_ = static_cast<int32_t>(r);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {};
    return failure("cannot read a packet", errno);
  }
}

SerialPort::Reply SerialPort::waitReply(const std::atomic<uint8_t>& running, milliseconds limit) {
  const int fd = device_->fd.get();
  const bool bounded = limit >= milliseconds::zero();
  const auto deadline = line_.idleAt() + (bounded ? limit : milliseconds::zero());
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return {Heard::Stopped, 0, {}};
    const auto now = Clock::now();
    if (bounded && now >= deadline) return {Heard::Quiet, 0, {}};
    const short revents = pollFor(fd, POLLIN, bounded ? std::min<Clock::duration>(kWaitSlice, deadline - now) : kWaitSlice);
    if (!(revents & (POLLIN | POLLHUP))) continue;
    uint8_t byte = 0;
    const ssize_t r = ::read(fd, &byte, 1);
    if (r == 1) {
      line_.answered();
      return {Heard::Byte, byte, {}};
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // Readable yet empty and hung up: the device is gone (a USB adapter pulled
    // out, the far side of a pty closed). No reply can come; on Windows the
    // read itself fails then.
    const int code = r < 0 ? errno : (revents & POLLHUP) ? EIO : 0;
    if (code != 0) return {Heard::Failed, 0, failure("cannot read the reply", code)};
  }
}

void SerialPort::drainLine() {
  // tcdrain waits for the driver's queue (a UART's FIFO may still hold a few
  // bytes); the clock covers drivers that report empty early, ptys among them.
  ::tcdrain(device_->fd.get());
  line_.waitIdle();
}

void SerialPort::pauseAfterLine(milliseconds pause) {
  drainLine();
  std::this_thread::sleep_for(pause);
}

}  // namespace zarvek
