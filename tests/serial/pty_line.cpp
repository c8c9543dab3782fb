#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace zarvek::test {

PtyLine::PtyLine() {
  termios raw{};
  ::cfmakeraw(&raw);
  char name[128] = {};
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
  portPath_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyLine::~PtyLine() {
  ::close(slave_);
  ::close(master_);
}

void PtyLine::peerWrite(const std::vector<uint8_t>& bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

std::vector<uint8_t> PtyLine::peerRead(size_t n, std::chrono::milliseconds limit) const {
  std::vector<uint8_t> got;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    uint8_t buf[2048];
    const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
    if (r > 0) got.insert(got.end(), buf, buf + r);
  }
  return got;
}

}  // namespace zarvek::test
