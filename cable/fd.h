#pragma once
// The cable's descriptors (pseudo-terminal sides, an eventfd), owned as
// everywhere else, and how the cable reports a failed set-up step.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "base/unique_fd_posix.h"

namespace zarvek::cable_internals {

// Throws std::system_error for errno, naming the step of setting the cable up.
[[noreturn]] inline void fail(const std::string& step) {
  throw std::system_error(errno, std::generic_category(), "cable: " + step);
}

using Fd = UniqueFd;  // the project's one owner of a descriptor

}  // namespace zarvek::cable_internals
