#pragma once
// A cable end opened the way a program opens a serial port, with reads and
// writes bounded by guard deadlines so a broken cable fails a test, not hangs it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace zarvek::test {

class TestPort {
 public:
  explicit TestPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~TestPort() { ::close(fd_); }
  TestPort(const TestPort&) = delete;
  TestPort& operator=(const TestPort&) = delete;

  // False if the end would not take it all within the guard.
  bool write(const std::string& bytes, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if (!waitFor(POLLOUT, deadline)) return false;
    }
    return true;
  }

  // Up to n bytes: returns when n have come or the guard has passed.
  std::string read(size_t n, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    std::string got;
    char buffer[4096];
    while (got.size() < n) {
      const ssize_t r = ::read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r > 0) got.append(buffer, static_cast<size_t>(r));
      else if (!waitFor(POLLIN, deadline)) break;
    }
    return got;
  }

 private:
  bool waitFor(short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, events, 0};
    return ::poll(&p, 1, static_cast<int>(left.count()) + 1) >= 0;
  }

  int fd_;
};

}  // namespace zarvek::test
