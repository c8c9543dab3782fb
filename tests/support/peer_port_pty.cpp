// The classic peer's port through termios, on a virtual-cable end (or any tty).
// Non-blocking, so that every wait is a poll.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "support/peer_port.h"

namespace zarvek::test {
namespace {

using namespace std::chrono_literals;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int pollFor(int fd, short events, PeerPort::Clock::duration limit, short* revents = nullptr) {
  pollfd p{fd, events, 0};
  const int ready = poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(limit).count()));
  if (revents) *revents = p.revents;
  return ready;
}

}  // namespace

struct PeerPort::Device {
  int fd = -1;
  ~Device() {
    if (fd >= 0) ::close(fd);
  }
};

PeerPort::PeerPort(const std::string& path) : device_(std::make_unique<Device>()) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throwErrno("cannot open " + path);
  device_->fd = fd;
  // 8 data bits, no parity, one stop bit, every byte value carried unchanged, no flow control.
  termios tio{};
  const bool read = tcgetattr(fd, &tio) == 0;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (!read || tcsetattr(fd, TCSANOW, &tio) != 0) throwErrno("cannot set up " + path);
  ioctl(fd, TIOCEXCL);  // the classic program holds its port without sharing
}

PeerPort::~PeerPort() = default;

bool PeerPort::waitForByte(const std::atomic<bool>& running) {
  while (running) {
    // poll wakes at the first byte, as the classic busy poll would see it; its
    // time-out only bounds how long a stop takes to be noticed.
    short revents = 0;
    const int ready = pollFor(device_->fd, POLLIN, 1ms, &revents);
    if (ready > 0 && (revents & POLLIN)) return true;
    if (ready > 0) std::this_thread::sleep_for(1ms);  // a hang-up must not spin
  }
  return false;
}

void PeerPort::waitForBytes(int, Clock::duration gap, Clock::time_point since, Clock::time_point deadline) {
  pollFor(device_->fd, POLLIN, std::min(since + gap, deadline) - Clock::now());
}

int PeerPort::queued() {
  int queued = 0;
  return ioctl(device_->fd, FIONREAD, &queued) == 0 ? queued : 0;
}

void PeerPort::purgeInput() { tcflush(device_->fd, TCIFLUSH); }
void PeerPort::abandonOutput() { tcflush(device_->fd, TCOFLUSH); }

int PeerPort::read(uint8_t* data, int n, Clock::time_point* lastArrival) {
  const ssize_t got = ::read(device_->fd, data, static_cast<size_t>(n));
  if (got > 0 && lastArrival) *lastArrival = Clock::now();
  if (got >= 0) return static_cast<int>(got);
  return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

int PeerPort::write(const uint8_t* data, int n) {
  const ssize_t put = ::write(device_->fd, data, static_cast<size_t>(n));
  if (put >= 0) return static_cast<int>(put);
  return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

void PeerPort::waitWritable(Clock::duration limit) { pollFor(device_->fd, POLLOUT, limit); }
void PeerPort::sleepFor(Clock::duration duration) { std::this_thread::sleep_for(duration); }
PeerPort::Clock::time_point PeerPort::now() { return Clock::now(); }

}  // namespace zarvek::test
