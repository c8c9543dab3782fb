#pragma once
// A cable end opened as a program opens a serial port, every read and write
// bounded by a guard so that a broken cable fails a test or a benchmark rather
// than hangs it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "base/unique_fd_posix.h"

namespace zarvek::harness {

class CableEnd {
 public:
  explicit CableEnd(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (!fd_) throw std::runtime_error("cannot open " + path);
  }

  // False if the end would not take it all within the guard.
  bool write(const std::string& bytes, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if (!waitFor(POLLOUT, deadline)) return false;
    }
    return true;
  }

  // Up to n bytes: returns when n have come or the guard has passed.
  std::string read(size_t n, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    std::string got(n, '\0');
    for (size_t done = 0; done < n;) {
      const ssize_t r = ::read(fd_.get(), got.data() + done, n - done);
      if (r > 0) done += static_cast<size_t>(r);
      else if (!waitFor(POLLIN, deadline)) return got.substr(0, done);
    }
    return got;
  }

 private:
  bool waitFor(short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::floor<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_.get(), events, 0};
    return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count()) + 1) >= 0;
  }

  UniqueFd fd_;
};

}  // namespace zarvek::harness
