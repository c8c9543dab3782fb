#pragma once
// A file descriptor of the cable's (a pseudo-terminal side or an eventfd),
// closed when its owner goes.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace zarvek::cable_internals {

// Throws std::system_error for errno, naming the step of setting the cable up.
[[noreturn]] inline void fail(const std::string& step) {
  throw std::system_error(errno, std::generic_category(), "cable: " + step);
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace zarvek::cable_internals
